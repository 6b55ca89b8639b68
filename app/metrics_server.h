#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <QTcpServer>

#include <functional>
#include <unordered_map>

class QTcpSocket;
class QTimer;

// A small HTTP/1.x endpoint on the event loop for scrapes and health checks:
//   GET /metrics  200, the page from metrics(), built only when asked for;
//   GET /healthz  200 "ok", or 503 with the reason while unhealthy() says one
//                 (readiness: the service does its work now);
//   GET /livez    200 "alive" whenever the event loop turns (liveness);
//   GET /devices  200, the JSON from devices() (the loudest devices), built
//                 only when asked for; 404 when there is no such callback.
// One request per connection, answered as soon as its headers are complete
// (a request body is never read), then the connection is closed. Every client
// has the request timeout, counted from its arrival, to send its request line
// and headers, and the client timeout to take its answer as well; after that
// it is aborted, so that neither a slow sender nor a client that never reads
// can hold a connection or its memory. Work per read is bounded by
// max_request, and the number of connections by max_clients: when they are
// all taken, the client that has waited longest without an answer makes room,
// whatever it has sent. What a new connection has already sent is read as it
// is accepted, so that a health probe is answered before later connections
// can make it the longest waiting.
class MetricsServer : public QObject {
    Q_OBJECT
public:
    // metrics(): the page for GET /metrics; unhealthy(): empty while healthy, else a one-line reason;
    // devices(): the JSON for GET /devices.
    MetricsServer(std::function<QByteArray()> metrics, std::function<QString()> unhealthy,
                  std::function<QByteArray()> devices = {}, QObject* parent = nullptr);
    ~MetricsServer() override;

    // Listens on host (an IP address literal, IPv6 without brackets, or
    // "localhost" for 127.0.0.1) and port, after closing any earlier listener;
    // false with a reason when the host is not an address or the port cannot be bound.
    bool listen(const QString& host, quint16 port, QString* error);
    // Stops listening and drops every client.
    void close();
    bool isListening() const { return m_server.isListening(); }
    // The port listened on (the one picked when listening on port 0), 0 when not listening.
    quint16 port() const { return m_server.serverPort(); }
    // How long a client may take from its arrival to its answer, for the
    // connections accepted from now on (5000 ms otherwise).
    void setClientTimeout(int ms) { m_clientTimeout = ms; }
    // How long a client may take from its arrival to a complete request (line
    // and headers), for the connections accepted from now on (1000 ms otherwise).
    void setRequestTimeout(int ms) { m_requestTimeout = ms; }

    static constexpr int max_request = 8192; // request line and headers
    // Concurrent connections. One more takes the place of the client that has
    // waited longest without an answer, or is closed at once when all are answered.
    static constexpr int max_clients = 16;

private:
    struct Client {
        quint64 arrival = 0;  // the order of arrival
        QTimer* deadline = nullptr; // the request's, then the whole exchange's
        QDeadlineTimer end;   // the whole exchange's deadline
        QByteArray head;      // what arrived of the request line and headers
        int scanned = 0;      // bytes of head already looked at
        int lineStart = 0;    // where the current line starts in head
        bool haveRequestLine = false;
        bool answered = false;
        QByteArray method;
        QByteArray path;      // without the query string
    };

    void accept();
    // Drops clients without an answer, the longest waiting first, until at
    // most max_clients are left; a request that has arrived in full is
    // answered instead. False when the clients left over the bound all have
    // their answer.
    bool makeRoom();
    // What Qt has read for the client.
    void read(QTcpSocket* socket);
    // What has arrived for a client still waiting and that Qt has not read yet,
    // without waiting for the event loop to look at the socket. Drops the
    // client when its peer has gone.
    void readArrived(QTcpSocket* socket);
    // Looks at the bytes of head not seen yet; answers once the headers are
    // complete, or at once when the request line cannot be valid.
    void parse(QTcpSocket* socket, Client& client);
    void answerRequest(QTcpSocket* socket, Client& client);
    void answer(QTcpSocket* socket, Client& client, int status, const QByteArray& contentType,
                const QByteArray& body, const QByteArray& extraHeaders = {});
    // From the request's deadline to the whole exchange's.
    static void extendDeadline(Client& client);
    void drop(QTcpSocket* socket);

    std::function<QByteArray()> m_metrics;
    std::function<QString()> m_unhealthy;
    std::function<QByteArray()> m_devices;
    QTcpServer m_server;
    std::unordered_map<QTcpSocket*, Client> m_clients; // references stay valid across inserts
    int m_clientTimeout = 5000;
    int m_requestTimeout = 1000;
    quint64 m_arrivals = 0;
};
