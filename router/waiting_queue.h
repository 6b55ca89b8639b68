#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <chrono>
#include <deque>
#include <optional>

// One delivery of the receiver, from its arrival until its publications are made.
struct Delivery {
    QByteArray body;       // shared with the receiver's message, not copied
    QByteArray properties; // its property list in its wire form, carried on to its publications
    quint64 tag = 0;
    quint64 generation = 0; // of the receiver channel it came on
    quint64 start = 0;      // of the router start it came under
    std::chrono::steady_clock::time_point arrival;
    // What decoding found once its routing began: the device (-1: none, so
    // every shard) and whether the body is binary.
    qint32 modem_id = -1;
    bool binary = false;
};

// The deliveries waiting to be routed, in order, and the one whose
// publications are going out, one shard after another. Deliveries wait here
// while an earlier one is being routed, while the publisher waits for its
// connection, and while it is paused. Routing goes in rounds of at most
// slice_publications steps (taking a delivery up, or one publication): a
// fan-out to many shards goes out over several turns of the event loop, with
// confirms and timers handled in between.
class WaitingQueue {
public:
    static constexpr int slice_publications = 256;

    // What a round does with the deliveries.
    class Router {
    public:
        virtual ~Router() = default;
        enum class Pace {
            Ready,  // a publication goes out at once
            Waits,  // it waits for the connection first: the round ends after it
            Paused, // the publisher takes none now; the round ends before it
        };
        // Still of the current start and receiver channel; if not, the
        // delivery went back to the broker's queue and comes again.
        virtual bool isCurrent(const Delivery& d) const = 0;
        // Decodes the delivery, fills in what it found, and says how many
        // publications to make: none when it was settled or rejected at once.
        virtual int begin(Delivery& d) = 0;
        virtual Pace pace() const = 0;
        // Makes the delivery's publication number `index`. False when its
        // other publications are not to be made: it went back to the queue.
        virtual bool publish(const Delivery& d, int index) = 0;
    };

    enum class Round {
        Nested,  // called from inside a round (the publisher's wait), which goes on with what was added
        Paused,  // the publisher paused: what is here waits for it to resume
        Sliced,  // the slice is used up: the rest in the next round
        Drained, // nothing is left to route
    };
    Round route(Router& router);

    // Appends a delivery. Those waiting from an earlier channel went back to
    // the broker's queue and come again: they are dropped, so that at most
    // one prefetch window waits here.
    void push(Delivery d);
    // Stops routing the delivery if it is the one being routed: the
    // publications not made yet go with its next coming.
    void cancel(quint64 generation, quint64 tag);
    void clear();

    // Nothing waits and nothing is being routed.
    bool isEmpty() const { return m_waiting.empty() && !m_now; }
    bool inRound() const { return m_in_round; }
    // Deliveries waiting, the one being routed not counted.
    int waiting() const { return int(m_waiting.size()); }
    // Their bodies' bytes.
    qint64 bytes() const { return m_bytes; }

private:
    std::deque<Delivery> m_waiting;
    qint64 m_bytes = 0;
    std::optional<Delivery> m_now; // being routed
    int m_next = 0;                // the index of its next publication
    int m_count = 0;               // its publications in all
    bool m_in_round = false;
};
