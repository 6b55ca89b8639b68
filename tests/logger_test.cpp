#include "app/logger.h"
#include "support/log_file.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString stamp = QStringLiteral(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3})");

QString thread_id()
{
    return QStringLiteral("0x") + QString::number(reinterpret_cast<quintptr>(QThread::currentThreadId()), 16);
}

bool matches(const QString& pattern, const QString& text)
{
    return QRegularExpression(QStringLiteral("^") + pattern + QStringLiteral("$")).match(text).hasMatch();
}

// Counts how often the log converts it to text.
struct Probe {
    static int conversions;
};
int Probe::conversions = 0;
QTextStream& operator<<(QTextStream& s, const Probe&)
{
    ++Probe::conversions;
    return s << "probe";
}

// Points standard output or error at a fresh pipe or socket while it lives;
// taken() reads what was written there so far.
class Redirect {
public:
    Redirect(int fd, bool socket) : m_fd(fd), m_saved(::dup(fd))
    {
        int ends[2];
        EXPECT_EQ(socket ? ::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) : ::pipe(ends), 0);
        std::fflush(nullptr);
        ::dup2(ends[1], fd);
        ::close(ends[1]);
        m_read = ends[0];
        ::fcntl(m_read, F_SETFL, O_NONBLOCK);
    }
    ~Redirect()
    {
        ::dup2(m_saved, m_fd);
        ::close(m_saved);
        ::close(m_read);
    }
    QByteArray taken()
    {
        char buffer[4096];
        const ssize_t n = ::read(m_read, buffer, sizeof buffer);
        return QByteArray(buffer, int(std::max<ssize_t>(n, 0)));
    }

private:
    int m_fd, m_saved, m_read;
};

} // namespace

TEST(LoggerLayout, InfoLinesCarryNeitherThreadNorLevelWord)
{
    LogFile file(3, QStringLiteral("svc"));
    log_line(file.log(), 3) << "###START### version: " << "1.6.1-14~jammy";
    const QByteArray raw = file.raw();
    ASSERT_TRUE(raw.endsWith("\r\n"));
    const QStringList lines = file.lines();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(matches(stamp + QStringLiteral(" svc: ###START### version: 1\\.6\\.1-14~jammy"), lines[0]))
        << lines[0].toStdString();
}

TEST(LoggerLayout, OtherLevelsGlueThreadIdToMillisecondsAndNameTheLevel)
{
    LogFile file(4);
    log_line(file.log(), 1) << "Shardex has been stopped...";
    log_line(file.log(), 2) << "careful";
    log_line(file.log(), 4) << "detail";
    log_line(file.log(), 0) << "always";
    const QStringList lines = file.lines();
    ASSERT_EQ(lines.size(), 4);
    const QString tid = QRegularExpression::escape(thread_id());
    EXPECT_TRUE(matches(stamp + tid + QStringLiteral(" Error : Shardex has been stopped\\.\\.\\."), lines[0]))
        << lines[0].toStdString();
    EXPECT_TRUE(matches(stamp + tid + QStringLiteral(" Warning : careful"), lines[1])) << lines[1].toStdString();
    EXPECT_TRUE(matches(stamp + tid + QStringLiteral(" Debug : detail"), lines[2])) << lines[2].toStdString();
    EXPECT_TRUE(matches(stamp + tid + QStringLiteral(" Off : always"), lines[3])) << lines[3].toStdString();
}

TEST(LoggerLayout, LineWithoutValuesHoldsOnlyTheName)
{
    LogFile file(3, QStringLiteral("n"));
    { log_line line(file.log(), 3); }
    { log_line line(file.log(), 1); }
    const QStringList lines = file.lines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(matches(stamp + QStringLiteral(" n: "), lines[0]));
    EXPECT_TRUE(matches(stamp + QStringLiteral("0x[0-9a-f]+ Error n: "), lines[1]));
}

TEST(LoggerValues, EachValueIsConvertedByAFreshStream)
{
    LogFile file(3);
    log_line(file.log(), 3) << Qt::hex << 255 << " " << quint64(18446744073709551615ULL) << " " << -7
                            << " " << QByteArray("caf\xc3\xa9");
    const QStringList lines = file.lines();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral(": 255 18446744073709551615 -7 caf\u00e9"))) << lines[0].toStdString();
}

TEST(LoggerFiltering, LinesAboveTheLevelAreNeitherBuiltNorWritten)
{
    LogFile file(3);
    Probe::conversions = 0;
    log_line(file.log(), 4) << "hidden " << Probe();
    EXPECT_EQ(Probe::conversions, 0);
    EXPECT_TRUE(file.raw().isEmpty());

    log_line(file.log(), 3) << Probe();
    EXPECT_EQ(Probe::conversions, 1);
    EXPECT_EQ(file.lines().size(), 1);

    file.log().set_level(0);
    log_line(file.log(), 1) << "error while off";
    EXPECT_EQ(file.lines().size(), 1);
}

TEST(LoggerFile, AppendsToAnExistingFileAndSurvivesTruncationFromOutside)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("x.log"));
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("earlier line\r\n");
    }
    logger log(path, QString());
    log.set_level(3);
    log_line(log, 3) << "first";

    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    QByteArray content = f.readAll();
    EXPECT_TRUE(content.startsWith("earlier line\r\n"));
    EXPECT_TRUE(content.endsWith(": first\r\n"));
    f.close();

    // What logrotate copytruncate does: the next line must start at offset 0,
    // not leave a hole of zero bytes where the old content was.
    ASSERT_TRUE(QFile::resize(path, 0));
    log_line(log, 3) << "second";
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    content = f.readAll();
    EXPECT_FALSE(content.contains('\0'));
    EXPECT_TRUE(content.endsWith(": second\r\n"));
    EXPECT_EQ(content.count('\n'), 1);
}

TEST(LoggerFile, AFileThatCannotBeOpenedIsNamedOnStandardErrorAndAFailedReopenKeepsTheOldFile)
{
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("sub")));
    const QString path = dir.filePath(QStringLiteral("sub/x.log"));
    logger log(path, QString());
    log.set_level(3);
    ASSERT_TRUE(QDir(dir.path()).rename(QStringLiteral("sub"), QStringLiteral("gone")));
    QByteArray said;
    {
        Redirect err(STDERR_FILENO, false);
        logger lost(path, QString());
        EXPECT_FALSE(log.reopen());
        log_line(log, 3) << "still here";
        said = err.taken();
    }
    EXPECT_EQ(said, "cannot open the log file " + path.toUtf8()
                        + ": No such file or directory; its lines are lost until it can be opened\ncannot open the "
                          "log file " + path.toUtf8()
                        + " again: No such file or directory; lines go on to the file opened before\n");
    QFile f(dir.filePath(QStringLiteral("gone/x.log")));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray kept = f.readAll();
    EXPECT_TRUE(kept.contains(" Error : cannot open the log file ")) << kept.toStdString();
    EXPECT_TRUE(kept.endsWith(" : still here\r\n")) << kept.toStdString();
}

TEST(LoggerStdout, DashWritesEachLineToStandardOutputAtOnceAlsoWhereDevStdoutCannotBeOpened)
{
    // "-" is standard output, as journald and container runtimes give it.
    // Where standard output is the journal's stream, each line carries its
    // priority for journald (which drops it): journalctl -p err finds the Errors.
    const struct {
        bool socket;
        bool devStdoutOpens; // what -l /dev/stdout finds there
        bool journal;
    } rows[] = {{true, false, false}, {false, true, false}, {true, false, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.socket ? "socket" : "pipe");
        QByteArray first, second;
        QString devStdout;
        {
            Redirect out(STDOUT_FILENO, row.socket);
            struct stat st;
            ::fstat(STDOUT_FILENO, &st);
            if (row.journal)
                qputenv("JOURNAL_STREAM", QByteArray::number(quint64(st.st_dev)) + ':' + QByteArray::number(quint64(st.st_ino)));
            else
                qputenv("JOURNAL_STREAM", "1:1"); // another stream: a redirection
            logger log(QStringLiteral("-"), QStringLiteral("svc"));
            log.set_level(3);
            log_line(log, 3) << "one";
            first = out.taken();
            log_line(log, 1) << "two";
            second = out.taken();
            devStdout = log_path_problem(QStringLiteral("/dev/stdout"));
        }
        qunsetenv("JOURNAL_STREAM");
        const QString info = row.journal ? QStringLiteral("<6>") : QString();
        const QString error = row.journal ? QStringLiteral("<3>") : QString();
        EXPECT_TRUE(matches(info + stamp + QStringLiteral(" svc: one\r\n"), QString::fromUtf8(first))) << first.toStdString();
        EXPECT_TRUE(matches(error + stamp + QStringLiteral("0x[0-9a-f]+ Error svc: two\r\n"), QString::fromUtf8(second)))
            << second.toStdString();
        EXPECT_EQ(devStdout.isEmpty(), row.devStdoutOpens) << devStdout.toStdString();
    }
}

TEST(LoggerPathProblem, NamesWhatAStartWouldFailOnAndCreatesNothing)
{
    QTemporaryDir dir;
    const QString existing = dir.filePath(QStringLiteral("existing.log"));
    ASSERT_TRUE(QFile(existing).open(QIODevice::WriteOnly));
    const struct {
        QString path;
        QString problem; // empty: a start can write there
    } rows[] = {
        {QStringLiteral("-"), QString()},
        {existing, QString()},
        {dir.filePath(QStringLiteral("new.log")), QString()},
        {dir.filePath(QStringLiteral("missing/x.log")),
         QStringLiteral("cannot be created in ") + dir.filePath(QStringLiteral("missing"))
             + QStringLiteral(": No such file or directory")},
        {dir.path(), QStringLiteral("cannot be opened for appending: Is a directory")},
        {existing + QStringLiteral("/x.log"), QStringLiteral("cannot be opened for appending: Not a directory")},
        {QString(), QStringLiteral("names no file")},
    };
    for (const auto& row : rows)
        EXPECT_EQ(log_path_problem(row.path), row.problem) << row.path.toStdString();
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("new.log"))));
}
