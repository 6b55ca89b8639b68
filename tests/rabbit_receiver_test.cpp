// The queue receiver against the test broker, each test in its own vhost.
#include "rabbit/rabbit_receiver.h"
#include "support/log_file.h"
#include "support/test_broker.h"
#include "support/wait.h"

#include <QJsonDocument>
#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {



class ReceiverTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(TestBroker::instance().available()) << "no test broker"; }

    rabbit_receiver_config config(const QString& queue, QList<QPair<QString, QString>> bindings = {}, int mode = 8,
                                  int prefetch = 100)
    {
        rabbit_receiver_config c;
        c.path = TestBroker::instance().url();
        c.vhost = vhost.name();
        c.queue = queue;
        c.bindings = std::move(bindings);
        c.mode = mode;
        c.prefetch_count = prefetch;
        return c;
    }
    bool consuming(const QString& queue)
    {
        return waitFor([&] { return vhost.queue(queue).value(QStringLiteral("consumers")).toInt() == 1; }, 30000);
    }
    // The queue is declared once the receiver starts consuming; what is
    // published to it from then on is delivered.
    bool declared(int receivers = 1)
    {
        return waitFor([&] { return log.grep(QStringLiteral(" Debug : Rabbit consume")).size() == receivers; }, 30000);
    }
    QJsonArray peer(const QJsonArray& ops) { return runPeer(vhost.name(), ops); }

    LogFile log{4};
    TestVhost vhost{QStringLiteral("rx")};
};

// The texts of the log lines, without timestamp, thread and level.
QStringList texts(const LogFile& log)
{
    QStringList out;
    for (const QString& line : log.lines())
        out << line.mid(line.indexOf(QStringLiteral(": ")) + 2);
    return out;
}

} // namespace

TEST_F(ReceiverTest, EachConnectionDeclaresBindsInOrderThenSetsTheWindowAndConsumes)
{
    peer({peerOp(QStringLiteral("declare_exchange"), {{QStringLiteral("exchange"), QStringLiteral("x1")}}),
          peerOp(QStringLiteral("declare_exchange"), {{QStringLiteral("exchange"), QStringLiteral("x2")}}),
          peerOp(QStringLiteral("declare_exchange"), {{QStringLiteral("exchange"), QStringLiteral("x3")}})});
    rabbit_receiver receiver(&log.log(),
                             config(QStringLiteral("q"),
                                    {{QStringLiteral("x1"), QStringLiteral("k1")},
                                     {QStringLiteral("x2"), QStringLiteral("k2")},
                                     {QStringLiteral("x3"), QStringLiteral("k3")}},
                                    2, 70000),
                             nullptr);
    QSignalSpy up(&receiver, &rabbit_receiver::conn_estimated);
    ASSERT_TRUE(waitFor([&] { return !log.grep(QStringLiteral(" Rabbit_man_ul: Queue bound")).isEmpty(); }))
        << log.raw().toStdString();
    ASSERT_TRUE(consuming(QStringLiteral("q")));
    EXPECT_EQ(up.count(), 1);

    const QJsonObject q = vhost.queue(QStringLiteral("q"));
    EXPECT_TRUE(q.value(QStringLiteral("durable")).toBool()) << "mode 2 is durable";
    EXPECT_FALSE(q.value(QStringLiteral("auto_delete")).toBool());
    const QString bindings = TestBroker::instance().ctl({QStringLiteral("list_bindings"), QStringLiteral("-p"),
                                                         vhost.name(), QStringLiteral("source_name"),
                                                         QStringLiteral("routing_key")});
    for (const char* b : {"x1\tk1", "x2\tk2", "x3\tk3"})
        EXPECT_TRUE(bindings.contains(QLatin1String(b))) << bindings.toStdString();
    const QJsonArray channels = TestBroker::instance().ctlJson(
        {QStringLiteral("list_channels"), QStringLiteral("vhost"), QStringLiteral("prefetch_count")});
    int prefetch = -1;
    for (const QJsonValue& c : channels) {
        if (c.toObject().value(QStringLiteral("vhost")).toString() == vhost.name())
            prefetch = c.toObject().value(QStringLiteral("prefetch_count")).toInt();
    }
    EXPECT_EQ(prefetch, 4464) << "the low 16 bits of 70000";

    const QStringList t = texts(log);
    const QString url = TestBroker::instance().url().replace(QStringLiteral(":guest@"), QStringLiteral(":****@"));
    const QStringList expected = {
        QStringLiteral("rabbit_man_receiver_impl inited to path <<") + url + QStringLiteral(", queue q, host ") + vhost.name(),
        QStringLiteral(" Rabbit_man_ul: connected"), QStringLiteral(" rabbit_receiver: Connected"),
        QStringLiteral("Rabbit consume"), QStringLiteral(" Rabbit_man_ul: Queue bound")};
    int at = 0;
    for (const QString& line : t) {
        if (at < expected.size() && line == expected[at])
            ++at;
    }
    EXPECT_EQ(at, expected.size()) << log.raw().toStdString();
    EXPECT_FALSE(log.raw().contains(":guest@"));
}

TEST_F(ReceiverTest, BindingsGoOutOneAtATime)
{
    // The second exchange does not exist: the broker refuses that binding and
    // closes the channel. Had the third been sent without waiting, it would exist.
    peer({peerOp(QStringLiteral("declare_exchange"), {{QStringLiteral("exchange"), QStringLiteral("x1")}}),
          peerOp(QStringLiteral("declare_exchange"), {{QStringLiteral("exchange"), QStringLiteral("x3")}})});
    rabbit_receiver receiver(&log.log(),
                             config(QStringLiteral("q"),
                                    {{QStringLiteral("x1"), QStringLiteral("k1")},
                                     {QStringLiteral("missing"), QStringLiteral("k2")},
                                     {QStringLiteral("x3"), QStringLiteral("k3")}},
                                    0),
                             nullptr);
    ASSERT_TRUE(waitFor([&] { return !log.grep(QStringLiteral("set-up again in 30000 ms")).isEmpty(); }))
        << log.raw().toStdString();
    const QStringList errors = log.grep(QStringLiteral("rabbit_receiver: queue q: the broker closed the queue's channel: 404"));
    ASSERT_EQ(errors.size(), 1) << log.raw().toStdString();
    EXPECT_EQ(log.grep(QStringLiteral(" Error ")), errors) << "one Error line for one refusal";
    const QString bindings = TestBroker::instance().ctl({QStringLiteral("list_bindings"), QStringLiteral("-p"),
                                                         vhost.name(), QStringLiteral("source_name"),
                                                         QStringLiteral("routing_key")});
    EXPECT_TRUE(bindings.contains(QLatin1String("x1\tk1")));
    EXPECT_FALSE(bindings.contains(QLatin1String("x3"))) << bindings.toStdString();
    EXPECT_EQ(vhost.queue(QStringLiteral("q")).value(QStringLiteral("consumers")).toInt(), 0);
}

TEST_F(ReceiverTest, AQueueThatExistsWithArgumentsOfItsOwnIsConsumedAsItIs)
{
    // Declared by the operator with arguments that no declaration of the
    // receiver repeats, so the broker refuses that as inequivalent.
    const struct {
        const char* queue;
        QJsonObject arguments;
    } rows[] = {
        {"quorum", {{QStringLiteral("x-queue-type"), QStringLiteral("quorum")}}},
        {"lettered", {{QStringLiteral("x-dead-letter-exchange"), QStringLiteral("dlx")}, {QStringLiteral("x-max-length"), 1000}}},
    };
    for (const auto& row : rows) {
        const QString name = QLatin1String(row.queue);
        SCOPED_TRACE(row.queue);
        QJsonObject declare = peerOp(QStringLiteral("declare_queue"), {{QStringLiteral("queue"), name}, {QStringLiteral("durable"), true}});
        declare.insert(QStringLiteral("arguments"), row.arguments);
        peer({declare});
        rabbit_receiver receiver(&log.log(), config(name, {}, 2), nullptr);
        QList<QByteArray> got;
        QObject::connect(&receiver, &rabbit_receiver::raw_data_received, [&](const QByteArray& body, uint64_t) { got.append(body); });
        ASSERT_TRUE(consuming(name)) << log.raw().toStdString();
        peer({peerPublish(QString(), name, {"body"})});
        ASSERT_TRUE(waitFor([&] { return got.size() == 1; })) << log.raw().toStdString();
        const QStringList warnings = log.grep(QStringLiteral(" Warning : rabbit_receiver: queue ") + name
                                              + QStringLiteral(" exists with other arguments"));
        ASSERT_EQ(warnings.size(), 1) << log.raw().toStdString();
        EXPECT_TRUE(warnings[0].contains(QStringLiteral("406 PRECONDITION_FAILED - inequivalent arg"))) << warnings[0].toStdString();
        EXPECT_TRUE(log.grep(QStringLiteral(" Error ")).isEmpty()) << log.raw().toStdString();
    }
}

TEST_F(ReceiverTest, WithoutBindingsTheQueueIsConsumedByName)
{
    rabbit_receiver receiver(&log.log(), config(QStringLiteral("named")), nullptr);
    QList<QPair<QByteArray, quint64>> got;
    QObject::connect(&receiver, &rabbit_receiver::raw_data_received,
                     [&](const QByteArray& body, uint64_t tag) { got.append(qMakePair(body, quint64(tag))); });
    ASSERT_TRUE(declared()) << log.raw().toStdString();
    const QList<QByteArray> bodies = {QByteArray("plain"), QByteArray("\0\xff\xfe", 3), QByteArray()};
    peer({peerPublish(QString(), QStringLiteral("named"), bodies)});
    ASSERT_TRUE(waitFor([&] { return got.size() == 3; }));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(got[i].first, bodies[i]);
        EXPECT_EQ(got[i].second, quint64(i + 1));
    }
    EXPECT_TRUE(vhost.queue(QStringLiteral("named")).value(QStringLiteral("auto_delete")).toBool()) << "mode 8";
}

TEST_F(ReceiverTest, AcknowledgementsGoToTheChannelTheDeliveryCameFrom)
{
    rabbit_receiver receiver(&log.log(), config(QStringLiteral("acks")), nullptr);
    QList<quint64> tags;
    QObject::connect(&receiver, &rabbit_receiver::raw_data_received,
                     [&](const QByteArray&, uint64_t tag) { tags.append(tag); });
    ASSERT_TRUE(consuming(QStringLiteral("acks"))) << log.raw().toStdString();
    const quint64 generation = receiver.channel_generation();
    peer({peerPublish(QString(), QStringLiteral("acks"), {"a", "b", "c"})});
    ASSERT_TRUE(waitFor([&] { return tags.size() == 3; }));
    auto unacked = [&] { return vhost.queue(QStringLiteral("acks")).value(QStringLiteral("messages_unacknowledged")).toInt(); };
    EXPECT_EQ(unacked(), 3);

    receiver.ack_message(3, true, generation + 1); // names another opening of the channel
    EXPECT_EQ(log.grep(QStringLiteral("rabbit_receiver: ack of delivery 3 of an earlier channel not sent")).size(), 1);
    receiver.reject_message(2, true, generation + 1);
    EXPECT_EQ(log.grep(QStringLiteral("reject of delivery 2 of an earlier channel not sent")).size(), 1);
    spin(200);
    EXPECT_EQ(unacked(), 3);

    receiver.reject_message(3, true, generation); // requeued: delivered again as tag 4
    ASSERT_TRUE(waitFor([&] { return tags.size() == 4; }));
    receiver.ack_message(4, true, generation);
    EXPECT_TRUE(waitFor([&] { return unacked() == 0; })) << log.raw().toStdString();
}

TEST_F(ReceiverTest, DeletingTheReceiverInsideItsOwnDeliveryIsSafe)
{
    auto* receiver = new rabbit_receiver(&log.log(), config(QStringLiteral("gone")), nullptr);
    int deliveries = 0;
    QObject::connect(receiver, &rabbit_receiver::raw_data_received, [&](const QByteArray&, uint64_t) {
        ++deliveries;
        // What a restart inside the publisher's wait does: the receiver is
        // deleted while its emission is on the stack below.
        QEventLoop nested;
        QTimer::singleShot(50, [&] {
            delete receiver;
            receiver = nullptr;
        });
        QTimer::singleShot(200, &nested, &QEventLoop::quit);
        nested.exec();
    });
    ASSERT_TRUE(declared()) << log.raw().toStdString();
    peer({peerPublish(QString(), QStringLiteral("gone"), {"1", "2", "3"})});
    ASSERT_TRUE(waitFor([&] { return receiver == nullptr; }));
    spin(300);
    EXPECT_GE(deliveries, 1);
}
