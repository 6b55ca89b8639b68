// The waiting queue's routing rounds without a broker: a router that logs
// what a round does ("b1" begins delivery 1, "p1.0-2" makes its publications
// 0 to 2, "|Sliced" ends a round, "#BYTES/WAITING" shows what waits).
#include "router/waiting_queue.h"

#include <QStringList>

#include <map>
#include <set>

#include <gtest/gtest.h>

namespace {

struct Row {
    const char* name;
    // fan:TAG:N (N publications, 1 unless given)  push:TAG[:GENERATION]  route  held
    // chan:GENERATION (the receiver's channel)  ready | waits | pause (the publisher's pace)
    // During the publication TAG.INDEX: fail:TAG.INDEX  nest:TAG.INDEX (push 9 and route)
    // clear:TAG.INDEX (a restart)  cancel:TAG.INDEX (TAG's delivery was rejected)  stale:TAG.INDEX (new channel 2)
    const char* steps;
    const char* log;
};

const Row rows[] = {
    {"each delivery's publications go out before the next one is begun", "fan:1:2 push:1 push:2 route",
     "b1 p1.0-1 b2 p2.0 |Drained"},
    {"a delivery settled at once has no publication", "fan:1:0 push:1 push:2 route", "b1 b2 p2.0 |Drained"},
    {"a fan-out beyond one slice goes out over rounds", "fan:1:300 push:1 push:2 route held route",
     "b1 p1.0-254 |Sliced #10/1 p1.255-299 b2 p2.0 |Drained"},
    {"a publication that waits for the connection ends the round", "push:1 push:2 waits route ready route",
     "b1 p1.0 |Sliced b2 p2.0 |Drained"},
    {"a paused publisher holds the delivery taken up and those waiting", "fan:1:2 push:1 push:2 held pause route held ready route held",
     "#20/2 b1 |Paused #10/1 p1.0-1 b2 p2.0 |Drained #0/0"},
    {"deliveries of a closed channel are dropped, waiting or being routed", "push:1 push:2 chan:2 push:3:2 held route",
     "#10/1 b3 p3.0 |Drained"},
    {"", "fan:1:3 push:1 push:2 stale:1.0 route", "b1 p1.0 |Drained"},
    {"a failed publication drops the rest of its fan-out only", "fan:1:3 push:1 push:2 fail:1.1 route",
     "b1 p1.0-1 b2 p2.0 |Drained"},
    {"", "fan:1:3 push:1 push:2 cancel:1.0 route", "b1 p1.0 b2 p2.0 |Drained"},
    {"a round inside the publisher's wait leaves what came to the round under way", "push:1 nest:1.0 route",
     "b1 p1.0 |Nested b9 p9.0 |Drained"},
    {"a restart inside the publisher's wait empties the queue", "fan:1:3 push:1 push:2 clear:1.0 route held",
     "b1 p1.0 |Drained #0/0"},
};

struct LoggingRouter : WaitingQueue::Router {
    WaitingQueue queue;
    quint64 generation = 1;
    Pace now = Pace::Ready;
    std::map<quint64, int> publications;
    std::map<QString, QString> during; // TAG.INDEX -> what happens during that publication
    QStringList log;

    bool isCurrent(const Delivery& d) const override { return d.generation == generation; }
    int begin(Delivery& d) override
    {
        log << QStringLiteral("b%1").arg(d.tag);
        return publications.count(d.tag) ? publications[d.tag] : 1;
    }
    Pace pace() const override { return now; }
    bool publish(const Delivery& d, int index) override
    {
        // Consecutive publications of one delivery log as one range.
        const QString first = QStringLiteral("p%1.").arg(d.tag);
        if (index > 0 && !log.isEmpty() && log.last().startsWith(first))
            log.last() = first + log.last().mid(first.size()).section(QLatin1Char('-'), 0, 0)
                         + QStringLiteral("-%1").arg(index);
        else
            log << first + QString::number(index);
        const QString what = during[QStringLiteral("%1.%2").arg(d.tag).arg(index)];
        if (what == QLatin1String("nest")) {
            push(9, generation);
            round();
        } else if (what == QLatin1String("clear")) {
            queue.clear();
        } else if (what == QLatin1String("cancel")) {
            queue.cancel(generation, d.tag);
        } else if (what == QLatin1String("stale")) {
            generation = 2;
        }
        return what != QLatin1String("fail");
    }
    void push(quint64 tag, quint64 g) { queue.push(Delivery{QByteArray(10, 'x'), QByteArray(), tag, g, 1, {}}); }
    void round()
    {
        static const char* const ends[] = {"Nested", "Paused", "Sliced", "Drained"};
        log << QStringLiteral("|") + QLatin1String(ends[int(queue.route(*this))]);
    }
};

} // namespace

TEST(WaitingQueue, Rows)
{
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name[0] ? row.name : "(as the row before)");
        SCOPED_TRACE(row.steps);
        LoggingRouter r;
        for (const QString& step : QString::fromLatin1(row.steps).split(QLatin1Char(' '))) {
            const QStringList f = step.split(QLatin1Char(':'));
            if (f[0] == QLatin1String("fan"))
                r.publications[f[1].toULongLong()] = f[2].toInt();
            else if (f[0] == QLatin1String("push"))
                r.push(f[1].toULongLong(), f.size() > 2 ? f[2].toULongLong() : 1);
            else if (f[0] == QLatin1String("route"))
                r.round();
            else if (f[0] == QLatin1String("held"))
                r.log << QStringLiteral("#%1/%2").arg(r.queue.bytes()).arg(r.queue.waiting());
            else if (f[0] == QLatin1String("chan"))
                r.generation = f[1].toULongLong();
            else if (f[0] == QLatin1String("ready") || f[0] == QLatin1String("waits") || f[0] == QLatin1String("pause"))
                r.now = f[0] == QLatin1String("ready")   ? WaitingQueue::Router::Pace::Ready
                        : f[0] == QLatin1String("waits") ? WaitingQueue::Router::Pace::Waits
                                                         : WaitingQueue::Router::Pace::Paused;
            else if (QStringList{"fail", "nest", "clear", "cancel", "stale"}.contains(f[0]))
                r.during[f[1]] = f[0];
            else
                FAIL() << "unknown step " << step.toStdString();
        }
        EXPECT_EQ(r.log.join(QLatin1Char(' ')).toStdString(), row.log);
        EXPECT_FALSE(r.queue.inRound());
    }
}
