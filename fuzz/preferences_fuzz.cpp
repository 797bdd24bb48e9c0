// Any bytes as the preferences file: the reader must end with every field
// set (a default where the file says nothing usable), and a settings write
// (a read-modify-write of the whole file) must not change what the reader
// then sees for the keys it knows.
#include "fuzz/FuzzWorld.h"
#include "settings/SRSettings.h"

#include <cmath>

using namespace plinthora;

namespace {

struct Snapshot {
    bool flags[9];
    float opacity;
    int32_t mode;
    SharedString shell, watermark, blend;

    static Snapshot take() {
        SRSettings& s = settings();
        return {{s.recShellEnabled, s.ssShellEnabled, s.recWatermarkEnabled, s.ssWatermarkEnabled, s.randomShell,
                 s.randomWatermark, s.vibrationEnabled, s.deleteOriginal, s.saveToClipboard},
                s.watermarkOpacity,
                s.watermarkMode,
                s.selectedShell(),
                s.selectedWatermark(),
                s.watermarkBlendMode()};
    }
};

bool sameName(const SharedString& a, const SharedString& b) { return (!a && !b) || (a && b && *a == *b); }

bool sameOpacity(float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzWorld& w = fuzz::fuzzWorld();
    w.world.fs.put(kPreferencesPath, std::string(reinterpret_cast<const char*>(data), size));
    loadSettings();
    const Snapshot before = Snapshot::take();
    if (!before.blend) fuzz::fail("no blend mode after a load");

    // The settings page rewrites the whole file when it sets one key; the
    // keys it did not touch must read back as they were.
    writePreference("sr_fuzzProbe", Value::integer(1), "");
    loadSettings();
    const Snapshot after = Snapshot::take();
    for (int i = 0; i < 9; ++i)
        if (before.flags[i] != after.flags[i]) fuzz::fail("a switch changed across a rewrite");
    if (!sameOpacity(before.opacity, after.opacity)) fuzz::fail("opacity changed across a rewrite");
    if (before.mode != after.mode) fuzz::fail("watermark mode changed across a rewrite");
    if (!sameName(before.shell, after.shell) || !sameName(before.watermark, after.watermark) ||
        !sameName(before.blend, after.blend))
        fuzz::fail("a name changed across a rewrite");
    return 0;
}
