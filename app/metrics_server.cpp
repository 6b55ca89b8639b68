#include "metrics_server.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    default: return "Error";
    }
}

// A byte that may appear in a request line (printable ASCII), or the CR before its LF.
bool requestLineByte(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return (u >= 0x20 && u < 0x7f) || c == '\r';
}

bool tokenChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           QByteArray("!#$%&'*+-.^_`|~").contains(c);
}

bool validMethod(const QByteArray& method)
{
    return !method.isEmpty() && std::all_of(method.begin(), method.end(), tokenChar);
}

bool validVersion(const QByteArray& version)
{
    return version.size() == 8 && version.startsWith("HTTP/1.") && version.at(7) >= '0' && version.at(7) <= '9';
}

const QByteArray text_plain = "text/plain; charset=utf-8";

// How long to wait before accepting again after accept() failed.
constexpr int accept_retry_ms = 100;

} // namespace

MetricsServer::MetricsServer(std::function<QByteArray()> metrics, std::function<QString()> unhealthy,
                             std::function<QByteArray()> devices, QObject* parent)
    : QObject(parent), m_metrics(std::move(metrics)), m_unhealthy(std::move(unhealthy)), m_devices(std::move(devices))
{
    // accept() takes every pending connection at each newConnection, so
    // QTcpServer's pending list (maxPendingConnections) never fills up and it
    // never stops taking connections from the kernel's queue for that reason.
    connect(&m_server, &QTcpServer::newConnection, this, &MetricsServer::accept);
    // But it stops for good after an accept() that failed for another reason
    // than EAGAIN: out of descriptors, or a network error that Linux reports
    // for the new connection. Take up again a little later.
    connect(&m_server, &QTcpServer::acceptError, this, [this] {
        QTimer::singleShot(accept_retry_ms, this, [this] {
            if (m_server.isListening())
                m_server.resumeAccepting();
        });
    });
}

MetricsServer::~MetricsServer()
{
    close();
}

bool MetricsServer::listen(const QString& host, quint16 port, QString* error)
{
    close();
    const bool localhost = host == QLatin1String("localhost");
    const QHostAddress address = localhost ? QHostAddress(QHostAddress::LocalHost) : QHostAddress(host);
    // Short IPv4 forms such as "0" or "127.1" parse too, but in a setting they
    // are more likely a mistake than a wish to listen on every interface.
    const bool shortIpv4 = !localhost && address.protocol() == QAbstractSocket::IPv4Protocol &&
                           host.count(QLatin1Char('.')) != 3;
    if (address.isNull() || shortIpv4 || host.trimmed() != host) {
        if (error)
            *error = QStringLiteral("\"%1\" is not an IP address").arg(host);
        return false;
    }
    if (!m_server.listen(address, port)) {
        if (error) {
            const QString where = address.protocol() == QAbstractSocket::IPv6Protocol
                                      ? QStringLiteral("[%1]:%2").arg(address.toString()).arg(port)
                                      : QStringLiteral("%1:%2").arg(address.toString()).arg(port);
            *error = QStringLiteral("cannot listen on %1: %2").arg(where, m_server.errorString());
        }
        return false;
    }
    return true;
}

void MetricsServer::close()
{
    m_server.close();
    while (!m_clients.empty())
        drop(m_clients.begin()->first);
}

void MetricsServer::accept()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        // Qt reads no more from the kernel than one request may hold.
        socket->setReadBufferSize(max_request);
        Client& client = m_clients[socket];
        client.arrival = ++m_arrivals;
        client.end = QDeadlineTimer(m_clientTimeout);
        client.deadline = new QTimer(socket);
        client.deadline->setSingleShot(true);
        connect(client.deadline, &QTimer::timeout, this, [this, socket] { drop(socket); });
        client.deadline->start(std::min(m_requestTimeout, m_clientTimeout));
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { drop(socket); });
        // A peer that closes its side still gets the answer (Qt flushes it and
        // then reports disconnected); any other error ends the connection.
        connect(socket, &QTcpSocket::errorOccurred, this, [this, socket](QAbstractSocket::SocketError e) {
            if (e != QAbstractSocket::RemoteHostClosedError)
                drop(socket);
        });
        // Now rather than at the event loop's next turn: a request already
        // there is answered before later connections can take its place, and a
        // peer already gone takes no place from anyone.
        readArrived(socket);
        if (m_clients.size() > static_cast<size_t>(max_clients) && !makeRoom())
            drop(socket); // every other place holds an answer still being written
    }
}

bool MetricsServer::makeRoom()
{
    // Each turn answers or drops a client without an answer: max_clients + 1 turns at most.
    while (m_clients.size() > static_cast<size_t>(max_clients)) {
        QTcpSocket* oldest = nullptr;
        quint64 arrival = 0;
        for (const auto& [socket, client] : m_clients) {
            if (!client.answered && (!oldest || client.arrival < arrival)) {
                oldest = socket;
                arrival = client.arrival;
            }
        }
        if (!oldest)
            return false;
        readArrived(oldest);
        const auto it = m_clients.find(oldest);
        if (it != m_clients.end() && !it->second.answered)
            drop(oldest);
    }
    return true;
}

void MetricsServer::read(QTcpSocket* socket)
{
    const auto it = m_clients.find(socket);
    if (it == m_clients.end())
        return;
    Client& client = it->second;
    if (client.answered) {
        // Whatever follows the headers is discarded, so that the close after
        // the answer does not find unread bytes and reset the connection.
        socket->skip(socket->bytesAvailable());
        return;
    }
    const qint64 room = max_request - client.head.size();
    client.head += socket->read(std::min(room, socket->bytesAvailable()));
    parse(socket, client);
}

void MetricsServer::readArrived(QTcpSocket* socket)
{
    Client& client = m_clients.at(socket);
    // Straight from the kernel: Qt's own buffer is empty for a client still
    // waiting, since read() takes all of it each time (or answers 431).
    char bytes[max_request];
    const auto room = static_cast<size_t>(max_request - client.head.size());
    const ssize_t n = ::recv(static_cast<int>(socket->socketDescriptor()), bytes, room, MSG_DONTWAIT);
    if (n > 0) {
        client.head.append(bytes, static_cast<int>(n));
        parse(socket, client);
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        drop(socket); // gone before a whole request: nothing to answer
    }
}

void MetricsServer::parse(QTcpSocket* socket, Client& client)
{
    const QByteArray& head = client.head;
    for (int i = client.scanned; i < head.size(); ++i) {
        const char c = head.at(i);
        if (c != '\n') {
            if (!client.haveRequestLine && !requestLineByte(c)) {
                answer(socket, client, 400, text_plain, "bad request\n");
                return;
            }
            continue;
        }
        int length = i - client.lineStart;
        if (length > 0 && head.at(i - 1) == '\r')
            --length;
        const int start = client.lineStart;
        client.lineStart = i + 1;
        if (client.haveRequestLine) {
            if (length == 0) {
                answerRequest(socket, client);
                return;
            }
            continue;
        }
        const QList<QByteArray> parts = head.mid(start, length).split(' ');
        if (parts.size() != 3 || !validMethod(parts[0]) || parts[1].isEmpty() || !validVersion(parts[2])) {
            answer(socket, client, 400, text_plain, "bad request\n");
            return;
        }
        client.haveRequestLine = true;
        client.method = parts[0];
        const int query = parts[1].indexOf('?');
        client.path = query < 0 ? parts[1] : parts[1].left(query);
    }
    client.scanned = head.size();
    if (head.size() >= max_request)
        answer(socket, client, 431, text_plain, "request header fields too large\n");
}

void MetricsServer::answerRequest(QTcpSocket* socket, Client& client)
{
    if (client.method != "GET") {
        answer(socket, client, 405, text_plain, "method not allowed\n", "Allow: GET\r\n");
    } else if (client.path == "/metrics") {
        answer(socket, client, 200, "text/plain; version=0.0.4", m_metrics());
    } else if (client.path == "/devices" && m_devices) {
        answer(socket, client, 200, "application/json", m_devices());
    } else if (client.path == "/livez") {
        // Answered by the event loop itself, whatever the brokers do: only a
        // process that no longer turns it fails this probe.
        answer(socket, client, 200, text_plain, "alive");
    } else if (client.path == "/healthz") {
        const QString reason = m_unhealthy();
        if (reason.isEmpty())
            answer(socket, client, 200, text_plain, "ok");
        else
            answer(socket, client, 503, text_plain, reason.toUtf8());
    } else {
        answer(socket, client, 404, text_plain, "not found\n");
    }
}

void MetricsServer::answer(QTcpSocket* socket, Client& client, int status, const QByteArray& contentType,
                           const QByteArray& body, const QByteArray& extraHeaders)
{
    client.answered = true;
    client.head = QByteArray();
    extendDeadline(client);
    QByteArray response = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    response += "Content-Type: " + contentType + "\r\n";
    response += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    response += "Connection: close\r\n";
    response += extraHeaders;
    response += "\r\n";
    response += body;
    socket->write(response);
    socket->skip(socket->bytesAvailable());
    // Written now, so that a short answer frees its place at once. Closes once
    // the answer is written; the deadline still bounds how long that may
    // take. `client` may be gone after either call.
    socket->flush();
    socket->disconnectFromHost();
}

void MetricsServer::extendDeadline(Client& client)
{
    client.deadline->start(static_cast<int>(std::max<qint64>(0, client.end.remainingTime())));
}

void MetricsServer::drop(QTcpSocket* socket)
{
    const auto it = m_clients.find(socket);
    if (it == m_clients.end())
        return;
    it->second.deadline->stop();
    m_clients.erase(it);
    disconnect(socket, nullptr, this, nullptr);
    socket->abort();
    socket->deleteLater();
}
