// What several threads do at once: settings reloaded under readers on
// other threads, one perspective plan rendering on several threads, and
// encoders running side by side. Run under ThreadSanitizer (scripts/tsan.sh);
// each test also checks the results, so a lost update shows without it.
#include "TestWorld.h"

#include "platform/linux/QtImaging.h"

#include <atomic>
#include <thread>

namespace plinthora::testing {
namespace {

class ConcurrencyTest : public WorldTest {};

TEST_F(ConcurrencyTest, SettingsReloadUnderReadersOnOtherThreads) {
    const Value a = Value::dict({{"sr_selectedShell", Value::string("a.png")},
                                 {"sr_watermarkBlendMode", Value::string("滤色")},
                                 {"sr_watermarkMode", Value::integer(2)}});
    const Value b = Value::dict({{"sr_ssShellEnabled", Value::boolean(false)}});
    std::atomic<bool> done{false};
    std::atomic<int> badReads{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t)
        readers.emplace_back([&] {
            while (!done) {
                SRSettings& s = settings();
                const SharedString shell = s.selectedShell();
                const SharedString blend = s.watermarkBlendMode();
                const int32_t mode = s.watermarkMode;
                // A string is one of the two whole values, never torn or freed.
                if (shell && *shell != "a.png") ++badReads;
                if (!blend || (*blend != "滤色" && *blend != kBlendNormal)) ++badReads;
                if (mode != 1 && mode != 2) ++badReads;
                (void)s.ssShellEnabled.load();
            }
        });
    for (int i = 0; i < 2000; ++i) settings().apply(i % 2 ? a : b);
    done = true;
    for (auto& r : readers) r.join();
    EXPECT_EQ(badReads, 0);
}

std::shared_ptr<Bitmap> pattern(int w, int h, uint32_t seed) {
    auto b = std::make_shared<Bitmap>(w, h, 1.0);
    for (size_t i = 0; i < b->pixels.size(); ++i)
        b->pixels[i] = 0xff000000u | ((uint32_t(i) * 2654435761u + seed) & 0x00ffffffu);
    return b;
}

TEST_F(ConcurrencyTest, OnePerspectivePlanRendersOnSeveralThreads) {
    linux_platform::QtImaging imaging;
    auto shell = pattern(120, 200, 7);
    for (size_t i = 0; i < shell->pixels.size(); i += 3) shell->pixels[i] = 0;  // holes to see through
    const Quad quad{{10, 12}, {108, 20}, {14, 186}, {104, 190}};
    auto plan = imaging.planPerspectiveUnder(60, 100, quad, shell);
    std::vector<Bitmap> outs(4);
    std::vector<std::shared_ptr<Bitmap>> contents;
    for (int t = 0; t < 4; ++t) contents.push_back(pattern(60, 100, uint32_t(t)));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 5; ++round) plan->render(*contents[size_t(t)], outs[size_t(t)]);
        });
    for (auto& th : threads) th.join();
    for (int t = 0; t < 4; ++t) {
        const Bitmap alone = imaging.perspectiveUnder(*contents[size_t(t)], quad, *shell);
        EXPECT_EQ(outs[size_t(t)].pixels, alone.pixels) << "thread " << t;
    }
}

TEST_F(ConcurrencyTest, EncodersSideBySideGiveTheSameBytes) {
    linux_platform::QtImaging imaging;
    auto image = pattern(300, 200, 3);
    const auto reference = imaging.encodePng(*image);
    ASSERT_TRUE(reference);
    std::vector<std::optional<std::string>> outs(3);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) threads.emplace_back([&, t] { outs[size_t(t)] = imaging.encodePng(*image); });
    for (auto& th : threads) th.join();
    for (const auto& o : outs) EXPECT_EQ(o, reference);
}

}  // namespace
}  // namespace plinthora::testing
