// Recordings whose export has started and whose result is not saved yet,
// kept on disk so that an export cut short (the daemon killed, the machine
// turned off) is known at the next start. One small file per recording:
// its path and how many times its export has started.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace plinthora::host {

class ExportJournal {
public:
    // `folder` is created when missing; "" keeps no journal.
    explicit ExportJournal(std::string folder);

    // $XDG_STATE_HOME/plinthora/exports (~/.local/state/plinthora/exports).
    static std::string defaultFolder();

    struct Entry {
        std::string source;
        int attempts = 0;  // exports started, the last one cut short
    };
    // What the journal held when it was opened: exports of an earlier run
    // that never ended.
    const std::vector<Entry>& interrupted() const { return interrupted_; }

    // An export of `source` starts; returns how many times it has started,
    // this one included.
    int begin(const std::string& source);
    // Its result is saved, or it failed for good: forgotten.
    void end(const std::string& source);

private:
    std::string fileFor(const std::string& source) const;
    std::string folder_;
    std::vector<Entry> interrupted_;
    std::mutex lock_;  // exports begin and end on their own threads
};

}  // namespace plinthora::host
