// Broker-wide events: a memory alarm that blocks publishers, and a broker
// restart, met by the AMQP client and by the router. They change the shared
// test broker, so these tests run alone.
#include "amqp/qamqpclient.h"
#include "amqp/qamqpexchange.h"
#include "config/rabbit_config.h"
#include "router/rabbit_connector.h"
#include "support/log_file.h"
#include "support/client_reports.h"
#include "support/test_broker.h"
#include "support/wait.h"

#include <QFile>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class AmqpBrokerEventsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(TestBroker::instance().available()) << "no test broker";
        reports.watch(client);
        client.setAutoReconnect(true, 300);
        client.connectToHost(TestBroker::instance().url());
        client.setVirtualHost(vhost.name());
        ASSERT_TRUE(waitFor([&] { return client.isConnected(); })) << reports.text();
    }
    const TestBroker& broker = TestBroker::instance();
    ClientReports reports;
    TestVhost vhost{QStringLiteral("events")};
    QAmqpClient client;
};

// Settings for a router from queue "in" to exchange "shards", shards p0..p3.
QString routerSettings(const QTemporaryDir& dir, const TestVhost& vhost, int mode, int prefetch)
{
    const QString path = dir.filePath(QStringLiteral("shardex.ini"));
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(QStringLiteral("[receiver]\npath=%1\nvhost=%2\nr_que=in\nmode=%3\nprefetch_count=%4\n"
                           "[publisher]\npath=%1\nvhost=%2\nexchange=shards\nrouting_key_prefix=p\nshard_count=4\n")
                .arg(TestBroker::instance().url(), vhost.name())
                .arg(mode)
                .arg(prefetch)
                .toUtf8());
    return path;
}

} // namespace

TEST_F(AmqpBrokerEventsTest, BlockedConnectionIsNotTakenForDead)
{
    client.disconnectFromHost();
    ASSERT_TRUE(waitFor([&] { return !client.isConnected(); }));
    client.setHeartbeatDelay(1);
    client.setWriteTimeout(500);
    client.connectToHost(broker.url());
    ASSERT_TRUE(waitFor([&] { return client.isConnected(); }));
    QAmqpExchange* exchange = client.createExchange(QStringLiteral("amq.fanout"));
    exchange->enableConfirms();
    QSignalSpy blocked(&client, &QAmqpClient::blocked);
    QSignalSpy unblocked(&client, &QAmqpClient::unblocked);
    QSignalSpy confirmed(exchange, &QAmqpExchange::confirmed);
    QSignalSpy down(&client, &QAmqpClient::disconnected);

    broker.ctl({QStringLiteral("set_vm_memory_high_watermark"), QStringLiteral("0.0000001")});
    exchange->publish("held back", QString(), QStringLiteral("text/plain"));
    const bool wasBlocked = waitFor([&] { return blocked.count() == 1; }, 10000);
    spin(wasBlocked ? 3000 : 0); // longer than two heartbeats: a blocked connection is kept
    broker.ctl({QStringLiteral("set_vm_memory_high_watermark"), QStringLiteral("0.4")});
    ASSERT_TRUE(wasBlocked) << reports.text();
    EXPECT_EQ(down.count(), 0) << reports.text();
    ASSERT_TRUE(waitFor([&] { return unblocked.count() == 1 && confirmed.count() == 1; }, 10000))
        << reports.text();
    EXPECT_EQ(reports.grep(QStringLiteral("blocked: ")).size(), 1);
    EXPECT_EQ(reports.grep(QStringLiteral("unblocked")).size(), 1);
}

TEST_F(AmqpBrokerEventsTest, ReconnectsAfterTheBrokerRestarts)
{
    QSignalSpy up(&client, &QAmqpClient::connected);
    QSignalSpy down(&client, &QAmqpClient::disconnected);
    broker.ctl({QStringLiteral("stop_app")});
    ASSERT_TRUE(waitFor([&] { return down.count() == 1; }, 15000));
    // While the broker is away, attempts fail and are logged.
    ASSERT_TRUE(waitFor([&] { return !reports.grep(QStringLiteral("cannot connect to")).isEmpty(); }, 15000))
        << reports.text();
    broker.ctl({QStringLiteral("start_app")});
    ASSERT_TRUE(waitFor([&] { return up.count() == 1 && client.isConnected(); }, 30000)) << reports.text();
    EXPECT_EQ(down.count(), 1);
}

TEST(RouterBrokerEventsTest, ABlockedPublisherPausesRoutingAndALostInputChannelIsNotPublished)
{
    const TestBroker& broker = TestBroker::instance();
    ASSERT_TRUE(broker.available()) << "no test broker";
    TestVhost vhost(QStringLiteral("alarm"));
    // Messages reach "in" by expiring from "staging": that goes on during the
    // memory alarm, which blocks every publishing connection, the tests' too.
    QJsonObject staging = peerOp(QStringLiteral("declare_queue"), {{QStringLiteral("queue"), QStringLiteral("staging")}});
    staging.insert(QStringLiteral("arguments"), QJsonObject{{QStringLiteral("x-message-ttl"), 3000},
                                                            {QStringLiteral("x-dead-letter-exchange"), QString()},
                                                            {QStringLiteral("x-dead-letter-routing-key"), QStringLiteral("in")}});
    QJsonArray ops{peerOp(QStringLiteral("declare_exchange"), {{QStringLiteral("exchange"), QStringLiteral("shards")}}),
                   peerOp(QStringLiteral("declare_queue"), {{QStringLiteral("queue"), QStringLiteral("in")}}), staging};
    for (int i = 0; i < 4; ++i) {
        ops.append(peerOp(QStringLiteral("declare_queue"), {{QStringLiteral("queue"), QStringLiteral("s%1").arg(i)}}));
        ops.append(peerOp(QStringLiteral("bind"), {{QStringLiteral("queue"), QStringLiteral("s%1").arg(i)},
                                               {QStringLiteral("exchange"), QStringLiteral("shards")},
                                               {QStringLiteral("key"), QStringLiteral("p%1").arg(i)}}));
    }
    QList<QByteArray> later;
    for (int i = 1; i <= 5; ++i)
        later.append(QStringLiteral(R"({"modem_id":%1})").arg(i).toUtf8());
    ops.append(peerPublish(QString(), QStringLiteral("in"), {R"({"modem_id":0,"first":1})"}));
    ops.append(peerPublish(QString(), QStringLiteral("staging"), later));
    runPeer(vhost.name(), ops);

    QTemporaryDir dir;
    const QString path = routerSettings(dir, vhost, 0, 10);
    LogFile log{4};
    const auto published = [&] { return log.grep(QStringLiteral(" Debug : Publishing :")).size(); };
    const auto unacked = [&] { return vhost.queue(QStringLiteral("in")).value(QStringLiteral("messages_unacknowledged")).toInt(); };

    broker.ctl({QStringLiteral("set_vm_memory_high_watermark"), QStringLiteral("0.0000001")});
    RabbitConfig settings(path);
    RabbitConnector router(settings, log.log(), nullptr);
    router.setRetryInterval(8000); // time to look between the loss of the input channel and its return
    ASSERT_TRUE(router.StartWorking());
    // The first body is published, and the broker blocks the connection for it.
    const bool blocked = waitFor([&] { return !log.grep(QStringLiteral("the broker blocked the connection")).isEmpty(); }, 15000);
    // The later ones arrive while it is blocked: they wait, unpublished.
    const bool arrived = blocked && waitFor([&] { return unacked() == 6; }, 15000);
    spin(500);
    const int whileBlocked = published();
    // The input connection goes, and with it everything that waits.
    const int closed = arrived ? vhost.closeConnectionsNamed(QStringLiteral("shardex receiver")) : 0;
    const bool lost = closed == 1 && waitFor([&] { return !log.grep(QStringLiteral(" Rabbit_man_ul: Disconnected")).isEmpty(); });
    broker.ctl({QStringLiteral("set_vm_memory_high_watermark"), QStringLiteral("0.4")});
    ASSERT_TRUE(blocked && arrived && lost) << log.raw().toStdString();
    EXPECT_EQ(whileBlocked, 1) << "routing pauses while the broker blocks the publishing connection";
    ASSERT_TRUE(waitFor([&] { return !log.grep(QStringLiteral("the broker unblocked the connection")).isEmpty(); }, 15000));
    spin(1000);
    ASSERT_EQ(log.grep(QStringLiteral(" Rabbit_man_ul: connected")).size(), 1) << "the input connection is still away";
    EXPECT_EQ(published(), 1) << "what waited from the lost channel is not published: the broker has it back";

    // Once the input connection is back, everything is routed: the later
    // bodies once each, the first one perhaps twice (its confirm came after
    // its channel was gone, so the broker delivered it again).
    QMap<QByteArray, int> seen;
    const auto take = [&] {
        QJsonArray get;
        for (int i = 0; i < 4; ++i)
            get.append(peerOp(QStringLiteral("get"), {{QStringLiteral("queue"), QStringLiteral("s%1").arg(i)}}));
        for (const QJsonValue& result : runPeer(vhost.name(), get))
            for (const QJsonValue& m : result.toArray())
                ++seen[peerBody(m)];
    };
    ASSERT_TRUE(waitFor([&] {
        take();
        return seen.size() == 6;
    }, 30000)) << log.raw().toStdString();
    // A body published twice would be there by the time the input is settled.
    EXPECT_TRUE(waitFor([&] { return unacked() == 0 && vhost.queue(QStringLiteral("in")).value(QStringLiteral("messages_ready")).toInt() == 0; }));
    take();
    for (const QByteArray& body : later)
        EXPECT_EQ(seen.value(body), 1) << body.constData();
}

// What the router republishes is as durable and as identifiable as what it
// consumed: persistent bodies outlive a broker restart in durable shard
// queues, transient ones stay transient, and every property and header
// (each of its AMQP field types) travels, but user_id and the content type.
TEST(RouterBrokerEventsTest, PublicationsCarryTheDeliveryModeAndPropertiesAndPersistentOnesOutliveARestart)
{
    const TestBroker& broker = TestBroker::instance();
    ASSERT_TRUE(broker.available()) << "no test broker";
    TestVhost vhost(QStringLiteral("restart"));
    QJsonArray ops{peerOp(QStringLiteral("declare_exchange"), {{QStringLiteral("exchange"), QStringLiteral("shards")},
                                                            {QStringLiteral("durable"), true}}),
                   peerOp(QStringLiteral("declare_queue"), {{QStringLiteral("queue"), QStringLiteral("in")},
                                                         {QStringLiteral("durable"), true}})};
    for (int i = 0; i < 4; ++i) {
        ops.append(peerOp(QStringLiteral("declare_queue"), {{QStringLiteral("queue"), QStringLiteral("s%1").arg(i)},
                                                         {QStringLiteral("durable"), true}}));
        ops.append(peerOp(QStringLiteral("bind"), {{QStringLiteral("queue"), QStringLiteral("s%1").arg(i)},
                                               {QStringLiteral("exchange"), QStringLiteral("shards")},
                                               {QStringLiteral("key"), QStringLiteral("p%1").arg(i)}}));
    }
    const QJsonObject headers = QJsonDocument::fromJson(R"({
        "traceparent": "00-0af7651916cd43dd8448eb211c80319c-b7ad6b7169203331-01",
        "text": "caf\u00e9", "int": 7, "long": 5000000000, "bool": true, "none": null,
        "bytes": {"$bytes": "00ff"}, "decimal": {"$decimal": "1.25"}, "time": {"$time": 1700000000},
        "array": [1, "two", {"$bytes": "03"}], "table": {"inner": {"deep": [false]}}})").object();
    QJsonObject props{{QStringLiteral("delivery_mode"), 2},
                      {QStringLiteral("message_id"), QStringLiteral("m-{i}")},
                      {QStringLiteral("correlation_id"), QStringLiteral("c-{i}")},
                      {QStringLiteral("timestamp"), 1700000000},
                      {QStringLiteral("type"), QStringLiteral("reading")},
                      {QStringLiteral("app_id"), QStringLiteral("meter")},
                      {QStringLiteral("priority"), 3},
                      {QStringLiteral("reply_to"), QStringLiteral("replies")},
                      {QStringLiteral("expiration"), QStringLiteral("3600000")},
                      {QStringLiteral("content_encoding"), QStringLiteral("identity")},
                      {QStringLiteral("user_id"), QStringLiteral("guest")},
                      {QStringLiteral("headers"), headers}};
    // Devices 0-2 persistent, then one body for every shard; device 3 transient.
    QList<QByteArray> persistent;
    for (int i = 0; i < 300; ++i)
        persistent.append(QStringLiteral(R"({"modem_id":%1,"n":%2})").arg(i % 3).arg(i).toUtf8());
    persistent.append(R"({"n":"every shard"})");
    QJsonObject publish = peerPublish(QString(), QStringLiteral("in"), persistent);
    publish.insert(QStringLiteral("properties"), props);
    ops.append(publish);
    QJsonObject transient = peerPublish(QString(), QStringLiteral("in"), {R"({"modem_id":3})"});
    transient.insert(QStringLiteral("properties"), QJsonObject{{QStringLiteral("message_id"), QStringLiteral("t")}});
    ops.append(transient);
    runPeer(vhost.name(), ops);

    QTemporaryDir dir;
    const QString path = routerSettings(dir, vhost, 2, 100);
    LogFile log;
    {
        RabbitConfig settings(path);
        RabbitConnector router(settings, log.log(), nullptr);
        ASSERT_TRUE(router.StartWorking());
        ASSERT_TRUE(waitFor([&] {
            const QJsonObject in = vhost.queue(QStringLiteral("in"));
            return vhost.queue(QStringLiteral("s0")).value(QStringLiteral("messages_ready")).toInt() == 101
                   && vhost.queue(QStringLiteral("s3")).value(QStringLiteral("messages_ready")).toInt() == 2
                   && in.value(QStringLiteral("messages_ready")).toInt() == 0
                   && in.value(QStringLiteral("messages_unacknowledged")).toInt() == 0;
        }, 30000)) << log.raw().toStdString();
    }
    const QJsonArray s3 = runPeer(vhost.name(), {peerOp(QStringLiteral("get"), {{QStringLiteral("queue"), QStringLiteral("s3")}})})[0].toArray();
    ASSERT_EQ(s3.size(), 2);
    const QJsonObject transientOut = s3[1].toObject().value(QStringLiteral("properties")).toObject();
    EXPECT_EQ(transientOut, (QJsonObject{{QStringLiteral("content_type"), QStringLiteral("text/plain")},
                                        {QStringLiteral("message_id"), QStringLiteral("t")}}))
        << "a transient body stays transient";

    broker.ctl({QStringLiteral("stop_app")});
    broker.ctl({QStringLiteral("start_app")});
    broker.ctl({QStringLiteral("await_startup")});
    QJsonArray get;
    for (int i = 0; i < 3; ++i)
        get.append(peerOp(QStringLiteral("wait_get"), {{QStringLiteral("queue"), QStringLiteral("s%1").arg(i)},
                                                    {QStringLiteral("count"), 101}}));
    const QJsonArray shards = runPeer(vhost.name(), get);
    ASSERT_EQ(shards.size(), 3);
    QJsonObject expected = props;
    expected.remove(QStringLiteral("user_id")); // the broker checks it against the publishing connection's user
    expected.insert(QStringLiteral("content_type"), QStringLiteral("text/plain"));
    int kept = 0;
    for (const QJsonValue& shard : shards) {
        for (const QJsonValue& m : shard.toArray()) {
            ++kept;
            const QJsonObject body = QJsonDocument::fromJson(peerBody(m)).object();
            const QString n = body.value(QStringLiteral("n")).isString() ? QStringLiteral("300")
                                                                         : QString::number(body.value(QStringLiteral("n")).toInt());
            QJsonObject want = expected;
            want.insert(QStringLiteral("message_id"), QStringLiteral("m-") + n);
            want.insert(QStringLiteral("correlation_id"), QStringLiteral("c-") + n);
            EXPECT_EQ(m.toObject().value(QStringLiteral("properties")).toObject(), want)
                << QJsonDocument(m.toObject()).toJson().toStdString();
        }
    }
    EXPECT_EQ(kept, 303) << "every persistent body, the one for every shard three times, outlived the restart";
}
