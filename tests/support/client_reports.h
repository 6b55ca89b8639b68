#pragma once

#include <QByteArray>
#include <QObject>
#include <QStringList>

#include <string>

class QAmqpChannel;
class QAmqpClient;

// What AMQP clients and channels report through their signals, one line per
// report, for the tests of a layer that writes no log itself:
//   "connect failed (CODE): TEXT", "disconnected (CODE): TEXT",
//   "blocked: REASON", "unblocked", "channel NAME (CODE): TEXT".
class ClientReports : public QObject {
public:
    void watch(QAmqpClient& client);
    void watch(QAmqpChannel* channel);

    QStringList lines() const { return m_lines; }
    // The lines that contain the fragment.
    QStringList grep(const QString& fragment) const { return m_lines.filter(fragment); }
    // All lines, for failure messages.
    std::string text() const { return m_lines.join(QLatin1Char('\n')).toStdString(); }

private:
    QStringList m_lines;
};
