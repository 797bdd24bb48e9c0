// Our freedesktop Trash on real folders: what lands where, what the info
// file says, and that an original is never lost when it cannot be moved.
#include "platform/linux/Trash.h"

#include "MediaTestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

using namespace plinthora::linux_platform;
using namespace plinthora::mediatest;

namespace {

struct TrashInfo {
    QString header, path, date;
};

TrashInfo parseInfo(const QString& file) {
    TrashInfo info;
    const auto bytes = readFile(file);
    if (!bytes) return info;
    const QStringList lines = QString::fromUtf8(*bytes).split('\n');
    info.header = lines.value(0);
    for (const QString& l : lines) {
        if (l.startsWith("Path=")) info.path = l.mid(5);
        if (l.startsWith("DeletionDate=")) info.date = l.mid(13);
    }
    return info;
}

QString localStamp(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &local);
    return buf;
}

TEST(TrashPathTest, PercentEncodesEverythingButUnreservedCharactersAndSlashes) {
    struct Case {
        const char* in;
        const char* out;
    };
    for (const Case& c : std::vector<Case>{
             {"/home/u/a.png", "/home/u/a.png"},
             {"/x/shot 100%.png", "/x/shot%20100%25.png"},
             {"/x/截图.png", "/x/%E6%88%AA%E5%9B%BE.png"},
             {"/x/A-Z_a.z!~*'()09", "/x/A-Z_a.z!~*'()09"},
             {"/x/a#b?c&d=e+f;g:h@i", "/x/a%23b%3Fc%26d%3De%2Bf%3Bg%3Ah%40i"},
             {"/x/line\nbreak\t", "/x/line%0Abreak%09"},
             {"rel/dir/f", "rel/dir/f"},
         }) {
        EXPECT_EQ(percentEncodeTrashPath(c.in), c.out) << c.in;
    }
}

class TrashTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        ASSERT_TRUE(QDir().mkpath(root.path() + "/shots"));
        home = root.path() + "/data/Trash";
    }
    QString put(const QString& relative, const QByteArray& bytes) {
        const QString p = root.path() + "/" + relative;
        QDir().mkpath(QFileInfo(p).path());
        EXPECT_TRUE(writeFile(p, bytes));
        return p;
    }
    QTemporaryDir root;
    QString home;
};

TEST_F(TrashTest, MovesTheFileAndRecordsItsEncodedPathAndLocalDeletionTime) {
    const QString name = QString::fromUtf8("shot 100%_截图.png");
    const QString original = put("shots/" + name, "pixels");
    const std::time_t when = 1700000000;
    const TrashResult r = Trash(home.toStdString()).moveToTrash(original.toStdString(), when);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_FALSE(QFileInfo::exists(original));
    EXPECT_EQ(QString::fromStdString(r.trashedPath), home + "/files/" + name);
    EXPECT_EQ(QString::fromStdString(r.infoPath), home + "/info/" + name + ".trashinfo");
    EXPECT_EQ(readFile(home + "/files/" + name), QByteArray("pixels"));

    const TrashInfo info = parseInfo(home + "/info/" + name + ".trashinfo");
    EXPECT_EQ(info.header, "[Trash Info]");
    EXPECT_EQ(info.path.toStdString(), percentEncodeTrashPath(original.toStdString()));
    EXPECT_TRUE(info.path.endsWith("/shots/shot%20100%25_%E6%88%AA%E5%9B%BE.png")) << info.path.toStdString();
    // A file manager decodes it back to the original path.
    EXPECT_EQ(QString::fromUtf8(QByteArray::fromPercentEncoding(info.path.toUtf8())), original);
    EXPECT_EQ(info.date, localStamp(when));
    EXPECT_TRUE(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d$").match(info.date).hasMatch());

    // The trash folders are private.
    struct stat st;
    ASSERT_EQ(::stat((home + "/files").toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(TrashTest, SameNameTakesTheNextFreeNumberAndSkipsStrayFiles) {
    Trash trash(home.toStdString());
    // A file in files/ without its info (left by a crash) is not overwritten.
    ASSERT_TRUE(QDir().mkpath(home + "/files"));
    ASSERT_TRUE(writeFile(home + "/files/a.png.2", "stray"));

    std::vector<QString> originals;
    for (const char* dir : {"one", "two", "three"}) originals.push_back(put(QString(dir) + "/a.png", dir));
    std::vector<QString> expectedNames = {"a.png", "a.png.3", "a.png.4"};
    for (size_t i = 0; i < originals.size(); ++i) {
        const TrashResult r = trash.moveToTrash(originals[i].toStdString());
        ASSERT_TRUE(r.ok) << r.error;
        const QString name = QFileInfo(QString::fromStdString(r.trashedPath)).fileName();
        EXPECT_EQ(name, expectedNames[i]);
        EXPECT_EQ(QString::fromStdString(r.infoPath), home + "/info/" + name + ".trashinfo");
        EXPECT_EQ(parseInfo(home + "/info/" + name + ".trashinfo").path.toStdString(),
                  percentEncodeTrashPath(originals[i].toStdString()));
        EXPECT_EQ(readFile(home + "/files/" + name), QFileInfo(originals[i]).dir().dirName().toUtf8());
    }
    EXPECT_EQ(readFile(home + "/files/a.png.2"), QByteArray("stray"));
    EXPECT_FALSE(QFileInfo::exists(home + "/info/a.png.2.trashinfo"));
}

TEST_F(TrashTest, KeepsTheOriginalAndNoInfoWhenNoTrashCanTakeIt) {
    struct Case {
        const char* what;
        std::function<QString()> prepareHome;  // returns the home trash path
        bool infoDirUsable;
    };
    const std::vector<Case> cases = {
        {"files/ is a regular file",
         [&] {
             QDir().mkpath(root.path() + "/t1/Trash");
             writeFile(root.path() + "/t1/Trash/files", "in the way");
             return root.path() + "/t1/Trash";
         },
         true},
        {"the trash itself is a regular file",
         [&] {
             writeFile(root.path() + "/t2", "in the way");
             return root.path() + "/t2/Trash";
         },
         false},
        {"the trash is under /proc", [] { return QString("/proc/self/Trash"); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QString original = put("shots/keep me.png", "precious");
        const QString trashHome = c.prepareHome();
        const TrashResult r = Trash(trashHome.toStdString()).moveToTrash(original.toStdString());
        EXPECT_FALSE(r.ok);
        EXPECT_FALSE(r.error.empty());
        EXPECT_EQ(readFile(original), QByteArray("precious"));
        if (c.infoDirUsable) {
            EXPECT_TRUE(QDir(trashHome + "/info").entryList(QDir::Files | QDir::Hidden).isEmpty());
        }
    }
    EXPECT_FALSE(Trash(home.toStdString()).moveToTrash((root.path() + "/shots/absent.png").toStdString()).ok);
    EXPECT_FALSE(Trash(home.toStdString()).moveToTrash("relative/path.png").ok);
}

TEST_F(TrashTest, RenameNoReplaceNeverReplacesAnExistingName) {
    const QString from = put("shots/new.png", "new");
    const QString to = put("shots/old.png", "old");
    errno = 0;
    EXPECT_EQ(renameNoReplace(from.toStdString(), to.toStdString()), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(readFile(to), QByteArray("old"));
    EXPECT_EQ(readFile(from), QByteArray("new"));

    const QString free = root.path() + "/shots/free.png";
    EXPECT_EQ(renameNoReplace(from.toStdString(), free.toStdString()), 0);
    EXPECT_EQ(readFile(free), QByteArray("new"));
    EXPECT_FALSE(QFileInfo::exists(from));
}

TEST_F(TrashTest, DefaultHomeTrashFollowsXdgDataHome) {
    {
        ScopedEnv xdg("XDG_DATA_HOME", "/somewhere/data");
        EXPECT_EQ(Trash::defaultHomeTrash(), "/somewhere/data/Trash");
    }
    {
        ScopedEnv xdg("XDG_DATA_HOME", "not/absolute");
        ScopedEnv h("HOME", "/home/someone");
        EXPECT_EQ(Trash::defaultHomeTrash(), "/home/someone/.local/share/Trash");
    }
}

// A file on another file system goes to that file system's own trash, with
// Path= relative to its top. /dev/shm is a separate tmpfs on the machines
// we test on; elsewhere there is nothing to cross.
TEST_F(TrashTest, FileOnAnotherFileSystemGoesToItsPerMountTrash) {
    struct stat shm, here;
    if (::stat("/dev/shm", &shm) != 0 || ::stat(root.path().toLocal8Bit().constData(), &here) != 0 ||
        shm.st_dev == here.st_dev || ::access("/dev/shm", W_OK) != 0)
        GTEST_SKIP() << "no second writable file system at /dev/shm";

    const QString mountTrash = QString("/dev/shm/.Trash-%1").arg(::getuid());
    const bool existed = QFileInfo::exists(mountTrash);
    QTemporaryDir onShm("/dev/shm/plinthora-trash-test-XXXXXX");
    ASSERT_TRUE(onShm.isValid());
    const QString original = onShm.path() + "/far 50%.png";
    ASSERT_TRUE(writeFile(original, "far away"));
    ASSERT_EQ(mountTopDir(original.toStdString()), "/dev/shm");

    const TrashResult r = Trash(home.toStdString()).moveToTrash(original.toStdString());
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_FALSE(QFileInfo::exists(original));
    EXPECT_TRUE(QString::fromStdString(r.trashedPath).startsWith(mountTrash + "/files/"));
    EXPECT_EQ(readFile(QString::fromStdString(r.trashedPath)), QByteArray("far away"));
    const TrashInfo info = parseInfo(QString::fromStdString(r.infoPath));
    EXPECT_EQ(info.path, QFileInfo(onShm.path()).fileName() + "/far%2050%25.png");
    // Nothing was left reserved in the home trash.
    EXPECT_TRUE(QDir(home + "/info").entryList(QDir::Files | QDir::Hidden).isEmpty());
    struct stat st;
    ASSERT_EQ(::lstat(mountTrash.toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    QFile::remove(QString::fromStdString(r.trashedPath));
    QFile::remove(QString::fromStdString(r.infoPath));
    if (!existed) QDir(mountTrash).removeRecursively();
}

}  // namespace
