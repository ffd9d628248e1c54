// The consumer's own header, named like one of the library's.
#pragma once

namespace consumer {
inline const char* device_name() {
    return "the consumer's own device";
}
}  // namespace consumer
