#include "platform/linux/DBusNotifyCenter.h"

#include "platform/ports/Platform.h"

#include <QDBusMessage>

namespace plinthora::linux_platform {

DBusNotifyCenter::DBusNotifyCenter(QDBusConnection connection) : connection_(std::move(connection)) {
    if (!connection_.isConnected())
        debugLog("no D-Bus session bus (%s): notifications stay in this process",
                 qPrintable(connection_.lastError().message()));
}

void DBusNotifyCenter::addObserver(const std::string& name, std::function<void()> callback) {
    observers_.emplace(name, std::move(callback));
    if (subscribed_ || !connection_.isConnected()) return;
    subscribed_ =
        connection_.connect(QString(), kNotifyPath, kNotifyInterface, "Notify", this, SLOT(onNotify(QString)));
    if (!subscribed_) debugLog("cannot subscribe to D-Bus notifications");
}

void DBusNotifyCenter::useConnection(QDBusConnection connection) {
    connection_ = std::move(connection);
    subscribed_ = false;
    if (observers_.empty() || !connection_.isConnected()) return;
    subscribed_ =
        connection_.connect(QString(), kNotifyPath, kNotifyInterface, "Notify", this, SLOT(onNotify(QString)));
    if (!subscribed_) debugLog("cannot subscribe to D-Bus notifications");
}

void DBusNotifyCenter::post(const std::string& name) {
    if (!connection_.isConnected()) {
        // Without a bus, still tell this process's own observers.
        QMetaObject::invokeMethod(
            this, [this, n = QString::fromStdString(name)] { onNotify(n); }, Qt::QueuedConnection);
        return;
    }
    QDBusMessage signal = QDBusMessage::createSignal(kNotifyPath, kNotifyInterface, "Notify");
    signal << QString::fromStdString(name);
    if (!connection_.send(signal)) debugLog("posting %s on D-Bus failed", name.c_str());
    // Make sure the signal leaves before a short-lived poster exits.
    connection_.call(QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                    "org.freedesktop.DBus", "GetId"));
}

void DBusNotifyCenter::onNotify(const QString& name) {
    auto [b, e] = observers_.equal_range(name.toStdString());
    for (auto it = b; it != e; ++it) it->second();
}

}  // namespace plinthora::linux_platform
