// Rotation as logrotate does it without copytruncate: the log renamed away,
// then SIGUSR1 to the writer, which opens the file at the path again.
#include "support/free_port.h"
#include "support/log_file.h"
#include "support/wait.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <csignal>

namespace {

// The log moved away to PATH.n; the new name, empty when the rename failed.
QString rotate(const QString& path, int n)
{
    const QString to = path + QLatin1Char('.') + QString::number(n);
    return QFile::rename(path, to) ? to : QString();
}

} // namespace

TEST(LogRotation, RenamedAwayEveryThirdOfASecondEachLineLandsInExactlyOneFileInOrder)
{
    const int count = 20000;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("w.log"));
    QProcess writer;
    writer.start(QStringLiteral(LOG_ROTATION_WRITER), {path, QString::number(count), QStringLiteral("4")});
    const auto running = [&] { return writer.state() != QProcess::NotRunning; };

    // Each rotation waits for the file the previous one made the writer open.
    QStringList files;
    while (waitFor([&] { return QFile::exists(path) || !running(); }, 5000) && running()) {
        if (waitFor([&] { return !running(); }, 300))
            break;
        files << rotate(path, files.size() + 1);
        ASSERT_FALSE(files.last().isEmpty());
        ::kill(pid_t(writer.processId()), SIGUSR1);
    }
    ASSERT_FALSE(running()) << "no file at the log path after rotation " << files.size();
    ASSERT_EQ(writer.exitStatus(), QProcess::NormalExit) << writer.readAllStandardError().toStdString();
    ASSERT_EQ(writer.exitCode(), 0);
    EXPECT_GE(files.size(), 10);

    // In rotation order and then the file at the path, the lines are 1..count:
    // each file a run that the next one continues.
    const QRegularExpression entry(QStringLiteral(R"(^[-0-9: ,]{23}0x[0-9a-f]+ Error : line (\d+)$)"));
    files << path;
    int expected = 1;
    for (const QString& file : files) {
        for (const QString& line : log_file_lines(file)) {
            const QRegularExpressionMatch m = entry.match(line);
            ASSERT_TRUE(m.hasMatch()) << file.toStdString() << ": " << line.toStdString();
            ASSERT_EQ(m.captured(1).toInt(), expected++) << file.toStdString();
        }
    }
    EXPECT_EQ(expected, count + 1);
}

TEST(LogRotation, ShardexTakesSigusr1AsReopenAndKeepsRunning)
{
    QTemporaryDir dir;
    const QString settings = dir.filePath(QStringLiteral("shardex.ini"));
    const QString log = dir.filePath(QStringLiteral("shardex.log"));
    QFile f(settings);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    const QString url = QStringLiteral("amqp://u:p@127.0.0.1:%1/").arg(freePort()); // no broker: it keeps trying
    f.write(QStringLiteral("[receiver]\npath=%1\n[publisher]\npath=%1\nrouting_key_prefix=p\n").arg(url).toUtf8());
    f.close();

    QProcess shardex;
    shardex.start(QStringLiteral(SHARDEX_BINARY), {QStringLiteral("-c"), settings, QStringLiteral("-l"), log});
    ASSERT_TRUE(waitFor([&] { return !log_file_lines(log).filter(QStringLiteral("###START###")).isEmpty(); }));
    const QString rotated = rotate(log, 1);
    ASSERT_FALSE(rotated.isEmpty());
    ::kill(pid_t(shardex.processId()), SIGUSR1);
    waitFor([&] { return QFile::exists(log) || shardex.state() != QProcess::Running; });
    ASSERT_EQ(shardex.state(), QProcess::Running) << shardex.readAllStandardError().toStdString();
    ASSERT_TRUE(QFile::exists(log)) << "no file at the log path after the rotation";

    ::kill(pid_t(shardex.processId()), SIGTERM);
    ASSERT_TRUE(waitFor([&] { return shardex.state() == QProcess::NotRunning; }));
    EXPECT_EQ(shardex.exitCode(), 0);
    EXPECT_EQ(log_file_lines(log).filter(QStringLiteral("Shardex has been stopped...")).size(), 1);
    EXPECT_TRUE(log_file_lines(rotated).filter(QStringLiteral("stopped")).isEmpty());
}
