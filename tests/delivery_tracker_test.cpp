#include "router/delivery_tracker.h"

#include <gtest/gtest.h>

TEST(DeliveryTracker, AcknowledgesFullBatchesOfSettledDeliveriesOnly)
{
    DeliveryTracker t;
    t.reset(1, 3);
    for (quint64 tag = 1; tag <= 4; ++tag)
        t.add(tag, 1);
    EXPECT_FALSE(t.confirm(9)) << "unknown tag";
    t.confirm(2);
    t.confirm(3);
    EXPECT_EQ(t.takeAck(false), 0u) << "1 is still waiting for its confirm";
    EXPECT_EQ(t.takeAck(true), 0u) << "nothing below 2 is settled";
    t.confirm(1);
    EXPECT_EQ(t.takeAck(false), 3u);
    EXPECT_EQ(t.ready(), 0);
    t.confirm(4);
    EXPECT_EQ(t.takeAck(false), 0u) << "one of a batch of three";
    EXPECT_EQ(t.takeAck(true), 4u) << "the flush takes what is there";
    EXPECT_EQ(t.open(), 0);
}

TEST(DeliveryTracker, NeverNamesARejectedTag)
{
    DeliveryTracker t;
    t.reset(1, 1);
    t.add(1, 1);
    t.add(2, 1);
    t.add(3, 1);
    EXPECT_TRUE(t.reject(3));
    EXPECT_FALSE(t.reject(3)) << "rejected once only";
    t.confirm(1);
    EXPECT_EQ(t.takeAck(false), 1u);
    EXPECT_TRUE(t.reject(2));
    EXPECT_EQ(t.takeAck(true), 0u) << "2 and 3 were rejected: nothing to acknowledge";
    EXPECT_EQ(t.open(), 0);

    t.add(4, 1);
    t.add(5, 1);
    t.reject(4);
    t.confirm(5);
    EXPECT_EQ(t.takeAck(false), 5u) << "a multiple ack over a rejected tag is fine, naming it is not";
}

TEST(DeliveryTracker, FanOutSettlesWithTheLastConfirmAndAFailureBeatsLaterConfirms)
{
    DeliveryTracker t;
    t.reset(7, 1);
    t.add(1, 4);
    EXPECT_FALSE(t.confirm(1));
    EXPECT_FALSE(t.confirm(1));
    EXPECT_FALSE(t.confirm(1));
    EXPECT_TRUE(t.confirm(1));
    EXPECT_EQ(t.takeAck(false), 1u);

    t.add(2, 4, 1000);
    t.add(3, 1, 300);
    t.confirm(2);
    EXPECT_EQ(t.unsettledBytes(), 1300) << "held until every publication is settled";
    EXPECT_TRUE(t.reject(2)) << "one publication failed";
    EXPECT_FALSE(t.confirm(2));
    EXPECT_FALSE(t.reject(2));
    EXPECT_EQ(t.unsettledBytes(), 300);
    EXPECT_EQ(t.takeAck(true), 0u);
}

TEST(DeliveryTracker, DroppedDeliveriesAreReadyAtOnceAndResetForgetsEverything)
{
    DeliveryTracker t;
    t.reset(1, 2);
    t.add(1, 0); // dropped on purpose
    t.add(2, 1);
    t.settle(2);
    EXPECT_FALSE(t.reject(2)) << "already settled";
    EXPECT_EQ(t.takeAck(false), 2u);

    t.add(3, 1);
    t.confirm(3);
    t.reset(2, 0);
    EXPECT_EQ(t.generation(), 2u);
    EXPECT_EQ(t.ready(), 0);
    EXPECT_EQ(t.takeAck(true), 0u);
    t.add(1, 0);
    EXPECT_EQ(t.takeAck(false), 1u) << "a batch of 0 is taken as 1";
}
