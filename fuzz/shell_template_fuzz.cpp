// Any bytes as a shell template, laid out for any render and content size
// (zero, negative, huge, NaN), then composed for real on small bitmaps: a
// template must give a layout or a TemplateError, and the composition a
// canvas of the shell's size, whatever the numbers.
#include "compositing/SRUnifiedProcessor.h"
#include "fuzz/FuzzWorld.h"

using namespace plinthora;

namespace {

std::shared_ptr<Bitmap> solid(int w, int h, uint32_t argb) {
    auto b = std::make_shared<Bitmap>(w, h, 1.0);
    std::fill(b->pixels.begin(), b->pixels.end(), argb);
    return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzWorld& w = fuzz::fuzzWorld();
    fuzz::Bytes in(data, size);
    const Size render{in.take<double>(), in.take<double>()};
    const Size content{in.take<double>(), in.take<double>()};
    // Pixel sizes stay small so every run composes in microseconds.
    const int shellW = 1 + in.take<uint8_t>() % 48, shellH = 1 + in.take<uint8_t>() % 48;
    const int shotW = 1 + in.take<uint8_t>() % 48, shotH = 1 + in.take<uint8_t>() % 48;
    const uint8_t options = in.take<uint8_t>();
    const std::string shellPath = "/shells/frame.png";
    w.world.fs.put("/shells/frame.cfg", in.rest());

    try {
        const SRShellLayout layout = SRUnifiedProcessor::sharedInstance().getLayoutForShell(shellPath, render, content);
        (void)layout;
    } catch (const TemplateError&) {}

    StillDressing dressing;
    dressing.shellPath = shellPath;
    dressing.shell = solid(shellW, shellH, 0x80402010u);
    if (options & 1) dressing.watermark = solid(1 + (options >> 4), 1 + (options >> 5), 0xff00ff00u);
    dressing.watermarkMode = (options >> 1) & 3;
    try {
        Image out = SRUnifiedProcessor::sharedInstance().composeScreenshot(solid(shotW, shotH, 0xffffffffu), dressing);
        if (!out || out->width != shellW || out->height != shellH ||
            out->pixels.size() != size_t(shellW) * size_t(shellH))
            fuzz::fail("a composed screenshot is not the shell's size");
    } catch (const TemplateError&) {}
    return 0;
}
