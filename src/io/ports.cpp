#include "io/ports.h"

#include <algorithm>
#include <cstddef>

namespace Zelkor::HardwareAPI::IO {

namespace ports {

namespace {
bool digit(char c) noexcept {
    return c >= '0' && c <= '9';
}
}  // namespace

bool natural_less(const std::string& a, const std::string& b) noexcept {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            // Compare the runs as numbers without converting them: leading zeros skipped, then
            // the longer run is the larger number, then the digits decide.
            std::size_t i_end = i, j_end = j;
            while (i_end < a.size() && digit(a[i_end])) ++i_end;
            while (j_end < b.size() && digit(b[j_end])) ++j_end;
            std::size_t i_first = i, j_first = j;
            while (i_first + 1 < i_end && a[i_first] == '0') ++i_first;
            while (j_first + 1 < j_end && b[j_first] == '0') ++j_first;
            const std::size_t i_length = i_end - i_first, j_length = j_end - j_first;
            if (i_length != j_length) return i_length < j_length;
            const int order = a.compare(i_first, i_length, b, j_first, j_length);
            if (order != 0) return order < 0;
            // Equal numbers: fewer leading zeros first, so the order stays strict.
            if (i_end - i != j_end - j) return i_end - i < j_end - j;
            i = i_end;
            j = j_end;
            continue;
        }
        if (a[i] != b[j]) {
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        }
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

}  // namespace ports

std::vector<PortInfo> list_ports(const std::string& root) {
    std::vector<PortInfo> found = ports::enumerate(root);
    std::sort(found.begin(), found.end(), [](const PortInfo& a, const PortInfo& b) {
        return ports::natural_less(a.device, b.device);
    });
    // One record per port, even where a platform met one port twice.
    found.erase(
        std::unique(found.begin(), found.end(),
                    [](const PortInfo& a, const PortInfo& b) { return a.device == b.device; }),
        found.end());
    return found;
}

}  // namespace Zelkor::HardwareAPI::IO
