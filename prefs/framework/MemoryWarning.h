// The process's low-memory signal: whoever holds caches listens, the host
// (or a test) posts.
#pragma once

#include <QObject>

namespace plinthora::prefs {

class MemoryWarningCenter : public QObject {
    Q_OBJECT
public:
    static MemoryWarningCenter& instance();
    void post() { emit didReceiveMemoryWarning(); }

signals:
    void didReceiveMemoryWarning();
};

}  // namespace plinthora::prefs
