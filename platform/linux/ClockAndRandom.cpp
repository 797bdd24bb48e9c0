#include "platform/linux/ClockAndRandom.h"

#include <chrono>
#include <sys/random.h>

namespace plinthora::linux_platform {

double SteadyClock::now() const {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double SteadyClock::wallNow() const {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

// ---- random ----------------------------------------------------------------

uint32_t SystemRandom::uniform(uint32_t upperBound) {
    if (upperBound < 2) return 0;
    // Reject the low values that would make some results more likely.
    const uint32_t min = static_cast<uint32_t>(-upperBound) % upperBound;
    for (;;) {
        uint32_t r = 0;
        if (::getrandom(&r, sizeof r, 0) != static_cast<ssize_t>(sizeof r)) continue;
        if (r >= min) return r % upperBound;
    }
}

}  // namespace plinthora::linux_platform
