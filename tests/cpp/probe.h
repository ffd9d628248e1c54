// Reaches into the stream buffer for the transport tests of every platform.
#pragma once

#include <ZelkorHardwareAPI/io/serialib.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>

namespace zelkor_test {

/// Exposes the protected overrides that the standard stream interface cannot reach directly.
struct Probe : serialib {
    using serialib::overflow;
    using serialib::pbackfail;
    using serialib::showmanyc;
    using serialib::uflow;
    using serialib::underflow;
    using serialib::xsgetn;
    using serialib::xsputn;
};

inline constexpr int end_of_file = std::char_traits<char>::eof();

inline std::int8_t code(Zelkor::HardwareAPI::IO::OpenCode c) {
    return static_cast<std::int8_t>(c);
}

/// One open of a fresh buffer: the code it must give and whether the port stays open.
struct OpenCase {
    const char* what;
    std::string name;
    Zelkor::HardwareAPI::IO::OpenCode expected;
    bool stays_open;
};

inline void expect_open_codes(std::initializer_list<OpenCase> cases) {
    for (const auto& c : cases) {
        serialib buffer;
        EXPECT_EQ(buffer.open(c.name.c_str()), code(c.expected)) << c.what;
        EXPECT_EQ(buffer.is_open(), c.stays_open) << c.what;
    }
}

inline std::string file_content(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace zelkor_test
