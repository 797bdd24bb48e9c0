// The entry points of the loadable library. The host opens it with dlopen,
// hands it the platform, then calls SRTweakInit on its main thread.
#include "platform/ports/Platform.h"
#include "startup/SRTweakInit.h"

extern "C" __attribute__((visibility("default"))) void PlinthoraSetPlatform(const plinthora::Platform* p) {
    plinthora::setPlatform(*p);
}

extern "C" __attribute__((visibility("default"))) void SRTweakInit() { plinthora::SRTweakInit(); }
