// Deterministic in-memory ports for tests: virtual time that runs delayed
// blocks in time order without sleeping, an in-memory file system that keeps
// directory entries in creation order, and recorders.
#pragma once

#include "platform/ports/Platform.h"

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace plinthora::fake {

// Clock and dispatch on one virtual timeline. Main and global blocks run on
// the calling thread, in time order, when time is advanced.
class VirtualTime : public Dispatch, public Clock {
public:
    void async(Queue q, std::function<void()> block) override { after(0, q, std::move(block)); }
    void after(double seconds, Queue q, std::function<void()> block) override;
    double now() const override { return static_cast<double>(nowMicros_) / 1e6; }
    double wallNow() const override { return wallOffset_ + now(); }

    // Runs every block due up to now + seconds, in time order (blocks
    // scheduled meanwhile included), and leaves the clock there.
    void advance(double seconds);
    // Runs what is due now.
    void runPending() { advance(0); }
    // Time passing inside a block (a main queue held up by slow work):
    // the clock moves on, nothing runs; what came due meanwhile runs late.
    void elapse(double seconds);
    size_t pendingCount() const;
    // Delays of everything still scheduled, from now.
    std::vector<double> pendingDelays() const;
    void setWallOffset(double w) { wallOffset_ = w; }

private:
    struct Entry {
        int64_t due;
        uint64_t seq;
        Queue queue;
        std::function<void()> block;
    };
    mutable std::mutex m_;
    std::vector<Entry> entries_;
    int64_t nowMicros_ = 0;
    uint64_t seq_ = 0;
    double wallOffset_ = 1.8e9;
};

// Paths are used as given; "directories" list entries in creation order.
class MemoryFileSystem : public FileSystem {
public:
    std::string realPath(const std::string& devicePath) const override { return devicePath; }
    bool exists(const std::string& path) const override;
    bool isDirectory(const std::string& path) const override;
    bool createDirectories(const std::string& path) override;
    std::optional<std::vector<std::string>> listDirectory(const std::string& path) const override;
    std::optional<std::string> readFile(const std::string& path) const override;
    // Every write counts as a new modification time.
    std::optional<FileStamp> stamp(const std::string& path) const override;
    bool writeFileAtomically(const std::string& path, const std::string& bytes) override;
    bool removeItem(const std::string& path) override;
    std::string temporaryDirectory() const override { return "/tmp"; }

    // Test set-up: writes a file, creating its folders.
    void put(const std::string& path, const std::string& bytes);
    bool failWrites = false;
    int writeCount = 0;

private:
    void addEntry(const std::string& path);
    mutable std::mutex m_;
    std::set<std::string> dirs_{"/"};
    std::map<std::string, std::string> files_;
    std::map<std::string, int64_t> written_;
    int64_t writes_ = 0;
    std::map<std::string, std::vector<std::string>> entries_;
};

class RecordingNotifyCenter : public NotifyCenter, public LocalNotificationCenter {
public:
    explicit RecordingNotifyCenter(Dispatch& d) : dispatch_(d) {}
    void addObserver(const std::string& name, std::function<void()> callback) override;
    // Delivered on the main queue, as the real centre does.
    void post(const std::string& name) override;
    std::vector<std::string> posted;
    // Called at post time, before delivery: lets a test see what the world
    // looked like when the notification left.
    std::function<void(const std::string&)> onPost;

private:
    Dispatch& dispatch_;
    std::multimap<std::string, std::function<void()>> observers_;
};

// Draws from a script, then 0.
class ScriptedRandom : public Random {
public:
    uint32_t uniform(uint32_t upperBound) override;
    std::deque<uint32_t> script;
    std::vector<uint32_t> bounds;
};

class FixedScreen : public ScreenMetrics {
public:
    Size bounds() const override { return pointSize; }
    double scale() const override { return pixelScale; }
    Size pointSize{390, 844};
    double pixelScale = 3;
};

class RecordingPasteboard : public Pasteboard {
public:
    void setImage(Image image, Kept kept) override {
        images.push_back(std::move(image));
        if (kept) kept(keeps);
    }
    std::vector<Image> images;
    bool keeps = true;  // what every delivery reports
};

class RecordingSound : public SystemSound {
public:
    void play(int soundId) override { played.push_back(soundId); }
    std::vector<int> played;
};

// An in-memory photo library. Changes complete on the virtual timeline
// (global queue) after `changeDelay` seconds.
class MemoryPhotoLibrary : public PhotoLibrary {
public:
    MemoryPhotoLibrary(VirtualTime& time) : time_(time) {}
    std::vector<Asset> fetchNewest(MediaType type, int limit, double createdAfter) const override;
    std::optional<std::string> requestImageData(const Asset& asset) override;
    void requestVideoFile(const Asset& asset, std::function<void(std::optional<std::string>)> handler) override;
    void createImageAsset(Image image, ChangeCompletion completion) override;
    void createVideoAsset(const std::string& videoPath, ChangeCompletion completion) override;
    void deleteAssets(const std::vector<Asset>& assets, ChangeCompletion completion) override;

    // Test set-up: an asset with its data, created `age` seconds ago.
    Asset add(MediaType type, int w, int h, double age, std::string data = "", std::string id = "");

    struct Stored {
        Asset asset;
        std::string data;
        Image image;
    };
    std::vector<Stored> assets;  // in creation order
    std::vector<std::string> deleted;
    std::vector<std::string> videoPaths;
    bool failSaves = false;
    // A save that succeeds but names no asset.
    bool reportNoIdentifier = false;
    double changeDelay = 0.05;
    // How long a synchronous image-data request keeps its caller.
    double requestSeconds = 0;
    int fetchCount = 0;

private:
    VirtualTime& time_;
    int next_ = 1;
};

// A video port in virtual time. open() knows the movies a test declares;
// an export is recorded, runs for `exportSeconds` on the global queue and
// ends with `outcome` (or Cancelled once cancelled). A completed export
// writes `movieBytes` at its output path; one that fails leaves
// `partialBytes` there when they are set, as a careless platform might.
// Frames are not rendered: tests call the recorded handler themselves.
class ScriptedVideoExport : public VideoExport {
public:
    ScriptedVideoExport(VirtualTime& time, MemoryFileSystem& fs) : time_(time), fs_(fs) {}
    std::optional<MovieInfo> open(const std::string& path) const override;
    std::shared_ptr<ExportSession> exportAsynchronously(ExportRequest request,
                                                        std::function<void(ExportStatus)> completion) override;

    struct Session : ExportSession {
        void cancel() override;
        ExportStatus status() const override { return status_; }
        ExportProgress progress() const override { return {}; }
        std::atomic<ExportStatus> status_{ExportStatus::Exporting};
    };
    struct Started {
        ExportRequest request;
        std::shared_ptr<Session> session;
    };

    std::map<std::string, MovieInfo> movies;
    std::vector<Started> exports;
    mutable int openCount = 0;
    bool refuseSessions = false;
    double exportSeconds = 2.0;
    ExportStatus outcome = ExportStatus::Completed;
    std::string movieBytes = "movie";
    std::string partialBytes;

private:
    VirtualTime& time_;
    MemoryFileSystem& fs_;
};

// Owns one of each fake, and installs them (plus the given real ports) as
// the platform.
struct FakeWorld {
    VirtualTime time;
    MemoryFileSystem fs;
    RecordingNotifyCenter notify{time};
    RecordingNotifyCenter localCenter{time};
    ScriptedRandom random;
    FixedScreen screen;
    RecordingPasteboard pasteboard;
    RecordingSound sound;
    MemoryPhotoLibrary photos{time};
    ScriptedVideoExport video{time, fs};

    // Installs the fakes; the real plist, JSON and imaging ports come from
    // the caller (tests link the Linux ones, which need no display).
    void install(PropertyLists* plist, Json* json, Imaging* imaging);
};

}  // namespace plinthora::fake
