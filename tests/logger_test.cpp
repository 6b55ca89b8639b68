#include "app/logger.h"
#include "support/log_file.h"

#include <QFile>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

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

TEST(LoggerFile, UnopenableFileLosesLinesWithoutFailing)
{
    logger log(QStringLiteral("/nonexistent-dir/for/sure/x.log"), QString());
    log.set_level(4);
    log_line(log, 1) << "lost";
    SUCCEED();
}
