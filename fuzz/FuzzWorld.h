// The fake world a fuzz target runs in: in-memory files, virtual time and
// the real property-list, JSON and imaging ports, set up once per process.
#pragma once

#include "platform/fake/FakePlatform.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/QtImaging.h"

#include <cstdlib>
#include <cstring>

namespace plinthora::fuzz {

struct FuzzWorld {
    fake::FakeWorld world;
    linux_platform::LibplistPropertyLists plist;
    linux_platform::NlohmannJson json;
    linux_platform::QtImaging imaging{1};
    FuzzWorld() { world.install(&plist, &json, &imaging); }
};

inline FuzzWorld& fuzzWorld() {
    static FuzzWorld* w = new FuzzWorld;  // lives as long as the process
    return *w;
}

// Reads fixed-size values off the front of the input; zeros once it runs out.
class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : p_(data), n_(size) {}
    template <class T>
    T take() {
        T v{};
        const size_t k = n_ < sizeof v ? n_ : sizeof v;
        std::memcpy(&v, p_, k);
        p_ += k;
        n_ -= k;
        return v;
    }
    std::string rest() const { return std::string(reinterpret_cast<const char*>(p_), n_); }

private:
    const uint8_t* p_;
    size_t n_;
};

// A fuzz finding that is not a sanitizer report.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

}  // namespace plinthora::fuzz
