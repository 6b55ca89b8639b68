#pragma once

#include <QString>

// Why a connection attempt failed, a connection ended or a channel closed. The
// broker's AMQP reply codes (from connection.close or channel.close: 320, 403,
// 404, 406, 530, ...) keep their numbers; causes found by this side have codes
// from 1000 up, so the two never mix. The text says what happened and never
// holds a password.
struct QAmqpError {
    enum Code : int {
        NoError = 0,
        SocketError = 1000, // the transport failed, or the broker closed the socket
        Timeout,            // no handshake in time, no data for two heartbeats, output that did not drain
        ProtocolError,      // the broker broke the protocol; this side closed the connection
        HandshakeRefused,   // the broker wants what this client does not do (version, login mechanism)
        InvalidUrl,
        Unencodable,        // a method this side cannot put on the wire (a name over 255 bytes, ...)
        ChannelLimit,       // the broker's channel_max leaves no room for the channel
    };

    int code = NoError;
    QString text;

    bool isError() const { return code != NoError; }
    bool isBrokerReply() const { return code > 0 && code < SocketError; }
};
