// Cross-process notifications over the D-Bus session bus: a post is the
// signal Notify(name) on /com/ozrin/plinthora, interface
// com.ozrin.plinthora.Notify; every process that observes the name, the
// poster included, gets its callback on its main thread.
#pragma once

#include "platform/ports/Ports.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QObject>
#include <QString>

#include <map>
#include <string>

namespace plinthora::linux_platform {

inline constexpr const char* kNotifyPath = "/com/ozrin/plinthora";
inline constexpr const char* kNotifyInterface = "com.ozrin.plinthora.Notify";

class DBusNotifyCenter : public QObject, public NotifyCenter {
    Q_OBJECT
public:
    explicit DBusNotifyCenter(QDBusConnection connection = QDBusConnection::sessionBus());
    bool isConnected() const { return connection_.isConnected(); }
    QString lastError() const { return connection_.lastError().message(); }

    void addObserver(const std::string& name, std::function<void()> callback) override;
    void post(const std::string& name) override;

    // Moves to a new connection (the bus came back) and subscribes there.
    void useConnection(QDBusConnection connection);
    // Runs this process's observers of `name` as if it had been posted.
    void deliverLocally(const std::string& name) { onNotify(QString::fromStdString(name)); }

private slots:
    void onNotify(const QString& name);

private:
    QDBusConnection connection_;
    bool subscribed_ = false;
    std::multimap<std::string, std::function<void()>> observers_;
};

}  // namespace plinthora::linux_platform
