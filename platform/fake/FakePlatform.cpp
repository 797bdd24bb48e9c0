#include "platform/fake/FakePlatform.h"

#include <algorithm>
#include <cmath>

namespace plinthora::fake {

// ---- VirtualTime -----------------------------------------------------------

void VirtualTime::after(double seconds, Queue q, std::function<void()> block) {
    std::lock_guard g(m_);
    int64_t delay = std::llround(std::max(0.0, seconds) * 1e6);
    entries_.push_back({nowMicros_ + delay, seq_++, q, std::move(block)});
}

void VirtualTime::advance(double seconds) {
    int64_t target;
    {
        std::lock_guard g(m_);
        target = nowMicros_ + std::llround(seconds * 1e6);
    }
    for (;;) {
        Entry next;
        {
            std::lock_guard g(m_);
            auto it = std::min_element(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
                return a.due != b.due ? a.due < b.due : a.seq < b.seq;
            });
            if (it == entries_.end() || it->due > target) break;
            next = std::move(*it);
            entries_.erase(it);
            nowMicros_ = std::max(nowMicros_, next.due);
        }
        next.block();
    }
    std::lock_guard g(m_);
    nowMicros_ = std::max(nowMicros_, target);
}

void VirtualTime::elapse(double seconds) {
    std::lock_guard g(m_);
    nowMicros_ += std::llround(seconds * 1e6);
}

size_t VirtualTime::pendingCount() const {
    std::lock_guard g(m_);
    return entries_.size();
}

std::vector<double> VirtualTime::pendingDelays() const {
    std::lock_guard g(m_);
    std::vector<double> out;
    for (const auto& e : entries_) out.push_back(static_cast<double>(e.due - nowMicros_) / 1e6);
    std::sort(out.begin(), out.end());
    return out;
}

// ---- MemoryFileSystem ------------------------------------------------------

namespace {
std::string parentOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}
std::string nameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }
}  // namespace

bool MemoryFileSystem::exists(const std::string& path) const {
    std::lock_guard g(m_);
    return dirs_.count(path) || files_.count(path);
}

bool MemoryFileSystem::isDirectory(const std::string& path) const {
    std::lock_guard g(m_);
    return dirs_.count(path) > 0;
}

void MemoryFileSystem::addEntry(const std::string& path) {
    auto& list = entries_[parentOf(path)];
    const std::string name = nameOf(path);
    if (std::find(list.begin(), list.end(), name) == list.end()) list.push_back(name);
}

bool MemoryFileSystem::createDirectories(const std::string& path) {
    std::lock_guard g(m_);
    if (files_.count(path)) return false;
    std::string p = path;
    std::vector<std::string> chain;
    while (p != "/" && !dirs_.count(p)) {
        if (files_.count(p)) return false;
        chain.push_back(p);
        p = parentOf(p);
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        dirs_.insert(*it);
        addEntry(*it);
    }
    return true;
}

std::optional<std::vector<std::string>> MemoryFileSystem::listDirectory(const std::string& path) const {
    std::lock_guard g(m_);
    if (!dirs_.count(path)) return std::nullopt;
    auto it = entries_.find(path);
    return it == entries_.end() ? std::vector<std::string>{} : it->second;
}

std::optional<std::string> MemoryFileSystem::readFile(const std::string& path) const {
    std::lock_guard g(m_);
    auto it = files_.find(path);
    if (it == files_.end()) return std::nullopt;
    return it->second;
}

std::optional<FileStamp> MemoryFileSystem::stamp(const std::string& path) const {
    std::lock_guard g(m_);
    auto it = files_.find(path);
    if (it == files_.end()) return std::nullopt;
    auto when = written_.find(path);
    return FileStamp{int64_t(it->second.size()), when == written_.end() ? 0 : when->second};
}

bool MemoryFileSystem::writeFileAtomically(const std::string& path, const std::string& bytes) {
    {
        std::lock_guard g(m_);
        if (failWrites || !dirs_.count(parentOf(path)) || dirs_.count(path)) return false;
        files_[path] = bytes;
        written_[path] = ++writes_;
        addEntry(path);
        ++writeCount;
    }
    return true;
}

bool MemoryFileSystem::removeItem(const std::string& path) {
    std::lock_guard g(m_);
    if (!files_.erase(path)) return false;
    auto& list = entries_[parentOf(path)];
    std::erase(list, nameOf(path));
    return true;
}

void MemoryFileSystem::put(const std::string& path, const std::string& bytes) {
    createDirectories(parentOf(path));
    std::lock_guard g(m_);
    files_[path] = bytes;
    written_[path] = ++writes_;
    addEntry(path);
}

// ---- notifications, random -------------------------------------------------

void RecordingNotifyCenter::addObserver(const std::string& name, std::function<void()> callback) {
    observers_.emplace(name, std::move(callback));
}

void RecordingNotifyCenter::post(const std::string& name) {
    posted.push_back(name);
    if (onPost) onPost(name);
    auto [b, e] = observers_.equal_range(name);
    for (auto it = b; it != e; ++it) dispatch_.async(Queue::Main, it->second);
}

uint32_t ScriptedRandom::uniform(uint32_t upperBound) {
    bounds.push_back(upperBound);
    if (script.empty()) return 0;
    uint32_t v = script.front();
    script.pop_front();
    return upperBound ? v % upperBound : 0;
}

// ---- MemoryPhotoLibrary ----------------------------------------------------

Asset MemoryPhotoLibrary::add(MediaType type, int w, int h, double age, std::string data, std::string id) {
    Asset a;
    a.localIdentifier = id.empty() ? "asset-" + std::to_string(next_++) : id;
    a.mediaType = type;
    a.pixelWidth = w;
    a.pixelHeight = h;
    a.creationDate = time_.wallNow() - age;
    assets.push_back({a, std::move(data), nullptr});
    return a;
}

std::vector<Asset> MemoryPhotoLibrary::fetchNewest(MediaType type, int limit, double createdAfter) const {
    const_cast<MemoryPhotoLibrary*>(this)->fetchCount++;
    std::vector<Asset> out;
    for (const auto& s : assets)
        if (s.asset.mediaType == type && s.asset.creationDate > createdAfter) out.push_back(s.asset);
    std::stable_sort(out.begin(), out.end(),
                     [](const Asset& a, const Asset& b) { return a.creationDate > b.creationDate; });
    if (static_cast<int>(out.size()) > limit) out.resize(limit);
    return out;
}

std::optional<std::string> MemoryPhotoLibrary::requestImageData(const Asset& asset) {
    time_.elapse(requestSeconds);
    for (const auto& s : assets)
        if (s.asset.localIdentifier == asset.localIdentifier && !s.data.empty()) return s.data;
    return std::nullopt;
}

void MemoryPhotoLibrary::requestVideoFile(const Asset& asset, std::function<void(std::optional<std::string>)> handler) {
    std::optional<std::string> path;
    for (const auto& s : assets)
        if (s.asset.localIdentifier == asset.localIdentifier && !s.data.empty()) path = s.data;
    time_.after(changeDelay, Queue::Global, [handler, path] { handler(path); });
}

void MemoryPhotoLibrary::createImageAsset(Image image, ChangeCompletion completion) {
    time_.after(changeDelay, Queue::Global, [this, image, completion] {
        std::string id;
        if (!failSaves) {
            Asset a = add(MediaType::Image, image ? image->width : 0, image ? image->height : 0, 0);
            assets.back().image = image;
            assets.back().asset.ownResult = true;
            id = a.localIdentifier;
        }
        if (completion) completion(!failSaves, reportNoIdentifier ? "" : id);
    });
}

void MemoryPhotoLibrary::createVideoAsset(const std::string& videoPath, ChangeCompletion completion) {
    time_.after(changeDelay, Queue::Global, [this, videoPath, completion] {
        std::string id;
        if (!failSaves) {
            id = add(MediaType::Video, 0, 0, 0, videoPath).localIdentifier;
            assets.back().asset.ownResult = true;
            videoPaths.push_back(videoPath);
        }
        if (completion) completion(!failSaves, reportNoIdentifier ? "" : id);
    });
}

void MemoryPhotoLibrary::deleteAssets(const std::vector<Asset>& list, ChangeCompletion completion) {
    time_.after(changeDelay, Queue::Global, [this, list, completion] {
        for (const auto& a : list) {
            deleted.push_back(a.localIdentifier);
            std::erase_if(assets, [&](const Stored& s) { return s.asset.localIdentifier == a.localIdentifier; });
        }
        if (completion) completion(true, "");
    });
}

// ---- ScriptedVideoExport ---------------------------------------------------

std::optional<MovieInfo> ScriptedVideoExport::open(const std::string& path) const {
    ++openCount;
    auto it = movies.find(path);
    if (it == movies.end()) return std::nullopt;
    return it->second;
}

void ScriptedVideoExport::Session::cancel() {
    ExportStatus running = ExportStatus::Exporting;
    status_.compare_exchange_strong(running, ExportStatus::Cancelled);
}

std::shared_ptr<ExportSession> ScriptedVideoExport::exportAsynchronously(ExportRequest request,
                                                                         std::function<void(ExportStatus)> completion) {
    if (refuseSessions) return nullptr;
    auto session = std::make_shared<Session>();
    exports.push_back({request, session});
    const ExportStatus scripted = outcome;
    time_.after(exportSeconds, Queue::Global, [this, session, request, completion, scripted] {
        ExportStatus running = ExportStatus::Exporting;
        session->status_.compare_exchange_strong(running, scripted);
        const ExportStatus end = session->status_;
        if (end == ExportStatus::Completed)
            fs_.put(request.outputPath, movieBytes);
        else if (!partialBytes.empty())
            fs_.put(request.outputPath, partialBytes);
        completion(end);
    });
    return session;
}

// ---- FakeWorld -------------------------------------------------------------

void FakeWorld::install(PropertyLists* plist, Json* json, Imaging* imaging) {
    Platform p;
    p.dispatch = &time;
    p.clock = &time;
    p.fs = &fs;
    p.plist = plist;
    p.json = json;
    p.notify = &notify;
    p.localCenter = &localCenter;
    p.random = &random;
    p.imaging = imaging;
    p.photos = &photos;
    p.pasteboard = &pasteboard;
    p.sound = &sound;
    p.screen = &screen;
    p.video = &video;
    setPlatform(p);
}

}  // namespace plinthora::fake
