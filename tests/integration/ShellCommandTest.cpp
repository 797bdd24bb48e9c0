// Frames as users download them: the screen found in generated frames with
// known corners, and `plinthora shell add|check` run as a user runs it.
#include "host/common/ShellDetection.h"
#include "platform/linux/LinuxPlatform.h"
#include "imaging/png_encode.h"

#include "synth/GeneratedFrames.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace plinthora {
namespace {

using frames_test::FrameRecipe;
using frames_test::generateFrame;

double distance(Point a, Point b) { return std::hypot(a.x - b.x, a.y - b.y); }

TEST(ShellDetection, FindsEveryCornerOfGeneratedFramesWithinAPixel) {
    struct Case {
        const char* what;
        FrameRecipe recipe;
    };
    auto recipe = [](auto&& tweak) {
        FrameRecipe r;
        tweak(r);
        return r;
    };
    auto turned = [](double turn, double foreshorten) {
        return [=](FrameRecipe& r) {
            r.width = 540, r.height = 750, r.left = 120, r.top = 75;
            r.turn = turn, r.foreshorten = foreshorten;
        };
    };
    const std::vector<Case> cases = {
        {"upright, rounded screen", recipe([](FrameRecipe&) {})},
        {"upright with a notch", recipe([](FrameRecipe& r) { r.notch = true; })},
        {"upright with an island", recipe([](FrameRecipe& r) { r.island = true; })},
        {"upright, drop shadow", recipe([](FrameRecipe& r) { r.shadow = true; })},
        {"upright, glass sheen over the screen", recipe([](FrameRecipe& r) { r.sheen = true; })},
        {"upright, all of it, off-centre", recipe([](FrameRecipe& r) {
             r.notch = r.shadow = r.sheen = true;
             r.left = 61.3, r.top = 37.7;
         })},
        {"turned 20 degrees", recipe(turned(20, 1))},
        {"turned -20 degrees with an island and a shadow", recipe([&](FrameRecipe& r) {
             turned(-20, 1)(r);
             r.island = r.shadow = true;
         })},
        {"in perspective, right side at 80 %, sheen", recipe([&](FrameRecipe& r) {
             turned(0, 0.8)(r);
             r.sheen = true;
         })},
        {"turned 12 degrees in perspective with a notch", recipe([&](FrameRecipe& r) {
             turned(12, 0.85)(r);
             r.notch = true;
         })},
    };
    double worst = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const frames_test::GeneratedFrame f = generateFrame(c.recipe);
        const host::Detection d = host::detectScreen(f.pixels);
        ASSERT_TRUE(d.found) << d.why;
        EXPECT_EQ(d.found->rectangle, f.upright) << "an upright screen gives the rectangle form";
        EXPECT_EQ(d.found->templateWidth, c.recipe.width);
        const Quad& q = d.found->corners;
        const double errors[] = {distance(q.topLeft, f.screen.topLeft), distance(q.topRight, f.screen.topRight),
                                 distance(q.bottomLeft, f.screen.bottomLeft),
                                 distance(q.bottomRight, f.screen.bottomRight)};
        const double most = *std::max_element(std::begin(errors), std::end(errors));
        EXPECT_LT(most, 1.0);
        worst = std::max(worst, most);
        std::printf("  %-50s corners off by at most %.3f px\n", c.what, most);
    }
    std::printf("  worst corner over all frames: %.3f px\n", worst);

    // No enclosed screen: a body open at an edge, or opaque all over.
    FrameRecipe open;
    open.top = -200;
    EXPECT_FALSE(host::detectScreen(generateFrame(open).pixels).found);
    Bitmap solid(300, 500);
    std::fill(solid.pixels.begin(), solid.pixels.end(), 0xff202020u);
    const host::Detection none = host::detectScreen(solid);
    EXPECT_FALSE(none.found);
    EXPECT_FALSE(none.why.empty());
}

struct Ran {
    int exitCode;
    std::string out, err;
};

class ShellCommandTest : public ::testing::Test {
protected:
    void SetUp() override { dir_ = tmp_.path().toStdString(); }

    Ran run(const QStringList& args) { return plinthora(QStringList{"shell"} + args); }
    Ran plinthora(const QStringList& args) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PLINTHORA_DEVICE_ROOT", QString::fromStdString(dir_ + "/device"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.remove("PLINTHORA_DEBUG");
        p.setProcessEnvironment(env);
        p.start(QString(PLINTHORA_BINARY_DIR) + "/host/plinthora", args);
        p.waitForFinished(60000);
        return {p.exitCode(), p.readAllStandardOutput().toStdString(), p.readAllStandardError().toStdString()};
    }
    std::string put(const std::string& name, const Bitmap& b) {
        const std::string path = dir_ + "/" + name;
        EXPECT_TRUE(linux_platform::writeAtomically(path, imaging::png::encode(b, 1).value()));
        return path;
    }
    static std::string read(const std::string& path) { return linux_platform::readWholeFile(path).value_or(""); }
    std::string shells() const { return dir_ + "/device/Ozrin/套壳素材/"; }
    std::string landscapeShells() const { return dir_ + "/device/Ozrin/横屏素材/"; }

    QTemporaryDir tmp_;
    std::string dir_;
};

TEST_F(ShellCommandTest, AddWritesTheFrameAndItsTemplateUnderAFreeNameAndCheckWritesNothing) {
    FrameRecipe phone;
    phone.island = phone.shadow = true;
    const frames_test::GeneratedFrame f = generateFrame(phone);
    const std::string frame = put("Phone 15.png", f.pixels);

    // check: the template on stdout, the preview where asked, nothing else.
    const Ran check =
        run({"check", QString::fromStdString(frame), "-o", QString::fromStdString(dir_ + "/preview.png")});
    ASSERT_EQ(check.exitCode, 0) << check.err;
    const auto shown = nlohmann::json::parse(check.out);
    EXPECT_NEAR(shown["x"].get<double>(), f.screen.topLeft.x, 1);
    EXPECT_NEAR(shown["height"].get<double>(), f.screen.bottomLeft.y - f.screen.topLeft.y, 1);
    QImage preview(QString::fromStdString(dir_ + "/preview.png"));
    ASSERT_EQ(preview.size(), QSize(phone.width, phone.height));
    EXPECT_EQ(qAlpha(preview.pixel(180, 330)), 255) << "the picture fills the screen";
    EXPECT_EQ(preview.pixel(2, 2), 0u) << "and nothing outside the device";
    EXPECT_FALSE(QDir(QString::fromStdString(dir_ + "/device")).exists());

    // add, three times: the detected template; the next free name; a frame
    // collection's JSON beside it wins over detection; wide frames go to
    // the landscape shells.
    const Ran first = run({"add", QString::fromStdString(frame)});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(std::count(first.out.begin(), first.out.end(), '\n'), 1) << first.out;
    EXPECT_NE(first.out.find("Phone 15.png"), std::string::npos) << first.out;
    EXPECT_EQ(read(shells() + "Phone 15.png"), read(frame));
    EXPECT_EQ(nlohmann::json::parse(read(shells() + "Phone 15.cfg")), shown);

    ASSERT_TRUE(linux_platform::writeAtomically(dir_ + "/Phone 15.json",
                                                R"({"name":"Phone","frameSize":{"width":1200,"height":2200},)"
                                                R"("screen":{"x":44,"y":48,"width":1000,"height":2000}})"));
    const Ran second = run({"add", QString::fromStdString(frame), "--name", "Phone 15"});
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_NE(second.out.find("Phone 15-2.png"), std::string::npos) << second.out;
    EXPECT_EQ(read(shells() + "Phone 15.png"), read(frame)) << "never overwritten";
    const auto fromJson = nlohmann::json::parse(read(shells() + "Phone 15-2.cfg"));
    EXPECT_EQ(fromJson["template_width"], 1200);
    EXPECT_EQ(fromJson["x"], 44);
    EXPECT_EQ(fromJson["height"], 2000);

    FrameRecipe wide;
    wide.width = 660, wide.height = 360, wide.bodyWidth = 600, wide.bodyHeight = 300;
    const Ran third = run({"add", QString::fromStdString(put("tab.png", generateFrame(wide).pixels)), "--name", "Tab"});
    ASSERT_EQ(third.exitCode, 0) << third.err;
    EXPECT_TRUE(QFile::exists(QString::fromStdString(landscapeShells() + "Tab.png")));
    EXPECT_TRUE(QFile::exists(QString::fromStdString(landscapeShells() + "Tab.cfg")));
    const Ran portrait = run({"add", QString::fromStdString(dir_ + "/tab.png"), "--portrait"});
    ASSERT_EQ(portrait.exitCode, 0) << portrait.err;
    EXPECT_TRUE(QFile::exists(QString::fromStdString(shells() + "tab.png")));

    // A frame with no screen of its own is refused in one line, and nothing
    // is written.
    FrameRecipe open;
    open.top = -200;
    const std::string openFrame = put("open.png", generateFrame(open).pixels);
    for (const char* verb : {"add", "check"}) {
        const Ran refused = run({verb, QString::fromStdString(openFrame)});
        EXPECT_EQ(refused.exitCode, 1) << verb;
        EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;
        EXPECT_NE(refused.err.find("no screen"), std::string::npos) << refused.err;
    }
    EXPECT_FALSE(QFile::exists(QString::fromStdString(shells() + "open.png")));

    // doctor names a shell without its template, and the command it gives
    // writes one.
    EXPECT_NE(plinthora({"doctor"}).out.find("OK   shell templates"), std::string::npos);
    ASSERT_TRUE(QFile::copy(QString::fromStdString(frame), QString::fromStdString(shells() + "bare.png")));
    const std::string said = plinthora({"doctor"}).out;
    const size_t at = said.find("WARN shell templates");
    ASSERT_NE(at, std::string::npos) << said;
    const std::string line = said.substr(at, said.find('\n', at) - at);
    EXPECT_NE(line.find("bare.png"), std::string::npos) << line;
    const size_t from = line.find('`') + 1;
    QProcess sh;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("PATH", QString(PLINTHORA_BINARY_DIR) + "/host:" + env.value("PATH"));
    sh.setProcessEnvironment(env);
    sh.start("sh", {"-c", QString::fromStdString(line.substr(from, line.find('`', from) - from))});
    ASSERT_TRUE(sh.waitForFinished(60000));
    EXPECT_EQ(nlohmann::json::parse(read(shells() + "bare.cfg")), shown);
    EXPECT_NE(plinthora({"doctor"}).out.find("OK   shell templates"), std::string::npos);
}

}  // namespace
}  // namespace plinthora
