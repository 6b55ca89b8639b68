#include "rmq_connection.h"

#include <amqp_tcp_socket.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int FrameMax = 131072; // what shardex's client asks for
constexpr int Heartbeat = 60;    // seconds, shardex's default

std::string describe(const amqp_rpc_reply_t& reply)
{
    switch (reply.reply_type) {
    case AMQP_RESPONSE_NORMAL: return "ok";
    case AMQP_RESPONSE_NONE: return "no reply";
    case AMQP_RESPONSE_LIBRARY_EXCEPTION: return amqp_error_string2(reply.library_error);
    case AMQP_RESPONSE_SERVER_EXCEPTION: break;
    }
    if (reply.reply.id == AMQP_CONNECTION_CLOSE_METHOD || reply.reply.id == AMQP_CHANNEL_CLOSE_METHOD) {
        // Both records have the same layout.
        const auto* close = static_cast<const amqp_connection_close_t*>(reply.reply.decoded);
        return "closed by the broker: " + std::to_string(close->reply_code) + " "
               + std::string(static_cast<const char*>(close->reply_text.bytes), close->reply_text.len);
    }
    return "unexpected method " + std::to_string(reply.reply.id);
}

} // namespace

void bench::fail(const char* side, const std::string& why)
{
    std::fprintf(stderr, "%s: %s\n", side, why.c_str());
    std::exit(1);
}

RmqConnection::RmqConnection(const char* side, int port, const std::string& vhost)
    : m_side(side), m_state(amqp_new_connection())
{
    amqp_socket_t* socket = amqp_tcp_socket_new(m_state);
    if (!socket)
        fail("cannot create a socket");
    checkStatus(amqp_socket_open(socket, "127.0.0.1", port), "connect");
    check(amqp_login(m_state, vhost.c_str(), 0, FrameMax, Heartbeat, AMQP_SASL_METHOD_PLAIN, "guest",
                     "guest"),
          "login");
    amqp_channel_open(m_state, Channel);
    checkLastReply("channel.open");
}

RmqConnection::~RmqConnection()
{
    amqp_channel_close(m_state, Channel, AMQP_REPLY_SUCCESS);
    amqp_connection_close(m_state, AMQP_REPLY_SUCCESS);
    amqp_destroy_connection(m_state);
}

void RmqConnection::check(const amqp_rpc_reply_t& reply, const char* what) const
{
    if (reply.reply_type != AMQP_RESPONSE_NORMAL)
        fail(std::string(what) + ": " + describe(reply));
}

void RmqConnection::checkLastReply(const char* what) const
{
    check(amqp_get_rpc_reply(m_state), what);
}

void RmqConnection::checkStatus(int status, const char* what) const
{
    if (status != AMQP_STATUS_OK)
        fail(std::string(what) + ": " + amqp_error_string2(status));
}

void RmqConnection::fail(const std::string& why) const
{
    bench::fail(m_side, why);
}
