#include "app/service_notifier.h"

#include "support/log_file.h"
#include "support/wait.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A datagram socket standing in for systemd's notify socket; NOTIFY_SOCKET
// names it (and the watchdog variables are set as given) while it lives.
class NotifySocket {
public:
    explicit NotifySocket(const QByteArray& watchdogUsec = QByteArray(), const QByteArray& watchdogPid = QByteArray())
    {
        m_path = m_dir.filePath(QStringLiteral("notify")).toUtf8();
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, m_path.constData(), sizeof address.sun_path);
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        qputenv("NOTIFY_SOCKET", m_path);
        if (!watchdogUsec.isEmpty()) {
            qputenv("WATCHDOG_USEC", watchdogUsec);
            qputenv("WATCHDOG_PID", watchdogPid.isEmpty() ? QByteArray::number(::getpid()) : watchdogPid);
        }
    }
    ~NotifySocket()
    {
        ::close(m_fd);
        for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"})
            qunsetenv(name);
    }

    // The messages received so far, oldest first.
    QList<QByteArray> messages()
    {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(m_fd, buffer, sizeof buffer, 0)) > 0;)
            m_messages << QByteArray(buffer, int(n));
        return m_messages;
    }

private:
    QTemporaryDir m_dir;
    QByteArray m_path;
    int m_fd = -1;
    QList<QByteArray> m_messages;
};

} // namespace

TEST(ServiceNotifier, StartReloadAndStopAreAnnouncedAndTheStatusOnlyWhenItChanges)
{
    NotifySocket socket;
    LogFile log;
    QString status = QStringLiteral("consuming in\n; READY=1");
    ServiceNotifier notifier(log.log(), [&] { return status; });
    EXPECT_TRUE(notifier.enabled());
    EXPECT_EQ(notifier.watchdogInterval(), 0) << "no WatchdogSec";

    notifier.ready();
    notifier.refreshStatus(); // unchanged: nothing sent
    status = QStringLiteral("receiver disconnected");
    notifier.refreshStatus();
    notifier.reloading();
    notifier.ready();
    notifier.stopping();

    const QList<QByteArray> sent = socket.messages();
    ASSERT_EQ(sent.size(), 5) << QByteArrayList(sent).join('|').toStdString();
    EXPECT_EQ(sent[0], "READY=1\nSTATUS=consuming in ; READY=1") << "a line break cannot start a field";
    EXPECT_EQ(sent[1], "STATUS=receiver disconnected");
    EXPECT_TRUE(sent[2].startsWith("RELOADING=1\nMONOTONIC_USEC=")) << sent[2].toStdString();
    EXPECT_TRUE(sent[2].endsWith("\nSTATUS=reloading the settings")) << sent[2].toStdString();
    EXPECT_EQ(sent[3], "READY=1\nSTATUS=receiver disconnected") << "after a reload the status is sent again";
    EXPECT_TRUE(sent[4].startsWith("STOPPING=1\nSTATUS=stopping")) << sent[4].toStdString();
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST(ServiceNotifier, WatchdogKeepAliveGoesOutAtHalfTheTimeoutOnlyForThisProcess)
{
    {
        NotifySocket socket("200000");
        LogFile log;
        ServiceNotifier notifier(log.log(), [] { return QString(); });
        EXPECT_EQ(notifier.watchdogInterval(), 100);
        EXPECT_TRUE(waitFor([&] { return socket.messages().count("WATCHDOG=1") >= 2; }, 2000));
    }
    {
        // Meant for another process (WATCHDOG_PID): this one sends no keep-alive.
        NotifySocket socket("200000", QByteArray::number(::getpid() + 1));
        LogFile log;
        EXPECT_EQ(ServiceNotifier(log.log(), [] { return QString(); }).watchdogInterval(), 0);
    }
    {
        NotifySocket socket("soon");
        LogFile log;
        EXPECT_EQ(ServiceNotifier(log.log(), [] { return QString(); }).watchdogInterval(), 0);
        EXPECT_EQ(log.grep(QStringLiteral("Warning : systemd watchdog: WATCHDOG_USEC cannot be used")).size(), 1);
    }
}

TEST(ServiceNotifier, AnUnreachableSocketIsLoggedOnceAndNeverStopsTheService)
{
    LogFile log;
    qputenv("NOTIFY_SOCKET", "/nonexistent/notify");
    {
        ServiceNotifier notifier(log.log(), [] { return QStringLiteral("s"); });
        notifier.ready();
        notifier.reloading();
        notifier.ready();
    }
    qunsetenv("NOTIFY_SOCKET");
    EXPECT_EQ(log.grep(QStringLiteral("Warning : systemd notification failed: No such file or directory")).size(), 1)
        << log.lines().join(QLatin1Char('\n')).toStdString();
}

TEST(ServiceNotifier, StatusLineNamesEachSideAndCountsWhatWasRouted)
{
    RouterState state;
    RouterMetrics metrics;
    state.receiver_up = state.publisher_up = true;
    metrics.acknowledged = 1234567;
    metrics.dropped_binary = 7; // acknowledged, but not routed
    EXPECT_EQ(service_status(state, metrics, QStringLiteral("in")),
              QStringLiteral("connected, not consuming in; publisher connected; 1,234,560 routed"));
    state.consuming = state.publisher_blocked = true;
    EXPECT_EQ(service_status(state, metrics, QStringLiteral("devices.in")),
              QStringLiteral("consuming devices.in; publisher blocked by the broker; 1,234,560 routed"));
    metrics.reload_success = false;
    EXPECT_TRUE(service_status(state, metrics, QStringLiteral("in"))
                    .startsWith(QStringLiteral("settings refused, the previous ones in use; consuming in")));
}
