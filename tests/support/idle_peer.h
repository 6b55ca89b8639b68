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
#include <thread>
#include <vector>

// A peer on a thread of its own (so that the event loop of a server in this
// process keeps turning) that opens `count` connections to 127.0.0.1:port, one
// every intervalMs, and sends nothing on them. It closes each one the server
// has closed, so that its descriptors stay few, and the rest when done.
class IdlePeer {
public:
    IdlePeer(quint16 port, int count, int intervalMs)
        : m_thread([this, port, count, intervalMs] { run(port, count, intervalMs); })
    {
    }
    ~IdlePeer()
    {
        m_stop = true;
        m_thread.join();
    }
    bool done() const { return m_done; }
    int opened() const { return m_opened; }

private:
    void run(quint16 port, int count, int intervalMs)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::vector<pollfd> open;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < count && !m_stop; ++i) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(i * intervalMs));
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            if (fd >= 0) {
                ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
                open.push_back({fd, POLLIN | POLLRDHUP, 0});
                ++m_opened;
            }
            ::poll(open.data(), open.size(), 0);
            const auto closed = [](const pollfd& p) {
                if (p.revents == 0)
                    return false;
                ::close(p.fd);
                return true;
            };
            open.erase(std::remove_if(open.begin(), open.end(), closed), open.end());
        }
        for (const pollfd& p : open)
            ::close(p.fd);
        m_done = true;
    }

    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
    std::atomic<int> m_opened{0};
    std::thread m_thread; // last, so that it starts once the rest is set up
};
