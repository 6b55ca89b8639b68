// Broker-wide events: a memory alarm that blocks publishers, and a broker
// restart. They change the shared test broker, so this test runs alone.
#include "amqp/qamqpclient.h"
#include "amqp/qamqpexchange.h"
#include "support/log_file.h"
#include "support/test_broker.h"
#include "support/wait.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

class AmqpBrokerEventsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(TestBroker::instance().available()) << "no test broker";
        client.setLogger(&log.log());
        client.setAutoReconnect(true, 300);
        client.connectToHost(TestBroker::instance().url());
        client.setVirtualHost(vhost.name());
        ASSERT_TRUE(waitFor([&] { return client.isConnected(); })) << log.raw().toStdString();
    }
    const TestBroker& broker = TestBroker::instance();
    LogFile log{4};
    TestVhost vhost{QStringLiteral("events")};
    QAmqpClient client;
};

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
    ASSERT_TRUE(wasBlocked) << log.raw().toStdString();
    EXPECT_EQ(down.count(), 0) << log.raw().toStdString();
    ASSERT_TRUE(waitFor([&] { return unblocked.count() == 1 && confirmed.count() == 1; }, 10000))
        << log.raw().toStdString();
    EXPECT_EQ(log.grep(QStringLiteral(" Error : AMQP connection: the broker blocked the connection")).size(), 1);
    EXPECT_EQ(log.grep(QStringLiteral(" : AMQP connection: the broker unblocked the connection")).size(), 1);
}

TEST_F(AmqpBrokerEventsTest, ReconnectsAfterTheBrokerRestarts)
{
    QSignalSpy up(&client, &QAmqpClient::connected);
    QSignalSpy down(&client, &QAmqpClient::disconnected);
    broker.ctl({QStringLiteral("stop_app")});
    ASSERT_TRUE(waitFor([&] { return down.count() == 1; }, 15000));
    // While the broker is away, attempts fail and are logged.
    ASSERT_TRUE(waitFor([&] { return !log.grep(QStringLiteral("cannot connect to")).isEmpty(); }, 15000))
        << log.raw().toStdString();
    broker.ctl({QStringLiteral("start_app")});
    ASSERT_TRUE(waitFor([&] { return up.count() == 1 && client.isConnected(); }, 30000)) << log.raw().toStdString();
    EXPECT_EQ(down.count(), 1);
}
