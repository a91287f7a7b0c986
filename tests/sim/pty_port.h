#pragma once
// The control centre's end of the simulated bus, with plain POSIX calls.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Arrival {
    Clock::time_point time;
    Bytes bytes;
};

class PtyPort {
public:
    explicit PtyPort(const std::string& path)
        : m_fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
    }
    ~PtyPort() { close(); }
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    bool send(const Bytes& b) { return ::write(m_fd, b.data(), b.size()) == ssize_t(b.size()); }

    // Every read until `count` bytes have come or `timeout` has passed.
    std::vector<Arrival> arrivals(size_t count, std::chrono::milliseconds timeout)
    {
        std::vector<Arrival> out;
        size_t total = 0;
        const auto end = Clock::now() + timeout;
        while (total < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, int(left.count()) + 1) <= 0 || !(p.revents & POLLIN))
                continue;
            uint8_t buf[256];
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n > 0) {
                out.push_back({Clock::now(), Bytes(buf, buf + n)});
                total += size_t(n);
            }
        }
        return out;
    }

    Bytes read(size_t count, std::chrono::milliseconds timeout = 1000ms)
    {
        Bytes all;
        for (auto& a : arrivals(count, timeout))
            all.insert(all.end(), a.bytes.begin(), a.bytes.end());
        return all;
    }

    // Whatever is waiting right now, after a short grace period.
    Bytes pending() { return read(1024, 30ms); }

private:
    int m_fd = -1;
};
