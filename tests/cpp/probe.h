// Reaches into the stream buffer for the transport tests of every platform.
#pragma once

#include <cstdint>
#include <string>

#include "io/serialib.h"

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

inline std::int8_t code(Zelkor::HardwareAPI::IO::OpenCode c) { return static_cast<std::int8_t>(c); }

}  // namespace zelkor_test
