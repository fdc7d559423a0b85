// Clocks, bounded waits, loopback sockets and byte streams: the header-only part of the test
// support, shared by unit tests, integration tests and the tools built beside them.
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

inline long nowms()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

inline void sleepms(int ms)
{
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Polls cond every every_ms until it holds or timeout_ms has passed; whether it held.
inline bool waituntil(const std::function<bool()>& cond, int timeout_ms, int every_ms = 50)
{
    const long end = nowms() + timeout_ms;
    for (;;) {
        if (cond())
            return true;
        if (nowms() >= end)
            return false;
        sleepms(every_ms);
    }
}

// The first bytes an X client sends: the connection setup of a little-endian client, protocol
// 11.0, no authorisation.
inline const std::string XSETUP{"l\0\x0b\0\0\0\0\0\0\0\0\0", 12};

inline void nonblock(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// A listening socket on 127.0.0.1:port, -1 on failure.
inline int listenon(int port)
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    const int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 1024) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

// A client socket to 127.0.0.1:port from source address src (none when empty); without block
// the connect may still be in progress. -1 on failure.
inline int connectfrom(const std::string& src, int port, bool block = true)
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    sockaddr_in b{};
    b.sin_family = AF_INET;
    if (!src.empty() && (::inet_pton(AF_INET, src.c_str(), &b.sin_addr) != 1 ||
                         ::bind(s, reinterpret_cast<sockaddr*>(&b), sizeof b) != 0)) {
        ::close(s);
        return -1;
    }
    if (!block)
        nonblock(s);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
        ::close(s);
        return -1;
    }
    return s;
}

inline bool sendall(int fd, const std::string& bytes)
{
    size_t off = 0;
    while (off < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

// Waits at most ms for fd to become readable.
inline bool waitreadable(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

// Everything fd holds right now; *closed tells whether its far side has gone. A close with
// unread input makes the system reset the connection instead of ending it: both count.
inline std::string readnow(int fd, bool* closed = nullptr)
{
    std::string got;
    char buf[65536];
    if (closed != nullptr)
        *closed = false;
    for (int i = 0; i < 10000; ++i) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            got.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (closed != nullptr && (n == 0 || errno == ECONNRESET))
            *closed = true;
        break;
    }
    return got;
}

// Reads from fd until want bytes, or its far side is gone, for at most ms.
inline std::string readfor(int fd, size_t want, int ms, bool* closed = nullptr)
{
    std::string got;
    bool end = false;
    const long until = nowms() + ms;
    while (got.size() < want && !end && nowms() < until) {
        waitreadable(fd, 10);
        got += readnow(fd, &end);
    }
    if (closed != nullptr)
        *closed = end;
    return got;
}

// End of file on fd within ms, and not a byte before it: a connection closed unanswered.
inline bool endedbare(int fd, int ms = 6000)
{
    bool closed = false;
    return readfor(fd, 1, ms, &closed).empty() && closed;
}

// Seeded bytes, the same for the same length and seed.
inline std::string pattern(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(rng());
    return s;
}
