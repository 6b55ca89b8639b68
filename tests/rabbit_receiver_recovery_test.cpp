// The receiver's recovery: a lost connection and a refused set-up, each
// tried again after the retry interval (shortened here from its 30 s).
#include "rabbit/rabbit_receiver.h"
#include "support/log_file.h"
#include "support/test_broker.h"
#include "support/wait.h"

#include <QElapsedTimer>
#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

constexpr int RetryInterval = 500;
constexpr int RecoveryWait = 15000;

class ReceiverRecoveryTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(TestBroker::instance().available()) << "no test broker"; }
    rabbit_receiver_config config(const QString& queue, int mode)
    {
        rabbit_receiver_config c;
        c.path = TestBroker::instance().url();
        c.vhost = vhost.name();
        c.queue = queue;
        c.mode = mode;
        c.prefetch_count = 10;
        return c;
    }
    void publish(const QString& queue, const QByteArray& body)
    {
        runPeer(vhost.name(), {peerPublish(QString(), queue, {body})});
    }
    int unacked(const QString& queue)
    {
        return vhost.queue(queue).value(QStringLiteral("messages_unacknowledged")).toInt();
    }

    LogFile log{4};
    TestVhost vhost{QStringLiteral("rxrec")};
};

} // namespace

TEST_F(ReceiverRecoveryTest, ALostConnectionIsSetUpAgainAndStaleTagsAreNeverSent)
{
    rabbit_receiver receiver(&log.log(), config(QStringLiteral("work"), 0), nullptr);
    receiver.set_retry_interval(4 * RetryInterval); // time to look between the loss and the next connection
    QSignalSpy up(&receiver, &rabbit_receiver::conn_estimated);
    QList<QPair<QByteArray, quint64>> got;
    QList<quint64> generations;
    QObject::connect(&receiver, &rabbit_receiver::raw_data_received, [&](const QByteArray& body, uint64_t tag) {
        got.append(qMakePair(body, quint64(tag)));
        generations.append(receiver.channel_generation());
    });
    ASSERT_TRUE(waitFor([&] { return vhost.queue(QStringLiteral("work")).value(QStringLiteral("consumers")).toInt() == 1; }));
    publish(QStringLiteral("work"), "first");
    ASSERT_TRUE(waitFor([&] { return got.size() == 1; }));

    ASSERT_EQ(vhost.closeConnections(), 1);
    ASSERT_TRUE(waitFor([&] { return !log.grep(QStringLiteral(" Error :  Rabbit_man_ul: Disconnected: ")).isEmpty(); }))
        << log.raw().toStdString();
    // Before the next connection: the lost channel's deliveries are already
    // told apart, the broker having taken them back.
    ASSERT_EQ(up.count(), 1);
    EXPECT_NE(receiver.channel_generation(), generations[0]);
    EXPECT_EQ(log.grep(QStringLiteral(" Error ")).size(), 1) << "one Error line for one lost connection\n"
                                                             << log.raw().toStdString();
    ASSERT_TRUE(waitFor([&] { return up.count() == 2 && got.size() == 2; }, RecoveryWait)) << log.raw().toStdString();
    EXPECT_EQ(got[1].first, QByteArray("first")) << "the unacknowledged delivery comes again";
    EXPECT_EQ(got[1].second, 1u) << "tags start again on the new channel";
    EXPECT_NE(generations[1], generations[0]);
    EXPECT_EQ(log.grep(QStringLiteral(" Rabbit_man_ul: connected")).size(), 2);

    // The first delivery's tag 1 would name the redelivery on the new channel.
    receiver.ack_message(got[0].second, false, generations[0]);
    spin(300);
    EXPECT_EQ(unacked(QStringLiteral("work")), 1);
    EXPECT_EQ(log.grep(QStringLiteral("of an earlier channel not sent")).size(), 1);

    receiver.ack_message(got[1].second, false, generations[1]);
    EXPECT_TRUE(waitFor([&] { return unacked(QStringLiteral("work")) == 0; }));
}

TEST_F(ReceiverRecoveryTest, ARefusedSetUpIsLoggedAndRetriedAfterTheInterval)
{
    // The binding names an exchange that does not exist (yet).
    rabbit_receiver_config c = config(QStringLiteral("unbound"), 0);
    c.bindings = {{QStringLiteral("later"), QStringLiteral("k")}};
    rabbit_receiver receiver(&log.log(), c, nullptr);
    receiver.set_retry_interval(RetryInterval);
    const QString refused = QStringLiteral("rabbit_receiver: queue unbound: the broker closed the queue's channel: 404 NOT_FOUND");
    ASSERT_TRUE(waitFor([&] { return log.grep(refused).size() == 1; })) << log.raw().toStdString();
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(waitFor([&] { return log.grep(refused).size() == 2; }, RecoveryWait)) << log.raw().toStdString();
    EXPECT_GE(clock.elapsed(), RetryInterval - 50) << "no tight loop";
    EXPECT_TRUE(log.grep(refused)[0].contains(QStringLiteral("set-up again in 500 ms")));

    runPeer(vhost.name(), {peerOp(QStringLiteral("declare_exchange"), {{QStringLiteral("exchange"), QStringLiteral("later")}})});
    EXPECT_TRUE(waitFor([&] { return vhost.queue(QStringLiteral("unbound")).value(QStringLiteral("consumers")).toInt() == 1; },
                        RecoveryWait));
}
