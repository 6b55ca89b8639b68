#pragma once

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

// GET /healthz on 127.0.0.1:port every intervalMs from a thread of its own,
// so that what the test's own thread does (a blocking rabbitmqctl call) never
// delays a probe or its clock. A probe is answered when a status line came
// back before the server closed; its time runs from connect to close.
class HealthProber {
public:
    HealthProber(quint16 port, int intervalMs)
        : m_thread([this, port, intervalMs] { run(port, intervalMs); })
    {
    }
    ~HealthProber() { stop(); }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    int probes() const { return m_probes; }
    int answered() const { return m_answered; }
    int slowestMs() const { return m_slowestMs; }

private:
    void run(quint16 port, int intervalMs)
    {
        using clock = std::chrono::steady_clock;
        auto next = clock::now();
        while (!m_stop) {
            const auto start = clock::now();
            const bool ok = probe(port);
            const int ms = int(std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - start).count());
            ++m_probes;
            m_answered += ok ? 1 : 0;
            m_slowestMs = std::max(m_slowestMs.load(), ms);
            next += std::chrono::milliseconds(intervalMs);
            std::this_thread::sleep_until(std::max(next, clock::now()));
        }
    }
    static bool probe(quint16 port)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            return false;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        char reply[512] = {};
        size_t got = 0;
        const char request[] = "GET /healthz HTTP/1.0\r\n\r\n";
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0
            && ::send(fd, request, sizeof request - 1, MSG_NOSIGNAL) == ssize_t(sizeof request - 1)) {
            pollfd p{fd, POLLIN, 0};
            while (got < sizeof reply - 1 && ::poll(&p, 1, 5000) == 1) {
                const ssize_t n = ::recv(fd, reply + got, sizeof reply - 1 - got, 0);
                if (n <= 0)
                    break;
                got += size_t(n);
            }
        }
        ::close(fd);
        return std::strncmp(reply, "HTTP/1.1 ", 9) == 0;
    }

    std::atomic<bool> m_stop{false};
    std::atomic<int> m_probes{0};
    std::atomic<int> m_answered{0};
    std::atomic<int> m_slowestMs{0};
    std::thread m_thread; // last, so that it starts once the rest is set up
};
