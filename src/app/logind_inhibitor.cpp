#include "app/logind_inhibitor.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QString>

#include <atomic>

#include "platform/os/log.h"

namespace pv::app {
namespace {

std::atomic<int> connectionCount{0};

void logNotTaken(const QString& reason) {
    os::log("no sleep inhibitor taken: %s; the computer may sleep during the download",
            qUtf8Printable(reason));
}

QString describe(const QDBusError& error, const char* fallback) {
    if (!error.isValid())
        return QString::fromLatin1(fallback);
    return error.name() + QStringLiteral(": ") + error.message();
}

}  // namespace

LogindInhibitor::LogindInhibitor(std::string who, int callTimeoutMs)
    : who_(who.empty() ? std::string(os::logProgramName()) : std::move(who)),
      callTimeoutMs_(callTimeoutMs) {}

LogindInhibitor::~LogindInhibitor() {
    release();
}

bool LogindInhibitor::acquire() {
    if (fd_ >= 0)
        return true;
    const QString name = QStringLiteral("pv4410s-inhibit-%1").arg(++connectionCount);
    int fd = -1;
    {
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SystemBus, name);
        if (!bus.isConnected()) {
            logNotTaken(QStringLiteral("no system bus (") +
                        describe(bus.lastError(), "cannot connect") + QStringLiteral(")"));
        } else if (!(bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing)) {
            logNotTaken(QStringLiteral("the system bus cannot pass file descriptors"));
        } else {
            QDBusMessage call = QDBusMessage::createMethodCall(
                QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
            call << QString::fromLatin1(kInhibitWhat) << QString::fromStdString(who_)
                 << QString::fromLatin1(kInhibitWhy) << QStringLiteral("block");
            const QDBusMessage reply = bus.call(call, QDBus::Block, callTimeoutMs_);
            if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) {
                logNotTaken(describe(
                    reply.type() == QDBusMessage::ErrorMessage ? QDBusError(reply) : QDBusError(),
                    "logind gave no answer"));
            } else {
                const auto lock = reply.arguments().at(0).value<QDBusUnixFileDescriptor>();
                // Our own copy; the message's copies close when it goes.
                if (lock.isValid())
                    fd = ::fcntl(lock.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
                if (fd < 0)
                    logNotTaken(QStringLiteral("logind's answer held no file descriptor"));
            }
        }
    }
    QDBusConnection::disconnectFromBus(name);
    fd_ = fd;
    if (fd_ >= 0)
        os::trace("sleep inhibitor taken (%s, fd %d)", kInhibitWhat, fd_);
    return fd_ >= 0;
}

void LogindInhibitor::release() {
    if (fd_ < 0)
        return;
    ::close(fd_);
    os::trace("sleep inhibitor released (fd %d)", fd_);
    fd_ = -1;
}

}  // namespace pv::app
