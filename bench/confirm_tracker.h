#pragma once

#include "rmq_connection.h"

#include <cstdint>
#include <vector>

// Which publishes of a confirm-mode channel the broker has settled. An ack or
// nack with multiple=true settles every earlier tag that was still open.
class ConfirmTracker {
public:
    explicit ConfirmTracker(long count) : m_done(size_t(count) + 1, false) {}

    // Returns how many tags this settled.
    long settle(uint64_t tag, bool multiple, const RmqConnection& connection);
    long settled() const { return m_settled; }

private:
    std::vector<bool> m_done; // by delivery tag, from 1
    uint64_t m_floor = 0;     // every tag up to this one is settled
    long m_settled = 0;
};

// Blocks for the next frame on the connection, which must be a confirm.
// Returns how many publishes a nack refused.
long readConfirm(const RmqConnection& connection, ConfirmTracker& confirms);
