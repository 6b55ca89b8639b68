// Settlement without a broker: each row plays publications, confirms and
// failures as the router reports them and compares what went to the
// receiver channel.
#include "router/settlement.h"

#include <QStringList>

#include <gtest/gtest.h>

namespace {

struct Row {
    const char* name;
    qint64 batch;
    // add:TAG:PUBLICATIONS[:BYTES]  pub:TICKET:TAG  ok:TICKET  fail:TICKET
    // drop:TAG (undecodable)  requeue:TAG (a publication could not be sent)
    // chan:GENERATION  restart:BATCH  ack (nothing else held)  ack+ (deliveries still routing)
    // flush  down (the receiver channel is gone: nothing goes out)
    const char* steps;
    const char* sent; // "ack TAG@GENERATION", "requeue TAG@GENERATION", "drop TAG@GENERATION"
    quint64 acknowledged, requeued, dropped;
    qint64 unsettledBytes;
    bool publicationsOut;
    bool flushScheduled;
};

const Row rows[] = {
    {"a batch waits while deliveries are routed and goes out when full", 2,
     "add:1:1 pub:11:1 add:2:1 pub:21:2 add:3:1 pub:31:3 ok:11 ack+ ok:21 ack+ ok:31 ack+", "ack 2@1", 2, 0, 0, 0,
     false, true},
    {"once nothing else is held, what is settled goes out at once", 8,
     "add:1:1 pub:11:1 add:2:1 pub:21:2 ok:21 ack ok:11 ack", "ack 2@1", 2, 0, 0, 0, false, false},
    {"a partial batch waits for the delay, a flush takes it", 8,
     "add:1:1 pub:11:1 add:2:1:7 pub:21:2 ok:11 ack", "", 0, 0, 0, 7, true, true},
    {"", 8, "add:1:1 pub:11:1 add:2:1:7 pub:21:2 ok:11 ack flush", "ack 1@1", 1, 0, 0, 7, true, true},
    {"a multiple acknowledgement passes over a rejected delivery without naming it", 1,
     "add:1:1 pub:11:1 add:2:1 pub:21:2 add:3:1 pub:31:3 fail:21 ok:31 ack+ ok:11 ack+", "requeue 2@1 ack 3@1", 2, 1,
     0, 0, false, false},
    {"a fan-out is rejected at its first failure; its other confirms and failures change nothing", 1,
     "add:1:3:100 pub:11:1 pub:12:1 pub:13:1 add:2:1:50 pub:21:2 fail:12 ok:11 fail:13 ack", "requeue 1@1", 0, 1, 0,
     50, true, false},
    {"", 1, "add:1:3:100 pub:11:1 pub:12:1 add:2:1:50 pub:21:2 fail:12 ok:21 ack ok:11", "requeue 1@1 ack 2@1", 1, 1, 0,
     0, false, false},
    {"a publication that could not be sent requeues its delivery; a later confirm changes nothing", 1,
     "add:1:3:100 pub:11:1 requeue:1 ok:11 ack", "requeue 1@1", 0, 1, 0, 0, false, false},
    {"a new channel's delivery is not settled by the old channel's confirms or failures", 1,
     "add:1:3:100 pub:11:1 pub:12:1 pub:13:1 ok:11 chan:2 add:1:1:10 pub:21:1 ok:12 fail:13 ack", "", 0, 0, 0, 10,
     true, false},
    {"", 1, "add:1:2 pub:11:1 chan:2 add:1:1 pub:21:1 ok:21 ack ok:11", "ack 1@2", 1, 0, 0, 0, false, false},
    {"dropped and undecodable deliveries settle at once", 4, "add:1:1 drop:1 add:2:0 ack", "drop 1@1 ack 2@1", 1, 0,
     1, 0, false, false},
    {"nothing is counted that did not go out", 1, "down add:1:1 pub:11:1 add:2:1 pub:21:2 ok:11 ack+ fail:21",
     "ack 1@1 requeue 2@1", 0, 0, 0, 0, false, false},
    {"a restart forgets deliveries and publications", 1, "add:1:1:5 pub:11:1 restart:1 ok:11 ack", "", 0, 0, 0, 0,
     false, false},
};

} // namespace

TEST(Settlement, Rows)
{
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name[0] ? row.name : "(the row before, ending otherwise)");
        SCOPED_TRACE(row.steps);
        RouterMetrics metrics;
        QStringList sent;
        bool up = true;
        Settlement s(
            metrics,
            [&](quint64 tag, quint64 generation) {
                sent << QStringLiteral("ack %1@%2").arg(tag).arg(generation);
                return up;
            },
            [&](quint64 tag, bool requeue, quint64 generation) {
                sent << QStringLiteral("%1 %2@%3").arg(requeue ? "requeue" : "drop").arg(tag).arg(generation);
                return up;
            });
        s.restart(row.batch, 8);
        s.enterChannel(1);
        for (const QString& step : QString::fromLatin1(row.steps).split(QLatin1Char(' '))) {
            const QStringList f = step.split(QLatin1Char(':'));
            const auto n = [&f](int i) { return f.value(i).toULongLong(); };
            if (f[0] == QLatin1String("add"))
                s.add(n(1), Settlement::TimePoint(), int(n(2)), qint64(n(3)));
            else if (f[0] == QLatin1String("pub"))
                s.published(n(1), n(2));
            else if (f[0] == QLatin1String("ok"))
                s.confirmed(n(1));
            else if (f[0] == QLatin1String("fail"))
                s.failed(n(1));
            else if (f[0] == QLatin1String("drop") || f[0] == QLatin1String("requeue"))
                s.reject(n(1), f[0] == QLatin1String("requeue"));
            else if (f[0] == QLatin1String("chan"))
                s.enterChannel(n(1));
            else if (f[0] == QLatin1String("restart"))
                s.restart(qint64(n(1)), 8);
            else if (f[0] == QLatin1String("ack") || f[0] == QLatin1String("ack+") || f[0] == QLatin1String("flush"))
                s.acknowledge(f[0] == QLatin1String("flush"), f[0] == QLatin1String("ack+"));
            else if (f[0] == QLatin1String("down"))
                up = false;
            else
                FAIL() << "unknown step " << step.toStdString();
        }
        EXPECT_EQ(sent.join(QLatin1Char(' ')).toStdString(), row.sent);
        EXPECT_EQ(metrics.acknowledged, row.acknowledged);
        EXPECT_EQ(metrics.delivery_duration.count(), row.acknowledged) << "each acknowledged delivery is timed";
        EXPECT_EQ(metrics.rejected_requeue, row.requeued);
        EXPECT_EQ(metrics.rejected_drop, row.dropped);
        EXPECT_EQ(s.unsettledBytes(), row.unsettledBytes);
        EXPECT_EQ(s.publicationsOut(), row.publicationsOut);
        EXPECT_EQ(s.flushScheduled(), row.flushScheduled);
    }
}
