#include "test_broker.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSettings>

#include <gtest/gtest.h>

#include "wait.h"

namespace {

// Waits for the process while the event loop goes on, so that the code under
// test keeps working (consuming, publishing, heartbeats) meanwhile.
bool finish(QProcess& p, int timeoutMs)
{
    return waitFor([&] { return p.state() == QProcess::NotRunning; }, timeoutMs) && p.exitStatus() == QProcess::NormalExit
           && p.exitCode() == 0;
}

} // namespace

const TestBroker& TestBroker::instance()
{
    static const TestBroker broker(qEnvironmentVariable("SHARDEX_TEST_BROKER_DIR"));
    return broker;
}

TestBroker::TestBroker(const QString& dir) : m_dir(dir)
{
    if (m_dir.isEmpty())
        return;
    QFile env(m_dir + QStringLiteral("/broker.env"));
    if (!env.open(QIODevice::ReadOnly))
        return;
    for (const QByteArray& line : env.readAll().split('\n')) {
        if (line.startsWith("AMQP_PORT="))
            m_port = quint16(line.mid(10).trimmed().toUInt());
        if (line.startsWith("AMQPS_PORT="))
            m_tlsPort = quint16(line.mid(11).trimmed().toUInt());
    }
}

QString TestBroker::url(const QString& user, const QString& password) const
{
    // One pass: a percent-encoded password ("%2F") holds what QString::arg takes for placeholders.
    return QStringLiteral("amqp://%1:%2@127.0.0.1:%3/").arg(user, password, QString::number(m_port));
}

QString TestBroker::ctl(const QStringList& args, bool* ok) const
{
    QProcess p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
    p.start(QStringLiteral("bash"), QStringList{QStringLiteral(SHARDEX_TEST_BROKER_SCRIPT), QStringLiteral("ctl"), m_dir}
                                        + args + QStringList{QStringLiteral("-q")});
    const bool done = finish(p, 60000);
    if (ok)
        *ok = done;
    if (!done) {
        ADD_FAILURE() << "rabbitmqctl " << args.join(QLatin1Char(' ')).toStdString() << " failed: "
                      << p.readAllStandardError().toStdString();
        return QString();
    }
    return QString::fromUtf8(p.readAllStandardOutput());
}

QJsonArray TestBroker::ctlJson(const QStringList& args) const
{
    const QString out = ctl(args + QStringList{QStringLiteral("--formatter"), QStringLiteral("json")});
    return QJsonDocument::fromJson(out.toUtf8()).array();
}

TestVhost::TestVhost(const QString& label)
{
    static QAtomicInt counter;
    m_name = QStringLiteral("%1-%2-%3").arg(label).arg(QCoreApplication::applicationPid()).arg(counter.fetchAndAddRelaxed(1));
    const TestBroker& b = TestBroker::instance();
    b.ctl({QStringLiteral("add_vhost"), m_name});
    b.ctl({QStringLiteral("set_permissions"), QStringLiteral("-p"), m_name, QStringLiteral("guest"), QStringLiteral(".*"),
           QStringLiteral(".*"), QStringLiteral(".*")});
}

TestVhost::~TestVhost()
{
    TestBroker::instance().ctl({QStringLiteral("delete_vhost"), m_name});
}

QJsonObject TestVhost::queue(const QString& queueName) const
{
    const QJsonArray rows = TestBroker::instance().ctlJson(
        {QStringLiteral("list_queues"), QStringLiteral("-p"), m_name, QStringLiteral("name"), QStringLiteral("durable"),
         QStringLiteral("auto_delete"), QStringLiteral("exclusive"), QStringLiteral("messages_ready"),
         QStringLiteral("messages_unacknowledged"), QStringLiteral("consumers")});
    for (const QJsonValue& row : rows) {
        if (row.toObject().value(QStringLiteral("name")).toString() == queueName)
            return row.toObject();
    }
    return QJsonObject();
}

QJsonArray TestVhost::connections() const
{
    const QJsonArray rows = TestBroker::instance().ctlJson({QStringLiteral("list_connections"), QStringLiteral("name"),
                                                            QStringLiteral("vhost"), QStringLiteral("client_properties")});
    QJsonArray out;
    for (const QJsonValue& row : rows) {
        if (row.toObject().value(QStringLiteral("vhost")).toString() == m_name)
            out.append(row);
    }
    return out;
}

int TestVhost::closeConnections(const QString& reason) const
{
    const int count = connections().size();
    if (count > 0)
        TestBroker::instance().ctl({QStringLiteral("close_all_connections"), QStringLiteral("--vhost"), m_name, reason});
    return count;
}

int TestVhost::closeConnectionsNamed(const QString& fragment) const
{
    // The tab-separated listing: its pids are the ones close_connection takes.
    const QString rows = TestBroker::instance().ctl(
        {QStringLiteral("list_connections"), QStringLiteral("pid"), QStringLiteral("vhost"), QStringLiteral("client_properties")});
    int count = 0;
    for (const QString& row : rows.split(QLatin1Char('\n'))) {
        const QStringList fields = row.split(QLatin1Char('\t'));
        // connection_name is one of the client properties.
        if (fields.size() < 3 || !fields[0].startsWith(QLatin1Char('<')) || fields[1] != m_name || !fields[2].contains(fragment))
            continue;
        TestBroker::instance().ctl({QStringLiteral("close_connection"), fields[0], QStringLiteral("closed by the test")});
        ++count;
    }
    return count;
}

QJsonObject peerOp(const QString& name, std::initializer_list<QPair<QString, QJsonValue>> fields)
{
    QJsonObject o{{QStringLiteral("op"), name}};
    for (const auto& f : fields)
        o.insert(f.first, f.second);
    return o;
}

QJsonObject peerPublish(const QString& exchange, const QString& key, const QList<QByteArray>& bodies)
{
    QJsonArray hex;
    for (const QByteArray& b : bodies)
        hex.append(QString::fromLatin1(b.toHex()));
    return peerOp(QStringLiteral("publish"),
                  {{QStringLiteral("exchange"), exchange}, {QStringLiteral("key"), key}, {QStringLiteral("bodies_hex"), hex}});
}

QByteArray peerBody(const QJsonValue& message)
{
    return QByteArray::fromHex(message.toObject().value(QStringLiteral("body_hex")).toString().toLatin1());
}

QJsonArray runPeer(const QString& vhost, const QJsonArray& ops)
{
    QJsonObject request;
    request.insert(QStringLiteral("port"), TestBroker::instance().port());
    request.insert(QStringLiteral("vhost"), vhost);
    request.insert(QStringLiteral("ops"), ops);
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(SHARDEX_TEST_PEER_SCRIPT)});
    p.write(QJsonDocument(request).toJson(QJsonDocument::Compact));
    p.closeWriteChannel();
    if (!finish(p, 120000)) {
        ADD_FAILURE() << "amqp_peer.py failed: " << p.readAllStandardError().toStdString();
        return QJsonArray();
    }
    return QJsonDocument::fromJson(p.readAllStandardOutput()).array();
}
