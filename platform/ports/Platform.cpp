#include "platform/ports/Platform.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace plinthora {

namespace {
Platform& holder() {
    static Platform p;
    return p;
}
}  // namespace

Platform& platform() { return holder(); }

void setPlatform(const Platform& p) { holder() = p; }

void debugLog(const char* fmt, ...) {
    static const bool enabled = [] {
        const char* v = std::getenv("PLINTHORA_DEBUG");
        return v && std::strcmp(v, "0") != 0 && *v;
    }();
    if (!enabled) return;
    std::va_list args;
    va_start(args, fmt);
    std::fputs("plinthora: ", stderr);
    std::vfprintf(stderr, fmt, args);
    std::fputc('\n', stderr);
    va_end(args);
}

}  // namespace plinthora
