#include "logger.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString level_word(int level)
{
    static const char* const words[] = {"Off", "Error", "Warning", "Info", "Debug"};
    if (level >= 0 && level < int(sizeof words / sizeof words[0]))
        return QLatin1String(words[level]);
    return QString::number(level); // no word for it; never index past the table
}

// Standard output is the journal's stream when systemd says so: JOURNAL_STREAM
// holds its device and inode, which a redirection elsewhere would not match.
bool stdout_is_journal()
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    struct stat st;
    if (stream.isEmpty() || ::fstat(STDOUT_FILENO, &st) != 0)
        return false;
    return stream == QByteArray::number(quint64(st.st_dev)) + ':' + QByteArray::number(quint64(st.st_ino));
}

bool is_stdout(const QString& path)
{
    return path == QLatin1String("-");
}

QString error_text(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// One line on standard error, in one write: the log itself may be what failed.
void tell_stderr(const QString& text)
{
    const QByteArray line = text.toLocal8Bit() + '\n';
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line.constData(), size_t(line.size()));
}

// Opens the file for appending (O_APPEND: every write lands at the current
// end, also after a truncation from outside), created when missing.
int open_for_append(const QString& path)
{
    int fd;
    do
        fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// A pipe or socket whose reader went away would raise SIGPIPE, whose default
// ends the process: ignored, the write fails with EPIPE and the line is lost.
void survive_gone_reader(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode))
        std::signal(SIGPIPE, SIG_IGN);
}

// Writes all bytes, after interruptions, short writes and a full non-blocking
// descriptor; false with errno on any other failure.
bool write_all(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n >= 0) {
            data += n;
            size -= size_t(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd wait = {fd, POLLOUT, 0};
            ::poll(&wait, 1, -1);
        } else if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

} // namespace

logger::logger(const QString& path, const QString& name)
    : m_path(path), m_name(name)
{
    if (path.isEmpty())
        return; // a logger that writes nowhere
    if (is_stdout(path)) {
        m_fd = STDOUT_FILENO;
        m_journal = stdout_is_journal();
    } else {
        m_fd = open_for_append(path);
        if (m_fd < 0) {
            const int error = errno;
            tell_stderr(QStringLiteral("cannot open the log file %1: %2; its lines are lost until it can be opened")
                            .arg(path, error_text(error)));
            return;
        }
    }
    survive_gone_reader(m_fd);
}

logger::~logger()
{
    if (m_fd > STDERR_FILENO)
        ::close(m_fd);
}

bool logger::reopen()
{
    if (m_path.isEmpty() || is_stdout(m_path))
        return true;
    const int fd = open_for_append(m_path);
    if (fd < 0) {
        const int error = errno;
        bool kept;
        {
            QMutexLocker lock(&m_mutex);
            kept = m_fd >= 0;
        }
        const QString reason = QStringLiteral("cannot open the log file %1 again: %2; %3")
                                   .arg(m_path, error_text(error),
                                        kept ? QStringLiteral("lines go on to the file opened before")
                                             : QStringLiteral("its lines are lost until it can be opened"));
        tell_stderr(reason);
        log_line(*this, 1) << reason;
        return false;
    }
    survive_gone_reader(fd);
    QMutexLocker lock(&m_mutex);
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
    m_write_failed = false;
    return true;
}

void logger::set_level(int level)
{
    QMutexLocker lock(&m_mutex);
    m_level.store(level, std::memory_order_relaxed);
}

void logger::write(int level, const QString& text)
{
    QString line = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss,zzz"));
    if (level != 3) {
        line += QLatin1String("0x") + QString::number(reinterpret_cast<quintptr>(QThread::currentThreadId()), 16)
                + QLatin1Char(' ') + level_word(level);
    }
    line += QLatin1Char(' ') + text + QLatin1String("\r\n");
    QByteArray bytes = line.toLocal8Bit(); // the encoding a text stream on the file would use
    if (m_journal) {
        // journald takes a leading <N> as the line's priority (and drops it):
        // 3 err, 4 warning, 6 info, 7 debug.
        static const char* const priority[] = {"<6>", "<3>", "<4>", "<6>", "<7>"};
        bytes.prepend(priority[level >= 0 && level <= 4 ? level : 0]);
    }

    QMutexLocker lock(&m_mutex);
    if (m_fd < 0)
        return;
    if (write_all(m_fd, bytes.constData(), size_t(bytes.size()))) {
        m_write_failed = false;
    } else if (!m_write_failed) {
        const int error = errno;
        m_write_failed = true;
        tell_stderr(QStringLiteral("cannot write to the log %1: %2; lines are lost until a write succeeds")
                        .arg(is_stdout(m_path) ? QStringLiteral("on standard output") : m_path, error_text(error)));
    }
}

QString log_path_problem(const QString& path)
{
    if (path.isEmpty())
        return QStringLiteral("names no file");
    if (is_stdout(path))
        return QString();
    const QByteArray name = QFile::encodeName(path);
    struct stat st;
    if (::stat(name.constData(), &st) != 0) {
        if (errno != ENOENT)
            return QStringLiteral("cannot be opened for appending: ") + error_text(errno);
        // Missing: a start creates it, which takes a directory this process may write to.
        const QString dir = QFileInfo(path).absolutePath();
        if (::access(QFile::encodeName(dir).constData(), W_OK | X_OK) != 0)
            return QStringLiteral("cannot be created in %1: %2").arg(dir, error_text(errno));
        return QString();
    }
    if (S_ISFIFO(st.st_mode)) {
        // Opening a pipe for writing waits for a reader; a start may have one.
        if (::access(name.constData(), W_OK) != 0)
            return QStringLiteral("cannot be opened for appending: ") + error_text(errno);
        return QString();
    }
    // Opened the way a start opens it, without creating anything. That finds
    // what access() does not: a directory, a read-only mount, /dev/stdout on a socket.
    const int fd = ::open(name.constData(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return QStringLiteral("cannot be opened for appending: ") + error_text(errno);
    ::close(fd);
    return QString();
}

log_line::log_line(logger& target, int level)
    : m_target(target), m_level(level), m_active(target.admits(level))
{
    if (m_active) {
        m_text = target.m_name;
        m_text += QLatin1String(": ");
    }
}

log_line::~log_line()
{
    if (m_active && m_target.admits(m_level))
        m_target.write(m_level, m_text);
}
