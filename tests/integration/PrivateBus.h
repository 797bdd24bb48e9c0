// A private session bus (its own dbus-daemon) for a test, so tests may run
// side by side and never meet a daemon the user runs.
#pragma once

#include "MediaTestSupport.h"

#include <QDBusConnection>
#include <QProcess>

#include <memory>

namespace plinthora::mediatest {

// Bounded wait for a process or bus to come up; generous for sanitizer
// builds on small machines.
inline constexpr int kStartMs = 30000;

class PrivateBus {
public:
    // On `listen` (a D-Bus address such as unix:path=…) when given, so the
    // bus can be stopped and started again where its clients look for it.
    bool start(const QString& listen = QString()) {
        process_.setProgram("dbus-daemon");
        QStringList args{"--session", "--nofork", "--print-address=1"};
        if (!listen.isEmpty()) args << "--address=" + listen;
        process_.setArguments(args);
        process_.start();
        if (!process_.waitForStarted(kStartMs)) return false;
        if (!waitUntil([&] { return process_.canReadLine(); }, kStartMs)) return false;
        address_ = QString::fromUtf8(process_.readLine()).trimmed();
        name_ = address_ + QString::number(++generation_);
        connection_ = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address_, name_));
        return connection_->isConnected();
    }
    void stop() {
        if (connection_) QDBusConnection::disconnectFromBus(name_);
        connection_.reset();
        process_.terminate();
        process_.waitForFinished(5000);
    }
    ~PrivateBus() { stop(); }
    const QString& address() const { return address_; }
    QDBusConnection& connection() { return *connection_; }

private:
    QProcess process_;
    QString address_, name_;
    int generation_ = 0;
    std::unique_ptr<QDBusConnection> connection_;
};

}  // namespace plinthora::mediatest
