// Tells when a screen recording is being written into the screencast
// folder, which is how the host learns that the screen is being captured.
//
// A recorder creates its file and writes to it for as long as it records,
// then closes it once. So: a video name created or written to (IN_CREATE,
// IN_MODIFY) means a capture is running; its last writer closing it
// (IN_CLOSE_WRITE), or the name going away, means that capture ended. A
// recorder that finishes an MP4 by reopening it to move the index to the
// front closes the file twice; a short grace after the last close keeps
// that from looking like two recordings.
//
// IN_OPEN alone is not taken for a start: readers (thumbnailers, players,
// the library itself) open finished files too, and never close them after
// writing, which would leave the capture on for good.
#pragma once

#include "platform/linux/FolderEvents.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <set>
#include <string>

namespace plinthora::host {

class ScreencastWatcher : public QObject {
    Q_OBJECT
public:
    // `ownFile` tells files the host's library wrote itself; they are never
    // a recording.
    ScreencastWatcher(const QString& folder, std::function<bool(const QString& path)> ownFile, int graceMs = 1000,
                      QObject* parent = nullptr);
    ~ScreencastWatcher() override;

    bool isWatching() const;
    bool capturing() const { return capturing_; }
    // Stops reporting (shutdown).
    void stop();

    // A name a recorder may be writing: a video extension, possibly with a
    // temporary suffix (".part", ".tmp", "~") a recorder renames away at
    // the end. Dot names are the library's own temporary files.
    static bool isRecordingName(const std::string& name);

signals:
    void captureChanged(bool capturing);

private:
    void folderChanged(const linux_platform::FolderEvents::Event& e);
    void writing(const std::string& name);
    void finished(const std::string& name);
    void settle();

    std::string folder_;
    std::function<bool(const QString&)> ownFile_;
    int subscription_ = -1;       // to the shared folder events
    std::set<std::string> open_;  // names being written
    bool capturing_ = false;
    QTimer grace_;
};

}  // namespace plinthora::host
