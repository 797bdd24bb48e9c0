// The real ports on Linux: dispatch on the Qt event loop here; the clocks,
// the random source, the file system and the value codecs in their own
// Qt-free files.
#pragma once

#include "platform/linux/ClockAndRandom.h"
#include "platform/linux/Files.h"
#include "platform/linux/PosixFileSystem.h"
#include "platform/linux/ValueCodecs.h"
#include "platform/ports/Platform.h"

#include <QObject>
#include <QString>

#include <memory>
#include <string>

namespace plinthora::linux_platform {

// Main queue = the Qt event loop of the thread that owns the
// QCoreApplication; global queue = QThreadPool.
class QtDispatch : public Dispatch {
public:
    void async(Queue q, std::function<void()> block) override;
    void after(double seconds, Queue q, std::function<void()> block) override;
};

// The display-free ports every program of ours sets up the same way.
struct BasicPorts {
    QtDispatch dispatch;
    SteadyClock clock;
    PosixFileSystem fs;
    LibplistPropertyLists plist;
    NlohmannJson json;
    SystemRandom random;

    void fillIn(Platform& p) {
        p.dispatch = &dispatch;
        p.clock = &clock;
        p.fs = &fs;
        p.plist = &plist;
        p.json = &json;
        p.random = &random;
    }
};

}  // namespace plinthora::linux_platform
