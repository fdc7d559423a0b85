// Helpers of the end-to-end tests: loopback clients with a chosen source address, the
// program's children and descriptors as /proc shows them, and a private X server whose TCP
// port is checked to be its own.
#pragma once

#include "support/xtest.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace e2e
{

// The first bytes an X client sends: the connection setup of a little-endian client, protocol
// 11.0, no authorisation.
inline const std::string XSETUP{"l\0\x0b\0\0\0\0\0\0\0\0\0", 12};

// Polls cond every 50 ms until it holds or timeout_ms has passed.
inline bool waituntil(const std::function<bool()>& cond, int timeout_ms)
{
    for (int waited = 0;; waited += 50) {
        if (cond())
            return true;
        if (waited >= timeout_ms)
            return false;
        sleepms(50);
    }
}

// A TCP connection to 127.0.0.1:port, from source address src when it is not empty; -1 on
// failure.
inline int connectfrom(const std::string& src, int port)
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    if (!src.empty()) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, src.c_str(), &a.sin_addr);
        if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(s);
            return -1;
        }
    }
    sockaddr_in d{};
    d.sin_family = AF_INET;
    d.sin_port = htons(static_cast<uint16_t>(port));
    d.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&d), sizeof d) != 0) {
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

struct received {
    std::string bytes;
    bool eof = false;   // the peer closed its end
    bool error = false; // the read failed
    int err = 0;        // its errno
    // The peer closed the connection. A close with unread input (the client's connection
    // setup, say) makes the system reset the connection instead of ending it.
    bool closed() const { return eof || (error && err == ECONNRESET); }
};

// Reads until end of file, an error, want bytes in all, or timeout_ms.
inline received readfor(int fd, int timeout_ms, size_t want = SIZE_MAX)
{
    received r;
    for (int waited = 0; r.bytes.size() < want && waited < timeout_ms;) {
        pollfd pf{fd, POLLIN, 0};
        const int p = ::poll(&pf, 1, 50);
        if (p <= 0) {
            waited += 50;
            continue;
        }
        char buf[65536];
        const size_t ask = std::min(sizeof buf, want - r.bytes.size());
        const ssize_t n = ::read(fd, buf, ask);
        if (n > 0) {
            r.bytes.append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            r.eof = true;
            break;
        } else if (errno != EINTR) {
            r.error = true;
            r.err = errno;
            break;
        }
    }
    return r;
}

// Seeded bytes, the same for the same seed and length.
inline std::string pattern(uint64_t seed, size_t len)
{
    std::string s(len, '\0');
    uint64_t x = seed | 1;
    for (auto& c : s) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

// The processes whose parent is pid.
inline std::vector<pid_t> childpids(pid_t pid)
{
    std::vector<pid_t> kids;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
        return kids;
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream f(dir + "/" + e->d_name + "/children");
        pid_t k;
        while (f >> k)
            kids.push_back(k);
    }
    ::closedir(d);
    return kids;
}

// What descriptor fd of process pid refers to ("socket:[123]", "/dev/null"), empty if closed.
inline std::string fdlink(pid_t pid, int fd)
{
    char buf[256];
    const std::string path = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

inline bool issocket(const std::string& link)
{
    return link.rfind("socket:", 0) == 0;
}

// Starts a private Xvfb that holds its own IPv4 port, or nullptr.
inline std::unique_ptr<xserver> startxvfb()
{
    auto x = std::make_unique<xserver>();
    return x->start() ? std::move(x) : nullptr;
}

// Reads the announcement of a program started by a test and waits until start-up is over
// (standard output is closed once the destination display has been probed). The announced
// display number, -1 on failure.
inline int started(proc& v)
{
    std::string line;
    if (!v.readline(line, 10000))
        return -1;
    const int n = announcednumber(line);
    if (!waituntil(
            [&] {
                v.drain(20);
                return v.out < 0;
            },
            10000))
        return -1;
    return n;
}

// Collects the program's standard error until it holds at least want bytes or timeout_ms passed.
inline const std::string& errafter(proc& v, size_t want, int timeout_ms)
{
    waituntil(
        [&] {
            v.drain(20);
            return v.errbuf.size() >= want;
        },
        timeout_ms);
    return v.errbuf;
}

// Ends the confirmation children of a program under test (they outlive it otherwise).
inline void killchildren(const proc& v)
{
    if (v.pid > 0 && !v.reaped)
        for (const pid_t k : childpids(v.pid))
            ::kill(k, SIGKILL);
}

// The expected refusal line for a client from addr, the way the program names it.
inline std::string badhostline(const char* addr)
{
    in_addr a{};
    ::inet_pton(AF_INET, addr, &a);
    const hostent* h = ::gethostbyaddr(&a, 4, AF_INET);
    const std::string name = h != nullptr && h->h_name != nullptr ? h->h_name : addr;
    return "bad host connect from " + name + " (" + addr + ")\n";
}

} // namespace e2e
