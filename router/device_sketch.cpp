#include "device_sketch.h"

#include <QHash>
#include <QRandomGenerator>

#include <algorithm>

SpaceSaving::SpaceSaving() : m_seed(QRandomGenerator::system()->generate64() | 1)
{
    clear();
}

void SpaceSaving::clear()
{
    m_index.fill(-1);
    m_size = 0;
    m_total = 0;
}

int SpaceSaving::home(qint32 device) const
{
    return int((quint64(quint32(device)) * m_seed) >> (64 - index_bits));
}

int SpaceSaving::findSlot(qint32 device) const
{
    for (int slot = home(device);; slot = (slot + 1) & (index_size - 1)) {
        const qint16 entry = m_index[std::size_t(slot)];
        if (entry < 0)
            return -1;
        if (m_counters[std::size_t(entry)].device == device)
            return slot;
    }
}

void SpaceSaving::insert(qint32 device, int entry)
{
    int slot = home(device);
    while (m_index[std::size_t(slot)] >= 0)
        slot = (slot + 1) & (index_size - 1);
    m_index[std::size_t(slot)] = qint16(entry);
}

void SpaceSaving::erase(int slot)
{
    // Linear probing without tombstones: the entries after the hole that
    // would no longer be found move back into it.
    m_index[std::size_t(slot)] = -1;
    for (int next = (slot + 1) & (index_size - 1);; next = (next + 1) & (index_size - 1)) {
        const qint16 entry = m_index[std::size_t(next)];
        if (entry < 0)
            return;
        const int h = home(m_counters[std::size_t(entry)].device);
        // Stays when its home lies cyclically in (slot, next].
        const bool stays = slot <= next ? (slot < h && h <= next) : (slot < h || h <= next);
        if (!stays) {
            m_index[std::size_t(slot)] = entry;
            m_index[std::size_t(next)] = -1;
            slot = next;
        }
    }
}

void SpaceSaving::place(int at, int entry)
{
    m_heap[std::size_t(at)] = quint16(entry);
    m_at[std::size_t(entry)] = quint16(at);
}

void SpaceSaving::siftUp(int at)
{
    const int entry = m_heap[std::size_t(at)];
    const quint64 count = m_counters[std::size_t(entry)].count;
    while (at > 0) {
        const int parent = (at - 1) / 2;
        if (m_counters[m_heap[std::size_t(parent)]].count <= count)
            break;
        place(at, m_heap[std::size_t(parent)]);
        at = parent;
    }
    place(at, entry);
}

void SpaceSaving::siftDown(int at)
{
    const int entry = m_heap[std::size_t(at)];
    const quint64 count = m_counters[std::size_t(entry)].count;
    for (;;) {
        int child = 2 * at + 1;
        if (child >= m_size)
            break;
        if (child + 1 < m_size
            && m_counters[m_heap[std::size_t(child + 1)]].count < m_counters[m_heap[std::size_t(child)]].count)
            ++child;
        if (m_counters[m_heap[std::size_t(child)]].count >= count)
            break;
        place(at, m_heap[std::size_t(child)]);
        at = child;
    }
    place(at, entry);
}

void SpaceSaving::record(qint32 device)
{
    ++m_total;
    if (const int slot = findSlot(device); slot >= 0) {
        const int entry = m_index[std::size_t(slot)];
        ++m_counters[std::size_t(entry)].count;
        siftDown(m_at[std::size_t(entry)]);
        return;
    }
    if (m_size < capacity) {
        const int entry = m_size++;
        m_counters[std::size_t(entry)] = Counter{device, 1, 0};
        insert(device, entry);
        place(entry, entry);
        siftUp(entry);
        return;
    }
    // Every counter is taken: the device takes over the smallest one, whose
    // count it may have had all along (its error).
    const int entry = m_heap[0];
    Counter& c = m_counters[std::size_t(entry)];
    erase(findSlot(c.device));
    c = Counter{device, c.count + 1, c.count};
    insert(device, entry);
    siftDown(0);
}

DeviceSketch::DeviceSketch() : m_slots(slot_count) {}

qint64 DeviceSketch::slotNumber(qint64 now_ms)
{
    return now_ms >= 0 ? now_ms / slot_ms : -((-now_ms + slot_ms - 1) / slot_ms);
}

void DeviceSketch::record(qint32 device, qint64 now_ms)
{
    const qint64 number = slotNumber(now_ms);
    Slot& slot = m_slots[std::size_t(((number % slot_count) + slot_count) % slot_count)];
    if (!slot.used || slot.number != number) {
        // Six slots on: what this one held is older than the window.
        slot.sketch.clear();
        slot.bodies = 0;
        slot.number = number;
        slot.used = true;
    }
    ++slot.bodies;
    if (device != -1)
        slot.sketch.record(device);
}

DeviceSketch::Top DeviceSketch::top(int n, qint64 now_ms) const
{
    // Merged summaries: in a slot that holds the device, its count and
    // error; in one that does not, the device may have sent up to that
    // slot's floor, which counts in both the estimate and the error. So the
    // estimate never falls below the truth, and the error stays under all
    // device bodies of the window / capacity.
    const qint64 current = slotNumber(now_ms);
    Top top;
    quint64 floors = 0;
    struct Merged {
        quint64 count = 0;
        quint64 error = 0;
        quint64 heldFloors = 0; // the floors of the slots that hold it
    };
    QHash<qint32, Merged> merged;
    for (const Slot& slot : m_slots) {
        if (!slot.used || slot.number > current || slot.number <= current - slot_count)
            continue;
        top.bodies += slot.bodies;
        const quint64 floor = slot.sketch.floor();
        floors += floor;
        for (int i = 0; i < slot.sketch.size(); ++i) {
            const SpaceSaving::Counter& c = slot.sketch.counter(i);
            Merged& m = merged[c.device];
            m.count += c.count;
            m.error += c.error;
            m.heldFloors += floor;
        }
    }
    top.devices.reserve(std::size_t(merged.size()));
    for (auto it = merged.cbegin(); it != merged.cend(); ++it) {
        const quint64 elsewhere = floors - it->heldFloors;
        top.devices.push_back(Device{it.key(), it->count + elsewhere, it->error + elsewhere});
    }
    const auto louder = [](const Device& a, const Device& b) {
        return a.count != b.count ? a.count > b.count : a.device < b.device;
    };
    const std::size_t keep = std::min(top.devices.size(), std::size_t(std::max(0, n)));
    std::partial_sort(top.devices.begin(), top.devices.begin() + std::ptrdiff_t(keep), top.devices.end(), louder);
    top.devices.resize(keep);
    return top;
}
