#include "router/delivery_tracker.h"

#include <map>

#include <gtest/gtest.h>

namespace {

using TimePoint = DeliveryTracker::TimePoint;

// A tracker whose deliveries have their publications made at once, under
// the tickets tag * 100 + 1, + 2...; confirm() and fail() take the next one
// of the delivery that has not come back yet.
struct Tracker {
    DeliveryTracker t;
    std::map<quint64, int> made, back;

    void add(quint64 tag, int publications, qint64 bytes = 0, TimePoint arrival = TimePoint())
    {
        t.add(tag, arrival, publications, bytes);
        made[tag] = back[tag] = 0;
        for (int i = 1; i <= publications; ++i)
            t.published(tag * 100 + quint64(++made[tag]), tag);
    }
    quint64 next(quint64 tag) { return tag * 100 + quint64(++back[tag]); }
    bool confirm(quint64 tag) { return t.confirm(next(tag)); }
    quint64 fail(quint64 tag) { return t.fail(next(tag)); }
    quint64 takeAck(bool flush)
    {
        std::vector<TimePoint> arrivals;
        return t.takeAck(flush, arrivals);
    }
};

} // namespace

TEST(DeliveryTracker, AcknowledgesFullBatchesOfSettledDeliveriesOnly)
{
    Tracker t;
    t.t.reset(1, 3);
    for (quint64 tag = 1; tag <= 4; ++tag)
        t.add(tag, 1);
    EXPECT_FALSE(t.t.confirm(9)) << "unknown ticket";
    t.confirm(2);
    t.confirm(3);
    EXPECT_EQ(t.takeAck(false), 0u) << "1 is still waiting for its confirm";
    EXPECT_EQ(t.takeAck(true), 0u) << "nothing below 2 is settled";
    t.confirm(1);
    EXPECT_EQ(t.takeAck(false), 3u);
    EXPECT_EQ(t.t.ready(), 0);
    t.confirm(4);
    EXPECT_EQ(t.takeAck(false), 0u) << "one of a batch of three";
    EXPECT_EQ(t.takeAck(true), 4u) << "the flush takes what is there";
    EXPECT_EQ(t.t.open(), 0);
    EXPECT_EQ(t.t.publicationsOut(), 0);
}

TEST(DeliveryTracker, NeverNamesARejectedTag)
{
    Tracker t;
    t.t.reset(1, 1);
    t.add(1, 1);
    t.add(2, 1);
    t.add(3, 1);
    EXPECT_TRUE(t.t.reject(3));
    EXPECT_FALSE(t.t.reject(3)) << "rejected once only";
    t.confirm(1);
    EXPECT_EQ(t.takeAck(false), 1u);
    EXPECT_EQ(t.fail(2), 2u) << "a failed publication rejects its delivery";
    EXPECT_EQ(t.takeAck(true), 0u) << "2 and 3 were rejected: nothing to acknowledge";
    EXPECT_EQ(t.t.open(), 0);

    t.add(4, 1);
    t.add(5, 1);
    t.t.reject(4);
    t.confirm(5);
    EXPECT_EQ(t.takeAck(false), 5u) << "a multiple ack over a rejected tag is fine, naming it is not";
}

TEST(DeliveryTracker, FanOutSettlesWithTheLastConfirmAndAFailureBeatsLaterConfirms)
{
    Tracker t;
    t.t.reset(7, 1);
    t.add(1, 4);
    EXPECT_FALSE(t.confirm(1));
    EXPECT_FALSE(t.confirm(1));
    EXPECT_FALSE(t.confirm(1));
    EXPECT_TRUE(t.confirm(1));
    EXPECT_EQ(t.takeAck(false), 1u);

    t.add(2, 4, 1000);
    t.add(3, 1, 300);
    t.confirm(2);
    EXPECT_EQ(t.t.unsettledBytes(), 1300) << "held until every publication is settled";
    EXPECT_EQ(t.fail(2), 2u) << "one publication failed";
    EXPECT_FALSE(t.confirm(2));
    EXPECT_EQ(t.fail(2), 0u) << "rejected once only";
    EXPECT_EQ(t.t.unsettledBytes(), 300);
    EXPECT_EQ(t.takeAck(true), 0u);
    EXPECT_EQ(t.t.publicationsOut(), 1) << "only 3's is still out";
}

TEST(DeliveryTracker, DroppedDeliveriesAreReadyAtOnceAndResetForgetsEverything)
{
    Tracker t;
    t.t.reset(1, 2);
    t.add(1, 0); // dropped on purpose
    t.add(2, 1);
    t.confirm(2);
    EXPECT_FALSE(t.t.reject(2)) << "already settled";
    EXPECT_EQ(t.takeAck(false), 2u);

    t.add(3, 1);
    t.confirm(3);
    t.t.reset(2, 0);
    EXPECT_EQ(t.t.generation(), 2u);
    EXPECT_EQ(t.t.ready(), 0);
    EXPECT_EQ(t.takeAck(true), 0u);
    t.add(1, 0);
    EXPECT_EQ(t.takeAck(false), 1u) << "a batch of 0 is taken as 1";
}
