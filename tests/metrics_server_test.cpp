#include "app/metrics_server.h"

#include "support/http_get.h"
#include "support/idle_peer.h"
#include "support/timed_probes.h"
#include "support/wait.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <vector>

namespace {

const QByteArray page = "# TYPE shardex_test_total counter\nshardex_test_total 7\n";
const QByteArray devices = R"({"window_seconds":60,"bodies":0,"devices":[]})";

// A server on 127.0.0.1 with fake callbacks.
struct Fixture {
    int scrapes = 0;
    QString reason;
    MetricsServer server{[this] {
                             ++scrapes;
                             return page;
                         },
                         [this] { return reason; }, [] { return devices; }};

    Fixture()
    {
        QString error;
        EXPECT_TRUE(server.listen(QStringLiteral("127.0.0.1"), 0, &error)) << error.toStdString();
    }
};

// A client connection that records what it receives and when it is closed.
struct Client {
    QTcpSocket socket;
    QByteArray received;
    bool connected = false;
    bool closed = false;

    explicit Client(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::connected, [this] { connected = true; });
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        QObject::connect(&socket, &QTcpSocket::disconnected, [this] { closed = true; });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
};

using Clients = std::vector<std::unique_ptr<Client>>;

long countOf(const Clients& clients, bool Client::*flag)
{
    return std::count_if(clients.begin(), clients.end(), [&](const auto& c) { return (*c).*flag; });
}

// n clients, once all are connected.
Clients connectClients(quint16 port, int n)
{
    Clients clients;
    for (int i = 0; i < n; ++i)
        clients.push_back(std::make_unique<Client>(port));
    EXPECT_TRUE(waitFor([&] { return countOf(clients, &Client::connected) == n; }));
    return clients;
}

struct Response {
    QByteArray statusLine;
    QByteArray headers; // each line followed by CRLF
    QByteArray body;
};

Response split(const QByteArray& raw)
{
    Response r;
    const int end = raw.indexOf("\r\n\r\n");
    if (end < 0)
        return r;
    const int firstLine = raw.indexOf("\r\n");
    r.statusLine = raw.left(firstLine);
    r.headers = raw.mid(firstLine + 2, end - firstLine);
    r.body = raw.mid(end + 4);
    return r;
}

// Sends the request (in pieces of `chunk` bytes when not 0) and returns all
// that came back once the server has closed the connection.
QByteArray exchange(quint16 port, const QByteArray& request, int chunk = 0)
{
    Client c(port);
    if (!waitFor([&] { return c.connected; }, 5000))
        return "not connected";
    for (int at = 0; at < request.size(); at += chunk > 0 ? chunk : request.size()) {
        c.socket.write(request.mid(at, chunk > 0 ? chunk : -1));
        if (chunk > 0)
            spin(10);
    }
    if (!waitFor([&] { return c.closed; }, 5000))
        return "not closed";
    return c.received;
}

} // namespace

TEST(MetricsServer, AnswersEachRequestWithItsStatusAndClosesTheConnection)
{
    const QByteArray bigHeader = "X-Filler: " + QByteArray(9 * 1024, 'a') + "\r\n";
    struct Row {
        const char* name;
        QByteArray request;
        QString unhealthy;
        int chunk;
        QByteArray status;
        QByteArray header; // a header line the response must have
        QByteArray body;   // null: not checked
    };
    const std::vector<Row> rows = {
        {"metrics", "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", {}, 0, "HTTP/1.1 200 OK",
         "Content-Type: text/plain; version=0.0.4\r\n", page},
        {"query string ignored", "GET /metrics?x=1&y HTTP/1.0\r\n\r\n", {}, 0, "HTTP/1.1 200 OK", {}, page},
        {"request in small pieces", "GET /metrics HTTP/1.1\r\nHost: x\r\nAccept: */*\r\n\r\n", {}, 3,
         "HTTP/1.1 200 OK", {}, page},
        {"bare LF line ends", "GET /metrics HTTP/1.1\nHost: x\n\n", {}, 0, "HTTP/1.1 200 OK", {}, page},
        {"healthy", "GET /healthz HTTP/1.1\r\n\r\n", {}, 0, "HTTP/1.1 200 OK", {}, "ok"},
        {"devices", "GET /devices HTTP/1.1\r\n\r\n", {}, 0, "HTTP/1.1 200 OK", "Content-Type: application/json\r\n",
         devices},
        {"unhealthy", "GET /healthz HTTP/1.1\r\n\r\n", "the consumer is not active", 0, "HTTP/1.1 503 Service Unavailable",
         "Content-Type: text/plain; charset=utf-8\r\n", "the consumer is not active"},
        {"alive while unhealthy", "GET /livez HTTP/1.1\r\n\r\n", "the consumer is not active", 0, "HTTP/1.1 200 OK",
         "Content-Type: text/plain; charset=utf-8\r\n", "alive"},
        {"unknown path", "GET /metrics/x HTTP/1.1\r\n\r\n", {}, 0, "HTTP/1.1 404 Not Found", {}, {}},
        {"other method, body not read", "POST /metrics HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", {}, 0,
         "HTTP/1.1 405 Method Not Allowed", "Allow: GET\r\n", {}},
        {"binary garbage, no line end", QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11), {}, 0,
         "HTTP/1.1 400 Bad Request", {}, {}},
        {"no version", "GET /metrics\r\n\r\n", {}, 0, "HTTP/1.1 400 Bad Request", {}, {}},
        {"two spaces", "GET  /metrics HTTP/1.1\r\n\r\n", {}, 0, "HTTP/1.1 400 Bad Request", {}, {}},
        {"HTTP/2 version", "GET /metrics HTTP/2.0\r\n\r\n", {}, 0, "HTTP/1.1 400 Bad Request", {}, {}},
        {"9 KiB of headers", "GET /metrics HTTP/1.1\r\n" + bigHeader + "\r\n", {}, 0,
         "HTTP/1.1 431 Request Header Fields Too Large", {}, {}},
    };

    Fixture f;
    int pages = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        f.reason = row.unhealthy;
        const Response r = split(exchange(f.server.port(), row.request, row.chunk));
        EXPECT_EQ(r.statusLine, row.status);
        EXPECT_TRUE(r.headers.contains("Content-Length: " + QByteArray::number(r.body.size()) + "\r\n"))
            << r.headers.toStdString();
        EXPECT_TRUE(r.headers.contains("Connection: close\r\n"));
        if (!row.header.isEmpty()) {
            EXPECT_TRUE(r.headers.contains(row.header)) << r.headers.toStdString();
        }
        if (!row.body.isNull()) {
            EXPECT_EQ(r.body, row.body);
        }
        if (row.body == page)
            ++pages;
    }
    EXPECT_EQ(f.scrapes, pages) << "the page is built for scrapes of /metrics only";
}

TEST(MetricsServer, DropsIdleAndSlowClientsAtTheTimeoutFromTheirArrival)
{
    Fixture f;
    const int timeout = 300;
    f.server.setClientTimeout(timeout);

    QElapsedTimer clock;
    clock.start();
    Client idle(f.server.port());
    ASSERT_TRUE(waitFor([&] { return idle.closed; }, 3000)) << "an idle client is dropped";
    EXPECT_GE(clock.elapsed(), timeout - 50) << "but not before its time";
    EXPECT_TRUE(idle.received.isEmpty());

    // One byte per 100 ms: the request would be complete after 2.5 s, and
    // every byte arrives well within the timeout of the one before.
    const QByteArray request = "GET /metrics HTTP/1.1\r\n\r\n";
    Client slow(f.server.port());
    int sent = 0;
    QTimer drip;
    QObject::connect(&drip, &QTimer::timeout, [&] {
        if (sent < request.size() && slow.socket.state() == QAbstractSocket::ConnectedState)
            slow.socket.write(request.mid(sent++, 1));
    });
    drip.start(100);
    clock.restart();
    ASSERT_TRUE(waitFor([&] { return slow.closed; }, 3000));
    EXPECT_LT(clock.elapsed(), 2000);
    EXPECT_LT(sent, request.size());
    EXPECT_TRUE(slow.received.isEmpty());
    EXPECT_EQ(f.scrapes, 0);

    EXPECT_TRUE(split(exchange(f.server.port(), request)).statusLine.endsWith("200 OK")) << "still serving";
}

TEST(MetricsServer, BoundsConcurrentClientsAndRefusesAnAddressItCannotListenOn)
{
    Fixture f;
    f.server.setRequestTimeout(5000); // only making room closes a client here
    const int extra = 3;
    const Clients clients = connectClients(f.server.port(), MetricsServer::max_clients + extra);
    ASSERT_TRUE(waitFor([&] { return countOf(clients, &Client::closed) >= extra; }));
    spin(100);
    for (size_t i = 0; i < clients.size(); ++i)
        EXPECT_EQ(clients[i]->closed, i < size_t(extra)) << i << ": the oldest idle clients make room at once";

    // A request line keeps no place either: the oldest client without an answer makes room.
    for (auto& c : clients) {
        if (!c->closed)
            c->socket.write("GET /healthz HTTP/1.1\r\n");
    }
    spin(100);
    Client late(f.server.port());
    EXPECT_TRUE(waitFor([&] { return clients[extra]->closed; }, 1000));
    EXPECT_TRUE(clients[extra]->received.isEmpty());
    late.socket.write("GET /healthz HTTP/1.1\r\n\r\n");
    for (auto& c : clients) {
        if (!c->closed)
            c->socket.write("\r\n");
    }
    ASSERT_TRUE(waitFor([&] { return late.closed && countOf(clients, &Client::closed) == long(clients.size()); }));
    EXPECT_TRUE(late.received.startsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_EQ(std::count_if(clients.begin(), clients.end(),
                            [](const auto& c) { return c->received.startsWith("HTTP/1.1 200 OK\r\n"); }),
              MetricsServer::max_clients - 1);
    EXPECT_TRUE(split(exchange(f.server.port(), "GET /healthz HTTP/1.1\r\n\r\n")).statusLine.endsWith("200 OK"))
        << "closed connections free their place";

    QTcpServer other;
    ASSERT_TRUE(other.listen(QHostAddress::LocalHost, 0));
    MetricsServer second([] { return QByteArray(); }, [] { return QString(); });
    struct Refusal {
        QString host;
        quint16 port;
        QString inError;
    };
    const std::vector<Refusal> refusals = {
        {QStringLiteral("127.0.0.1"), other.serverPort(), QString::number(other.serverPort())},
        {QStringLiteral("metrics.example"), 0, QStringLiteral("\"metrics.example\" is not an IP address")},
        {QStringLiteral("[::1]"), 0, QStringLiteral("\"[::1]\" is not an IP address")},
        {QStringLiteral("0"), 0, QStringLiteral("\"0\" is not an IP address")},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.host.toStdString());
        QString error;
        EXPECT_FALSE(second.listen(r.host, r.port, &error));
        EXPECT_TRUE(error.contains(r.inError)) << error.toStdString();
        EXPECT_FALSE(second.isListening());
    }
    QString error;
    EXPECT_TRUE(second.listen(QStringLiteral("localhost"), 0, &error)) << error.toStdString();
    EXPECT_NE(second.port(), 0);
}

TEST(MetricsServer, AnswersAProbeAtOnceWhileIdleClientsHoldEveryPlace)
{
    Fixture f;
    f.server.setRequestTimeout(5000); // only making room can let the probe in
    const Clients idle = connectClients(f.server.port(), MetricsServer::max_clients);
    spin(100);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(httpGet(f.server.port(), "/healthz", 1000).status, 200);
    EXPECT_LT(clock.elapsed(), 500);
    EXPECT_TRUE(waitFor([&] { return idle.front()->closed; }, 1000)) << "the oldest made room";
    EXPECT_EQ(countOf(idle, &Client::closed), 1);
}

TEST(MetricsServer, DropsAClientWithoutACompleteRequestAtTheRequestTimeout)
{
    Fixture f;
    f.server.setRequestTimeout(100);
    Client idle(f.server.port());
    Client lineOnly(f.server.port());
    lineOnly.socket.write("GET /healthz HTTP/1.1\r\nHost: x\r\n");
    Client prompt(f.server.port());
    prompt.socket.write("GET /healthz HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(waitFor([&] { return idle.closed && lineOnly.closed && prompt.closed; }, 3000));
    EXPECT_TRUE(idle.received.isEmpty());
    EXPECT_TRUE(lineOnly.received.isEmpty()) << "a request line and headers in time do not extend the request timeout";
    EXPECT_TRUE(prompt.received.startsWith("HTTP/1.1 200 OK\r\n"));
}

TEST(MetricsServer, AnswersProbesWhileAPeerOpensIdleConnections)
{
    const auto openFds = [] {
        const std::filesystem::directory_iterator fds("/proc/self/fd");
        return std::distance(begin(fds), end(fds));
    };
    Fixture f;
    const auto fdsBefore = openFds();
    IdlePeer peer(f.server.port(), 1000, 20); // 50 a second for 20 s
    spin(5000);
    int answered = 0;
    QElapsedTimer clock;
    for (int i = 0; i < 20; ++i) {
        clock.start();
        if (httpGet(f.server.port(), "/healthz", 1000).status == 200 && clock.elapsed() <= 1000)
            ++answered;
        spin(int(std::max<qint64>(0, 100 - clock.elapsed())));
    }
    EXPECT_GE(answered, 19);
    EXPECT_FALSE(peer.done()) << "the probes were over before the peer";
    ASSERT_TRUE(waitFor([&] { return peer.done(); }, 30000));
    EXPECT_EQ(peer.opened(), 1000);
    EXPECT_TRUE(waitFor([&] { return openFds() <= fdsBefore; }, 3000)) << "every connection was closed";
    EXPECT_EQ(httpGet(f.server.port(), "/healthz", 1000).status, 200);
}

TEST(MetricsServer, AnswersProbesInTimeWhilePeersHoldOrFloodThePlaces)
{
    struct Row {
        const char* name;
        int holders; // connections that send a request line, and again each time they are closed
        int dripMs;  // then a header byte this often, when not 0
        int burst;   // connections opened and closed right behind each probe
    };
    const std::vector<Row> rows = {
        {"every place held with a request line", MetricsServer::max_clients, 0, 0},
        {"every place held with a request line, then a header byte every 500 ms", MetricsServer::max_clients, 500,
         0},
        {"a connect-and-close flood queued behind each probe", 0, 0, 32},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Fixture f;
        HoldingPeers holders(f.server.port(), row.holders, "GET /livez HTTP/1.1\r\n", row.dripMs, 30000);
        ASSERT_TRUE(waitFor([&] { return holders.holding() == row.holders; }, 5000));
        TimedProbes probes(f.server.port(), "/livez", 20, 150, 1000, row.burst);
        ASSERT_TRUE(waitFor([&] { return probes.done(); }, 30000));
        EXPECT_GE(probes.answered(), 19) << "of " << probes.sent() << ", the slowest in " << probes.slowestMs()
                                         << " ms";
    }
}
