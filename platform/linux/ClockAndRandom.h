// The clocks and the random source on the kernel's own services.
#pragma once

#include "platform/ports/Platform.h"

#include <cstdint>

namespace plinthora::linux_platform {

class SteadyClock : public Clock {
public:
    double now() const override;
    double wallNow() const override;
};

// Bounded draws from the kernel's random source without modulo bias.
class SystemRandom : public Random {
public:
    uint32_t uniform(uint32_t upperBound) override;
};

}  // namespace plinthora::linux_platform
