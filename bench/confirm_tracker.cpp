#include "confirm_tracker.h"

#include <amqp_framing.h>

#include <string>

long ConfirmTracker::settle(uint64_t tag, bool multiple, const RmqConnection& connection)
{
    if (tag == 0 || tag >= m_done.size())
        connection.fail("confirm for unknown delivery tag " + std::to_string(tag));
    long newly = 0;
    for (uint64_t t = multiple ? m_floor + 1 : tag; t <= tag; ++t) {
        if (!m_done[t]) {
            m_done[t] = true;
            ++newly;
        }
    }
    while (m_floor + 1 < m_done.size() && m_done[m_floor + 1])
        ++m_floor;
    m_settled += newly;
    return newly;
}

long readConfirm(const RmqConnection& connection, ConfirmTracker& confirms)
{
    amqp_frame_t frame;
    connection.checkStatus(amqp_simple_wait_frame(connection.state(), &frame), "waiting for confirms");
    if (frame.frame_type != AMQP_FRAME_METHOD)
        connection.fail("unexpected frame of type " + std::to_string(frame.frame_type));
    switch (frame.payload.method.id) {
    case AMQP_BASIC_ACK_METHOD: {
        const auto* ack = static_cast<const amqp_basic_ack_t*>(frame.payload.method.decoded);
        confirms.settle(ack->delivery_tag, ack->multiple != 0, connection);
        return 0;
    }
    case AMQP_BASIC_NACK_METHOD: {
        const auto* nack = static_cast<const amqp_basic_nack_t*>(frame.payload.method.decoded);
        return confirms.settle(nack->delivery_tag, nack->multiple != 0, connection);
    }
    default:
        connection.fail(std::string("unexpected ") + amqp_method_name(frame.payload.method.id)
                        + " while waiting for confirms");
    }
}
