#include "log.h"

#include <cstdarg>
#include <cstdio>

namespace Zelkor::Sim {

namespace {
bool verbose_ = false;
}

void set_verbose(bool on) {
    verbose_ = on;
}

bool verbose() {
    return verbose_;
}

void log(const char* format, ...) {
    if (!verbose_) return;
    std::fputs("zelkor-sim: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

}  // namespace Zelkor::Sim
