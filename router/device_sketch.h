#pragma once

#include <QtGlobal>

#include <array>
#include <vector>

// The devices that send the most bodies, in memory that does not grow with
// the number of devices: the Space-Saving summary with a fixed number of
// counters. Each counter holds a device, its estimated count and the most
// that estimate may exceed the truth by (count - error <= true <= count).
// A device not held has sent at most floor() bodies; every device that sent
// more than total()/capacity bodies is held. Recording is a hash look-up in a
// fixed open-addressing table and a sift in a min-heap of the counters:
// O(log capacity), no allocation.
class SpaceSaving {
public:
    static constexpr int capacity = 1024;
    struct Counter {
        qint32 device = 0;
        quint64 count = 0;
        quint64 error = 0;
    };

    SpaceSaving();
    void clear();
    void record(qint32 device);

    int size() const { return m_size; }
    // The counters in no particular order, i < size().
    const Counter& counter(int i) const { return m_counters[std::size_t(i)]; }
    // The most an unheld device can have sent: the smallest count once every
    // counter is taken, 0 before (nothing was ever pushed out).
    quint64 floor() const { return m_size < capacity ? 0 : m_counters[m_heap[0]].count; }
    quint64 total() const { return m_total; }

private:
    static constexpr int index_bits = 11; // twice the counters: probes stay short
    static constexpr int index_size = 1 << index_bits;

    int home(qint32 device) const;
    int findSlot(qint32 device) const; // the index slot holding the device, or -1
    void insert(qint32 device, int entry);
    void erase(int slot);
    void place(int at, int entry);
    void siftUp(int at);
    void siftDown(int at);

    std::array<Counter, capacity> m_counters;
    std::array<quint16, capacity> m_heap{}; // counter numbers, the smallest count first
    std::array<quint16, capacity> m_at{};   // counter number -> its place in m_heap
    std::array<qint16, index_size> m_index; // device -> counter number, -1 when empty
    int m_size = 0;
    quint64 m_total = 0;
    quint64 m_seed; // an odd multiplier drawn at random: colliding devices cannot be chosen from outside
};

// The devices that sent the most bodies in the last 60 s. Time is cut into
// 10 s slots (slot n holds the bodies from n*10 s to (n+1)*10 s on the
// caller's clock), each with a Space-Saving summary of its own; six of them
// rotate, so the window is the current slot and the five before it: 50 to
// 60 s of traffic, none of it older than 60 s. A query merges the live slots.
// The clock is the caller's: milliseconds that never go back, passed to
// every call, so that tests move time by hand.
class DeviceSketch {
public:
    static constexpr qint64 slot_ms = 10000;
    static constexpr int slot_count = 6;
    static constexpr int window_seconds = int(slot_ms * slot_count / 1000);

    struct Device {
        qint32 device = 0;
        quint64 count = 0; // estimate: never below the truth
        quint64 error = 0; // the truth is at least count - error
    };
    struct Top {
        quint64 bodies = 0; // every body of the window, with a device or not
        std::vector<Device> devices;
    };

    DeviceSketch();
    // One body at now_ms; device -1 (no device) counts in the bodies only.
    void record(qint32 device, qint64 now_ms);
    // The n devices with the highest estimates in the window that ends at
    // now_ms, highest first (equal ones by device number). Every device with
    // more than 5 % of the window's bodies is among the first 20.
    Top top(int n, qint64 now_ms) const;

private:
    struct Slot {
        qint64 number = 0;
        bool used = false;
        quint64 bodies = 0;
        SpaceSaving sketch;
    };
    static qint64 slotNumber(qint64 now_ms);

    std::vector<Slot> m_slots; // allocated once, slot_count of them
};
