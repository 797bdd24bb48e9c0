// The display-free Linux ports on real files and a real session bus.
#include "platform/linux/DBusNotifyCenter.h"
#include "platform/linux/LinuxPlatform.h"

#include "MediaTestSupport.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>

namespace plinthora::linux_platform {
namespace {

using mediatest::ScopedEnv;
using mediatest::waitUntil;

TEST(DevicePaths, MapOntoTheUsersFolders) {
    PosixFileSystem fs;
    ScopedEnv home("HOME", "/home/u");
    ScopedEnv config("XDG_CONFIG_HOME", "/home/u/.cfg");
    ScopedEnv noRoot("PLINTHORA_DEVICE_ROOT", "");
    EXPECT_EQ(fs.realPath("/var/mobile/Library/Preferences/com.ozrin.plinthora.plist"),
              "/home/u/.cfg/plinthora/com.ozrin.plinthora.plist");
    EXPECT_EQ(fs.realPath("/var/mobile/Ozrin/套壳素材"), "/home/u/Ozrin/套壳素材");
    EXPECT_EQ(fs.realPath("/var/mobilestuff/x"), "/var/mobilestuff/x");
    EXPECT_EQ(fs.realPath("/tmp/a.png"), "/tmp/a.png");

    ScopedEnv root("PLINTHORA_DEVICE_ROOT", "/srv/dev");
    EXPECT_EQ(fs.realPath("/var/mobile/Library/Preferences/com.ozrin.plinthora.plist"),
              "/srv/dev/Library/Preferences/com.ozrin.plinthora.plist");
    EXPECT_EQ(fs.realPath("/var/mobile/Ozrin"), "/srv/dev/Ozrin");
}

TEST(PosixFileSystem, AtomicWriteReplacesWholeAndLeavesNoTemp) {
    QTemporaryDir dir;
    PosixFileSystem fs;
    const std::string path = dir.path().toStdString() + "/prefs.plist";
    ASSERT_TRUE(fs.writeFileAtomically(path, "first"));
    ASSERT_TRUE(fs.writeFileAtomically(path, "second, longer"));
    EXPECT_EQ(fs.readFile(path), "second, longer");
    EXPECT_EQ(fs.listDirectory(dir.path().toStdString()), std::vector<std::string>{"prefs.plist"});
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    // A folder that does not exist: failure, nothing created.
    EXPECT_FALSE(fs.writeFileAtomically(dir.path().toStdString() + "/missing/x", "y"));
    // A directory in the way of the target: the rename fails and the temp goes.
    ASSERT_TRUE(fs.createDirectories(dir.path().toStdString() + "/taken/inner"));
    EXPECT_FALSE(fs.writeFileAtomically(dir.path().toStdString() + "/taken", "y"));
    EXPECT_EQ(fs.listDirectory(dir.path().toStdString())->size(), 2u);
}

TEST(PosixFileSystem, ListingAndCreation) {
    QTemporaryDir dir;
    PosixFileSystem fs;
    const std::string root = dir.path().toStdString();
    EXPECT_FALSE(fs.listDirectory(root + "/nope"));
    EXPECT_TRUE(fs.createDirectories(root + "/a/b/c"));
    EXPECT_TRUE(fs.createDirectories(root + "/a/b/c"));
    EXPECT_TRUE(fs.isDirectory(root + "/a/b"));
    std::ofstream(root + "/file") << "x";
    EXPECT_FALSE(fs.createDirectories(root + "/file/sub"));
    EXPECT_TRUE(fs.removeItem(root + "/file"));
    EXPECT_FALSE(fs.exists(root + "/file"));
}

TEST(PropertyLists, RoundTripAndBadInput) {
    LibplistPropertyLists plist;
    Value::Dict d = {{"b", Value::boolean(true)},
                     {"i", Value::integer(-42)},
                     {"r", Value::real(0.37)},
                     {"s", Value::string("滤色")},
                     {"a", Value::array({Value::integer(1)})},
                     {"nested", Value::dict({{"k", Value::string("v")}})}};
    auto back = plist.parse(plist.toXml(Value::dict(d)));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, Value::dict(d));
    EXPECT_FALSE(plist.parse(""));
    EXPECT_FALSE(plist.parse("definitely not"));
}

// Damaged files that once aborted the reader (libplist asserts on a NUL
// inside a string or key) or made the writer convert out of range.
TEST(PropertyLists, DamagedFilesReadAndRewriteWithoutAborting) {
    LibplistPropertyLists plist;
    using namespace std::string_literals;
    const std::string nulInString =
        "<plist><dict><key>sr_selectedShell</key><string>a.png\0/../x</string></dict></plist>"s;
    auto v = plist.parse(nulInString);
    ASSERT_TRUE(v);
    ASSERT_TRUE(v->find("sr_selectedShell"));
    EXPECT_EQ(v->find("sr_selectedShell")->asString(), "a.png");

    // A binary dictionary whose one key is the UTF-16 string "k\0x"
    // (bplist00: dict, key, value, offsets, trailer).
    const std::string keyWithNul =
        "bplist00"
        "\xd1\x01\x02"          // object 0: dict of one, key ref 1, value ref 2
        "\x63\0k\0\0\0x"        // object 1: UTF-16 string of 3
        "\x09"                  // object 2: true
        "\x08\x0b\x12"          // offsets of the three objects
        "\0\0\0\0\0\0\x01\x01"  // trailer: offset and ref sizes 1,
        "\0\0\0\0\0\0\0\x03"    // three objects,
        "\0\0\0\0\0\0\0\0"      // top object 0,
        "\0\0\0\0\0\0\0\x13"s;  // offset table at 19
    v = plist.parse(keyWithNul);
    ASSERT_TRUE(v);
    ASSERT_TRUE(v->find("k"));
    EXPECT_TRUE(v->find("k")->asBool());

    // A date a writer cannot hold in its 32-bit seconds comes back at the
    // end of the range, not wrapped into the past.
    auto far = plist.parse(plist.toXml(Value::dict({{"d", Value::date(1e12)}})));
    ASSERT_TRUE(far && far->find("d"));
    EXPECT_DOUBLE_EQ(far->find("d")->asReal(), 978307200.0 + 2147483647.0);

    // An object reference (binary type 8) reads as no number and survives a
    // rewrite as the same reference, so a setting stays at its default
    // instead of turning into a zero.
    const std::string uidValue =
        "bplist00"
        "\xd1\x01\x02"  // object 0: dict of one
        "\x51k"         // object 1: ASCII "k"
        "\x80\x07"      // object 2: UID 7
        "\x08\x0b\x0d"  // offsets
        "\0\0\0\0\0\0\x01\x01"
        "\0\0\0\0\0\0\0\x03"
        "\0\0\0\0\0\0\0\0"
        "\0\0\0\0\0\0\0\x0f"s;
    for (const std::string& bytes : {uidValue, plist.toXml(*plist.parse(uidValue))}) {
        v = plist.parse(bytes);
        ASSERT_TRUE(v && v->find("k"));
        EXPECT_TRUE(v->find("k")->isDict()) << bytes;
    }
    EXPECT_EQ(plist.toXml(Value::dict({{"gone", Value()}})), plist.toXml(Value::dict({})));
}

TEST(Json, KindsAreKept) {
    NlohmannJson json;
    auto v = json.parse(R"({"n":1,"f":1.5,"s":"2","b":true,"z":null,"a":[],"o":{}})");
    ASSERT_TRUE(v && v->isDict());
    EXPECT_EQ(v->find("n")->kind(), Value::Kind::Integer);
    EXPECT_EQ(v->find("f")->kind(), Value::Kind::Real);
    EXPECT_EQ(v->find("s")->kind(), Value::Kind::String);
    EXPECT_EQ(v->find("b")->kind(), Value::Kind::Bool);
    EXPECT_EQ(v->find("z")->kind(), Value::Kind::Null);
    EXPECT_EQ(v->find("a")->kind(), Value::Kind::Array);
    EXPECT_EQ(v->find("o")->kind(), Value::Kind::Dict);
    for (const char* bad : {"{", "{\"a\":1,}", "// c\n{}", ""}) EXPECT_FALSE(json.parse(bad)) << bad;
}

TEST(DBusNotifyCenter, PostFromOneConnectionReachesAnother) {
    QDBusConnection second = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "plinthora-test-second");
    if (!QDBusConnection::sessionBus().isConnected())
        GTEST_SKIP() << "no session bus: run the tests under dbus-run-session to check notifications";
    ASSERT_TRUE(second.isConnected());
    {
        DBusNotifyCenter observer(QDBusConnection::sessionBus());
        DBusNotifyCenter poster(second);
        int seen = 0, other = 0;
        observer.addObserver("com.ozrin.plinthora/preferencesChanged", [&] { ++seen; });
        observer.addObserver("com.ozrin.plinthora/other", [&] { ++other; });

        poster.post("com.ozrin.plinthora/preferencesChanged");
        EXPECT_TRUE(waitUntil([&] { return seen == 1; }));
        poster.post("com.ozrin.plinthora/preferencesChanged");
        EXPECT_TRUE(waitUntil([&] { return seen == 2; }));
        EXPECT_EQ(other, 0);
    }
    QDBusConnection::disconnectFromBus("plinthora-test-second");
}

TEST(QtDispatch, AfterRunsOnTheMainThreadInTimeOrder) {
    QtDispatch dispatch;
    std::vector<int> order;
    std::atomic<bool> globalRan{false};
    dispatch.after(0.06, Queue::Main, [&] { order.push_back(2); });
    dispatch.after(0.02, Queue::Main, [&] { order.push_back(1); });
    dispatch.async(Queue::Global, [&] { globalRan = true; });
    dispatch.after(0.01, Queue::Global, [&] { EXPECT_NE(QThread::currentThread(), qApp->thread()); });
    EXPECT_TRUE(waitUntil([&] { return order.size() == 2 && globalRan; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

}  // namespace
}  // namespace plinthora::linux_platform
