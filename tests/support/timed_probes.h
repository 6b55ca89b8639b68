#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

// Peers of an HTTP server on 127.0.0.1, each on a thread of its own so that the
// event loop of a server in this process keeps turning and no probe waits for it.

namespace timed_probes {

using Clock = std::chrono::steady_clock;

// A non-blocking connection to 127.0.0.1:port under way; -1 when there is no socket.
inline int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return fd;
}

inline int msUntil(Clock::time_point t)
{
    return int(std::max<qint64>(0, std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count()));
}

} // namespace timed_probes

// `count` connections that each send `request` once connected and then, when
// dripMs > 0, one byte of a header line that never ends every dripMs. A
// connection the server closes is opened again at once, 1000 openings at most;
// all is over when destroyed or after limitMs.
class HoldingPeers {
public:
    HoldingPeers(quint16 port, int count, QByteArray request, int dripMs, int limitMs)
        : m_request(std::move(request)), m_thread([=] { run(port, count, dripMs, limitMs); })
    {
    }
    ~HoldingPeers()
    {
        m_stop = true;
        m_thread.join();
    }
    // Connections open that have sent their request.
    int holding() const { return m_holding; }

private:
    void run(quint16 port, int count, int dripMs, int limitMs)
    {
        using namespace timed_probes;
        const auto end = Clock::now() + std::chrono::milliseconds(limitMs);
        std::vector<pollfd> peers;
        std::vector<bool> sent(size_t(count), false);
        for (int i = 0; i < count; ++i)
            peers.push_back({connectTo(port), POLLOUT, 0});
        int opened = count;
        const QByteArray header = "X-Slow: ";
        int dripped = 0;
        auto nextDrip = Clock::now() + std::chrono::milliseconds(dripMs);
        while (!m_stop && Clock::now() < end) {
            ::poll(peers.data(), peers.size(), 10);
            for (size_t i = 0; i < peers.size(); ++i) {
                pollfd& p = peers[i];
                if (p.revents == 0)
                    continue;
                char discard[512];
                const bool writable = !sent[i] && (p.revents & POLLOUT) && !(p.revents & (POLLERR | POLLHUP));
                if (writable && ::send(p.fd, m_request.constData(), size_t(m_request.size()), MSG_NOSIGNAL) > 0) {
                    sent[i] = true;
                    p.events = POLLIN | POLLRDHUP;
                } else if (writable || ::recv(p.fd, discard, sizeof discard, MSG_DONTWAIT) <= 0) {
                    // Closed by the server (or never connected): take the place again.
                    ::close(p.fd);
                    sent[i] = false;
                    p = {opened < 1000 ? connectTo(port) : -1, POLLOUT, 0};
                    opened += p.fd >= 0 ? 1 : 0;
                }
            }
            if (dripMs > 0 && Clock::now() >= nextDrip) {
                const char byte = dripped < header.size() ? header.at(dripped) : 'a';
                ++dripped;
                for (size_t i = 0; i < peers.size(); ++i) {
                    if (sent[i])
                        ::send(peers[i].fd, &byte, 1, MSG_NOSIGNAL);
                }
                nextDrip += std::chrono::milliseconds(dripMs);
            }
            m_holding = int(std::count(sent.begin(), sent.end(), true));
        }
        for (const pollfd& p : peers)
            ::close(p.fd);
    }

    const QByteArray m_request;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_holding{0};
    std::thread m_thread; // last, so that it starts once the rest is set up
};

// `count` probes `GET path HTTP/1.1`, one every intervalMs. A probe is answered
// when "HTTP/1.1 200 " came back within limitMs of the start of its connect;
// it is given up at limitMs. After each probe's request, `burst` more
// connections are opened and closed at once, so that the server finds them
// queued right behind the probe.
class TimedProbes {
public:
    TimedProbes(quint16 port, QByteArray path, int count, int intervalMs, int limitMs, int burst)
        : m_request("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"),
          m_thread([=] { run(port, count, intervalMs, limitMs, burst); })
    {
    }
    ~TimedProbes()
    {
        m_stop = true;
        m_thread.join();
    }
    bool done() const { return m_done; }
    int sent() const { return m_sent; }
    int answered() const { return m_answered; }
    // The slowest answered probe, from the start of its connect to its status line.
    int slowestMs() const { return m_slowestMs; }

private:
    void run(quint16 port, int count, int intervalMs, int limitMs, int burst)
    {
        using namespace timed_probes;
        auto next = Clock::now();
        for (int i = 0; i < count && !m_stop; ++i) {
            std::this_thread::sleep_until(next);
            next += std::chrono::milliseconds(intervalMs);
            const auto start = Clock::now();
            const bool ok = probe(port, start + std::chrono::milliseconds(limitMs), burst);
            const int ms = int(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
            ++m_sent;
            if (ok) {
                ++m_answered;
                m_slowestMs = std::max(m_slowestMs.load(), ms);
            }
        }
        m_done = true;
    }

    bool probe(quint16 port, timed_probes::Clock::time_point deadline, int burst) const
    {
        using namespace timed_probes;
        pollfd p{connectTo(port), POLLOUT, 0};
        if (p.fd < 0)
            return false;
        int error = 0;
        socklen_t length = sizeof error;
        const bool connected = ::poll(&p, 1, msUntil(deadline)) == 1 &&
                               ::getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
        bool ok = connected && ::send(p.fd, m_request.constData(), size_t(m_request.size()), MSG_NOSIGNAL) ==
                                   ssize_t(m_request.size());
        for (int i = 0; ok && i < burst; ++i) {
            const int fd = connectTo(port);
            if (fd >= 0)
                ::close(fd);
        }
        const char expected[] = "HTTP/1.1 200 ";
        char reply[sizeof expected - 1] = {};
        size_t got = 0;
        p.events = POLLIN;
        while (ok && got < sizeof reply && ::poll(&p, 1, msUntil(deadline)) == 1) {
            const ssize_t n = ::recv(p.fd, reply + got, sizeof reply - got, 0);
            ok = n > 0;
            got += ok ? size_t(n) : 0;
        }
        ::close(p.fd);
        return got == sizeof reply && std::memcmp(reply, expected, sizeof reply) == 0 && Clock::now() <= deadline;
    }

    const QByteArray m_request;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
    std::atomic<int> m_sent{0};
    std::atomic<int> m_answered{0};
    std::atomic<int> m_slowestMs{0};
    std::thread m_thread; // last, so that it starts once the rest is set up
};
