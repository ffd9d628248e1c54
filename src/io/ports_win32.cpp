// Windows: the ports SetupAPI knows (devices offering the COM port interface, and devices of
// the Ports class), each with its PortName from the device's registry key; then any COM port
// the registry's SERIALCOMM map has that SetupAPI did not show (virtual ports, Wine's).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h first: setupapi.h needs its types.
#include <setupapi.h>

#include <algorithm>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "io/ports.h"

namespace Zelkor::HardwareAPI::IO::ports {

namespace {

// GUID_DEVINTERFACE_COMPORT and GUID_DEVCLASS_PORTS, written out: their headers define them
// only in the one file that includes initguid.h first.
constexpr GUID comport_interface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
constexpr GUID ports_class = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

std::string utf8(const wchar_t* text, std::size_t length) {
    if (length == 0) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                      nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), n, nullptr,
                        nullptr);
    return out;
}

std::string utf8(const std::wstring& text) {
    return utf8(text.c_str(), text.size());
}

// A registry string value's text up to its first NUL (the stored length may or may not
// count one).
std::wstring until_nul(const std::vector<wchar_t>& buffer, DWORD bytes) {
    const std::size_t chars = std::min<std::size_t>(bytes / sizeof(wchar_t), buffer.size());
    std::size_t n = 0;
    while (n < chars && buffer[n] != L'\0') ++n;
    return std::wstring(buffer.data(), n);
}

std::optional<std::wstring> registry_string(HKEY key, const wchar_t* name) {
    std::vector<wchar_t> buffer(256);
    DWORD type = 0;
    DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    LONG r =
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &bytes);
    if (r == ERROR_MORE_DATA) {
        buffer.resize(bytes / sizeof(wchar_t) + 1);
        bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
        r = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                             &bytes);
    }
    if (r != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::nullopt;
    std::wstring text = until_nul(buffer, bytes);
    if (text.empty()) return std::nullopt;
    return text;
}

std::optional<DWORD> registry_number(HKEY key, const wchar_t* name) {
    DWORD value = 0, type = 0, bytes = sizeof(value);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_DWORD) {
        return std::nullopt;
    }
    return value;
}

// A device property that is a string (for a list of strings, its first one).
std::optional<std::wstring> device_property(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    std::vector<wchar_t> buffer(256);
    DWORD type = 0, bytes = 0;
    BOOL ok = SetupDiGetDeviceRegistryPropertyW(
        set, &device, property, &type, reinterpret_cast<BYTE*>(buffer.data()),
        static_cast<DWORD>(buffer.size() * sizeof(wchar_t)), &bytes);
    if (!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        buffer.resize(bytes / sizeof(wchar_t) + 1);
        ok = SetupDiGetDeviceRegistryPropertyW(
            set, &device, property, &type, reinterpret_cast<BYTE*>(buffer.data()),
            static_cast<DWORD>(buffer.size() * sizeof(wchar_t)), &bytes);
    }
    if (!ok) return std::nullopt;
    std::wstring text = until_nul(buffer, bytes);
    if (text.empty()) return std::nullopt;
    return text;
}

std::optional<std::uint16_t> hex_after(const std::wstring& text, const wchar_t* tag) {
    std::wstring upper = text;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::towupper);
    const std::size_t at = upper.find(tag);
    if (at == std::wstring::npos) return std::nullopt;
    const std::size_t first = at + std::wcslen(tag);
    if (upper.size() < first + 4) return std::nullopt;
    unsigned value = 0;
    for (std::size_t i = first; i < first + 4; ++i) {
        const wchar_t c = upper[i];
        const unsigned digit = c >= L'0' && c <= L'9'   ? unsigned(c - L'0')
                               : c >= L'A' && c <= L'F' ? unsigned(c - L'A' + 10)
                                                        : 16u;
        if (digit == 16u) return std::nullopt;
        value = value * 16 + digit;
    }
    return static_cast<std::uint16_t>(value);
}

// The USB ids and serial number in a device instance id:
//   USB\VID_0403&PID_6001\A9XYZ12        a device with a serial number (a generated instance
//                                        id has '&' in its last part instead)
//   FTDIBUS\VID_0403+PID_6001+A9XYZ12A\0000   FTDI's own bus driver, which appends the port's
//                                        letter (A for the first) to the serial number
void usb_identity(const std::wstring& instance, PortInfo& info) {
    info.vid = hex_after(instance, L"VID_");
    info.pid = hex_after(instance, L"PID_");
    if (!info.vid || !info.pid) return;
    const std::size_t first = instance.find(L'\\');
    if (first == std::wstring::npos) return;
    const std::size_t second = instance.find(L'\\', first + 1);
    std::wstring bus = instance.substr(0, first);
    std::transform(bus.begin(), bus.end(), bus.begin(), ::towupper);
    if (bus == L"USB" && second != std::wstring::npos) {
        const std::wstring serial = instance.substr(second + 1);
        if (!serial.empty() && serial.find(L'&') == std::wstring::npos) {
            info.serial_number = utf8(serial);
        }
    } else if (bus == L"FTDIBUS") {
        const std::wstring ids = instance.substr(first + 1, second - first - 1);
        const std::size_t plus = ids.rfind(L'+');
        if (plus != std::wstring::npos && ids.size() > plus + 2) {
            info.serial_number = utf8(ids.substr(plus + 1, ids.size() - plus - 2));
        }
    }
}

bool is_com_port(const std::wstring& name) {
    return name.size() > 3 && (name[0] == L'C' || name[0] == L'c') &&
           (name[1] == L'O' || name[1] == L'o') && (name[2] == L'M' || name[2] == L'm');
}

void from_setupapi(const GUID& guid, DWORD flags, std::vector<PortInfo>& found) {
    const HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, flags | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        const HKEY key =
            SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        const std::optional<std::wstring> name = registry_string(key, L"PortName");
        // FTDI's driver keeps its latency timer here.
        const std::optional<DWORD> latency = registry_number(key, L"LatencyTimer");
        RegCloseKey(key);
        if (!name || !is_com_port(*name)) continue;  // a printer port (LPT1) is no serial line

        PortInfo info;
        info.device = utf8(*name);
        std::optional<std::wstring> description = device_property(set, device, SPDRP_FRIENDLYNAME);
        if (!description) description = device_property(set, device, SPDRP_DEVICEDESC);
        info.description = description ? utf8(*description) : info.device;
        if (auto maker = device_property(set, device, SPDRP_MFG)) info.manufacturer = utf8(*maker);
        if (auto service = device_property(set, device, SPDRP_SERVICE))
            info.driver = utf8(*service);
        wchar_t instance[512] = {};
        if (SetupDiGetDeviceInstanceIdW(set, &device, instance, 512, nullptr)) {
            usb_identity(instance, info);
        }
        if (latency && *latency <= 1000) info.latency_timer_ms = static_cast<int>(*latency);
        found.push_back(std::move(info));
    }
    SetupDiDestroyDeviceInfoList(set);
}

// HARDWARE\DEVICEMAP\SERIALCOMM: one value per serial port the drivers have made, its name the
// kernel's device (\Device\Serial0, \Device\VCP0) and its data the COM port name.
void from_serialcomm(std::vector<PortInfo>& found) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return;
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        std::vector<wchar_t> data(256);
        DWORD name_chars = 256, type = 0;
        DWORD bytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        const LONG r = RegEnumValueW(key, i, name, &name_chars, nullptr, &type,
                                     reinterpret_cast<BYTE*>(data.data()), &bytes);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r != ERROR_SUCCESS || type != REG_SZ) continue;
        const std::wstring port = until_nul(data, bytes);
        if (!is_com_port(port)) continue;
        PortInfo info;
        info.device = utf8(port);
        const bool known = std::any_of(found.begin(), found.end(), [&](const PortInfo& p) {
            return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, p.device.c_str(), -1,
                                  info.device.c_str(), -1) == CSTR_EQUAL;
        });
        if (known) continue;
        info.description = info.device;
        found.push_back(std::move(info));
    }
    RegCloseKey(key);
}

}  // namespace

std::vector<PortInfo> enumerate(const std::string&) {
    std::vector<PortInfo> found;
    from_setupapi(comport_interface, DIGCF_DEVICEINTERFACE, found);
    // Older drivers register no interface; the same port met twice is kept once (list_ports).
    from_setupapi(ports_class, 0, found);
    from_serialcomm(found);
    return found;
}

}  // namespace Zelkor::HardwareAPI::IO::ports
