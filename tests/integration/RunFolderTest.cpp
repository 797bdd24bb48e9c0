// Temporary movie folders on a real file system: private, and the leftovers
// of dead runs swept at start while the files of live ones stay.
#include "platform/linux/RunFolder.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

using plinthora::linux_platform::RunFolder;

namespace {

bool exists(const std::string& p) { return ::access(p.c_str(), F_OK) == 0; }
int modeOf(const std::string& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}
void touch(const std::string& p) { std::ofstream(p) << "x"; }

TEST(RunFolder, PrivateAndSweepsOnlyTheLeftoversOfDeadRuns) {
    QTemporaryDir tmp;
    const std::string base = tmp.path().toStdString();
    const std::string user = base + "/plinthora-" + std::to_string(::geteuid());
    ASSERT_EQ(::mkdir(user.c_str(), 0755), 0);  // opened up by someone

    // A run killed mid-export, and one exporting right now: its lock is held
    // here through an open file of its own, as another process would.
    const std::string dead = user + "/run-dead", live = user + "/run-live";
    for (const std::string& run : {dead, live}) {
        ASSERT_EQ(::mkdir(run.c_str(), 0700), 0);
        touch(run + "/.lock");
        touch(run + "/SR_1700000000.500000.mp4");
        touch(run + "/.SR_1700000000.500000.mp4.1-0-a.part");
    }
    const int held = ::open((live + "/.lock").c_str(), O_RDONLY);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);

    std::string mine;
    {
        RunFolder folder(base);
        mine = folder.path();
        ASSERT_FALSE(mine.empty());
        EXPECT_EQ(modeOf(user), 0700);
        EXPECT_EQ(modeOf(mine), 0700);
        EXPECT_FALSE(exists(dead));
        EXPECT_TRUE(exists(live + "/SR_1700000000.500000.mp4"));
        touch(mine + "/SR_1.mp4");

        // A second program starting now leaves this live run alone.
        RunFolder other(base);
        EXPECT_NE(other.path(), mine);
        EXPECT_TRUE(exists(mine + "/SR_1.mp4"));
    }
    EXPECT_FALSE(exists(mine)) << "an orderly end takes its folder with it";
    ::close(held);
    RunFolder after(base);
    EXPECT_FALSE(exists(live)) << "swept once its run is gone";

    // A per-user folder that is a link (planted by someone else) is refused.
    QTemporaryDir elsewhere, base2;
    const std::string planted = base2.path().toStdString() + "/plinthora-" + std::to_string(::geteuid());
    ASSERT_EQ(::symlink(elsewhere.path().toStdString().c_str(), planted.c_str()), 0);
    EXPECT_TRUE(RunFolder(base2.path().toStdString()).path().empty());
}

}  // namespace
