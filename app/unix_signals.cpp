#include "unix_signals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <csignal>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int pipe_fds[2] = {-1, -1}; // [0] read by the event loop, [1] written by the handler
const int handled[] = {SIGTERM, SIGINT, SIGHUP, SIGUSR1};

void on_signal(int signal)
{
    const int saved = errno; // the interrupted code may be reading errno
    const char number = char(signal);
    // Non-blocking: with the pipe full, the event loop has signals to read anyway.
    [[maybe_unused]] const ssize_t written = ::write(pipe_fds[1], &number, 1);
    errno = saved;
}

} // namespace

UnixSignals::UnixSignals(QObject* parent) : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pipe_fds) != 0)
        qFatal("cannot create the socket pair for signals: %s", strerror(errno));
    m_notifier = new QSocketNotifier(pipe_fds[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UnixSignals::readPending);

    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : handled)
        ::sigaction(signal, &action, nullptr);
}

UnixSignals::~UnixSignals()
{
    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    for (int signal : handled) {
        // A log reopen asked for while the process ends (logrotate does not
        // know) must not turn a clean exit into a death by signal.
        action.sa_handler = signal == SIGUSR1 ? SIG_IGN : SIG_DFL;
        ::sigaction(signal, &action, nullptr);
    }
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    pipe_fds[0] = pipe_fds[1] = -1;
}

void UnixSignals::readPending()
{
    char numbers[16];
    for (;;) {
        const ssize_t n = ::read(pipe_fds[0], numbers, sizeof numbers);
        if (n <= 0)
            return;
        for (ssize_t i = 0; i < n; ++i)
            emit received(numbers[i]);
    }
}
