// Exports taking turns through the host's tracked port, on the scripted
// port in virtual time.
#include "host/common/TrackedVideoExport.h"
#include "platform/fake/FakePlatform.h"

#include <gtest/gtest.h>

namespace plinthora::testing {
namespace {

TEST(TrackedVideoExport, ExportsTakeTurnsOldestFirstAndEveryOneEndsOnce) {
    fake::VirtualTime time;
    fake::MemoryFileSystem fs;
    fake::ScriptedVideoExport port(time, fs);
    host::TrackedVideoExport exports(port);
    std::vector<std::string> ended;
    auto request = [&](const std::string& name) {
        ExportRequest r;
        r.sourcePath = name;
        r.outputPath = "/tmp/" + name + ".mp4";
        r.frameHandler = [](const Bitmap&, Bitmap&, int64_t, const Imaging::RowBands&) {};
        return exports.exportAsynchronously(r, [&ended, name](ExportStatus s) {
            ended.push_back(name + (s == ExportStatus::Completed   ? " done"
                                    : s == ExportStatus::Cancelled ? " cancelled"
                                                                   : " failed"));
        });
    };
    using Names = std::vector<std::string>;

    auto a = request("a"), b = request("b"), c = request("c");
    ASSERT_TRUE(a && b && c);
    ASSERT_EQ(port.exports.size(), 1u);  // only the first reached the port
    EXPECT_EQ(b->status(), ExportStatus::Waiting);
    EXPECT_EQ(exports.inFlight().size(), 3u);
    EXPECT_TRUE(exports.inFlight()[2].waiting);

    c->cancel();  // still waiting: it ends at once and never starts
    EXPECT_EQ(ended, Names{"c cancelled"});
    EXPECT_EQ(c->status(), ExportStatus::Cancelled);

    time.advance(2.0);
    EXPECT_EQ(ended, (Names{"c cancelled", "a done"}));
    ASSERT_EQ(port.exports.size(), 2u);
    EXPECT_EQ(port.exports[1].request.sourcePath, "b");

    // A request the port refuses when its turn comes fails, and the queue
    // goes on.
    port.refuseSessions = true;
    auto d = request("d");
    ASSERT_TRUE(d);
    time.advance(2.0);
    EXPECT_EQ(ended, (Names{"c cancelled", "a done", "b done", "d failed"}));
    EXPECT_EQ(d->status(), ExportStatus::Failed);
    EXPECT_TRUE(exports.inFlight().empty());
    // With nothing ahead, a refusal is the caller's to see at once.
    EXPECT_EQ(request("e"), nullptr);
    EXPECT_EQ(exports.startedFor("e"), 0);
    EXPECT_EQ(exports.startedFor("d"), 1);

    // Shutting down cancels the running one and the waiting one alike.
    port.refuseSessions = false;
    auto f = request("f"), g = request("g");
    EXPECT_FALSE(exports.cancelAllAndWait(0));  // f ends only when the port says so
    EXPECT_EQ(ended.back(), "g cancelled");
    time.advance(2.0);
    EXPECT_EQ(ended.back(), "f cancelled");
    EXPECT_TRUE(exports.inFlight().empty());
    EXPECT_EQ(port.exports.size(), 3u);  // g never started
}

}  // namespace
}  // namespace plinthora::testing
