#pragma once

#include <amqp.h>

#include <string>

// A blocking rabbitmq-c connection to the local broker as guest, with
// channel 1 open. Every failure ends the process with a message naming `side`.
namespace bench {
// Reports why the run failed, naming `side`, and ends the process with status 1.
[[noreturn]] void fail(const char* side, const std::string& why);
} // namespace bench

class RmqConnection {
public:
    static constexpr amqp_channel_t Channel = 1;

    RmqConnection(const char* side, int port, const std::string& vhost);
    ~RmqConnection(); // closes the channel and the connection
    RmqConnection(const RmqConnection&) = delete;
    RmqConnection& operator=(const RmqConnection&) = delete;

    amqp_connection_state_t state() const { return m_state; }

    // Ends the process when a call failed: `reply` of an RPC, or the last
    // RPC's reply, or the status code of a call that returns one.
    void check(const amqp_rpc_reply_t& reply, const char* what) const;
    void checkLastReply(const char* what) const;
    void checkStatus(int status, const char* what) const;
    [[noreturn]] void fail(const std::string& why) const;

private:
    const char* m_side;
    amqp_connection_state_t m_state;
};
