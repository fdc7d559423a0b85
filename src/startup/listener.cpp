// Start-up: the listening port, the announcement, the destination checks and the tables.
#include "startup/listener.h"

#include "diag.h"
#include "startup/config.h"

#include <X11/Xlib.h>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <ifaddrs.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

static int newlistener()
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        diesys("socket");
    const int one = 1;
    if (::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0)
        diesys("SO_REUSEADDR:"); // the word ends in a colon: two colons in the line, as ever
    return s;
}

// Errors by which the system says it has no IPv6 at all.
static bool noipv6(int e)
{
    return e == EAFNOSUPPORT || e == EPROTONOSUPPORT;
}

constexpr int TWINTAKEN = -1; // someone else has the port on IPv6
constexpr int NOTWIN = -2;    // no IPv6 on this system: nobody can have it there

// Clients of "localhost:N" try ::1 before 127.0.0.1 where the hosts file maps localhost to
// both, so whoever holds [::]:port would answer them in our place. The twin is bound, IPv6 only
// and without address reuse, so that no other program can bind the port there, not even with
// address reuse; it never listens, so a client trying ::1 is refused at once and falls back to
// IPv4. The bound descriptor, TWINTAKEN or NOTWIN; exits 1 on any other failure: a display
// whose twin cannot be held is not one to announce.
static int holdtwin(int port)
{
    const int s = ::socket(AF_INET6, SOCK_STREAM, 0);
    if (s < 0) {
        if (noipv6(errno))
            return NOTWIN;
        diesys("socket");
    }
    const int one = 1;
    if (::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) < 0)
        diesys("socket"); // shared with IPv4 it would collide with our own listener
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_any;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
        return s;
    const int e = errno;
    ::close(s);
    if (e == EADDRINUSE)
        return TWINTAKEN;
    if (noipv6(e))
        return NOTWIN;
    errno = e;
    diesys("bind");
}

int openlistener()
{
    bool ipv6 = true; // found missing once, it stays missing
    int s = newlistener();
    for (int k = 0;; ++k) {
        const int port = XPORTBASE + k;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            const int twin = ipv6 ? holdtwin(port) : NOTWIN;
            ipv6 = twin != NOTWIN;
            if (twin != TWINTAKEN) {
                if (::listen(s, LISTENBACKLOG) == 0) {
                    mynum = k;
                    return s; // the twin stays bound, never listening, until the process ends
                }
                if (errno != EADDRINUSE)
                    diesys("listen");
                // Another program bound the same port at the same moment (address reuse lets
                // two binds succeed) and listened first: the port is taken after all.
                if (twin >= 0)
                    ::close(twin);
            }
            // A bound socket cannot be bound again, so the search goes on with a fresh one.
            ::close(s);
            s = newlistener();
        } else if (errno != EADDRINUSE) {
            diesys("bind");
        }
        if (k == MAXDISPLAY)
            die("all ports in use.\n");
    }
}

uint16_t displaynumber(const char* name)
{
    const char* colon = std::strchr(name, ':');
    if (colon == nullptr)
        return 0;
    // Read as atoi reads, kept to the low 16 bits.
    const int v = static_cast<int>(std::strtol(colon + 1, nullptr, 10));
    return static_cast<uint16_t>(v);
}

// True when a connection to addr reaches this host: a loopback address, the wildcard address
// (connecting to it reaches this host), or an IPv4 address of one of its interfaces.
static bool thishost(uint32_t addr)
{
    const uint32_t a = ntohl(addr);
    if ((a >> 24) == IN_LOOPBACKNET || a == INADDR_ANY)
        return true;
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0)
        return false;
    bool found = false;
    for (const ifaddrs* i = all; i != nullptr && !found; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET)
            continue;
        sockaddr_in in{};
        std::memcpy(&in, i->ifa_addr, sizeof in);
        found = in.sin_addr.s_addr == addr;
    }
    ::freeifaddrs(all);
    return found;
}

constexpr int SETUPWAITMS = 10000; // for the destination's first byte, connecting included

static long nowms()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

// False when the deadline passes before fd shows any of events (or an error or hang-up).
static bool awaitfd(int fd, short events, long deadline)
{
    for (;;) {
        const long left = deadline - nowms();
        if (left <= 0)
            return false;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return true; // not a silence: left to the probe to judge
    }
}

constexpr int SILENT = -2; // the destination took the connection and said nothing in time

// The probe through Xlib blocks, without a limit, on a destination that accepts the connection
// but never answers (a stopped X server, another relay that points back here), and nothing
// else would ever end that wait. So the destination is asked here first, on the very address
// every allowed client is relayed to: a minimal connection setup (byte order, protocol 11.0,
// no authorization) must draw its first byte, or end of file, within the limit. A destination
// that refuses or cannot be reached is left to the probe, which reports it as always. A name
// that Xlib reaches over a Unix socket (no host part) never gets this far: it has no host to
// resolve. Returns the connection, still open, when the destination answered: it may be closed
// only once the probe holds its own, since an X server whose last client leaves starts over
// and turns new clients away meanwhile. SILENT, or -1 when there is nothing to close.
static int askdestination(const sockaddr_in& to, int ms)
{
    const long deadline = nowms() + ms;
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    if (::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        if (errno != EINPROGRESS) {
            ::close(s);
            return -1;
        }
        if (!awaitfd(s, POLLOUT, deadline)) {
            ::close(s);
            return SILENT;
        }
        int e = 0;
        socklen_t len = sizeof e;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &e, &len) != 0 || e != 0) {
            ::close(s);
            return -1;
        }
    }
    static constexpr unsigned char setup[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    // SIGPIPE is not ignored yet: a peer gone meanwhile must not end the process here.
    if (::send(s, setup, sizeof setup, MSG_NOSIGNAL) == sizeof setup &&
        !awaitfd(s, POLLIN, deadline)) {
        ::close(s);
        return SILENT;
    }
    return s;
}

// The one line the program ever writes on standard output.
static void announce()
{
    if (!terse)
        std::fputs("display is ", stdout);
    std::printf("%s:%d\n", myname, mynum);
    std::fflush(stdout);
}

void startup()
{
    lsock = openlistener();
    announce();

    dispnum = displaynumber(dispname);
    if (dispnum > MAXDISPLAY)
        die("display must be >= X11.0 and <= X11.100\n");
    if (nallow == 0)
        die("must specify at least one allowed host.\n");

    std::memset(&forward_to, 0, sizeof forward_to);
    forward_to.sin_family = AF_INET;
    forward_to.sin_port = htons(static_cast<uint16_t>(XPORTBASE + dispnum));
    forward_to.sin_addr.s_addr = dispaddr;

    // Our own display as the destination would relay every client back to ourselves, and its
    // probe would wait for ever on our own listener, which nobody serves yet.
    if (dispnum == mynum && thishost(dispaddr))
        die("Unable to open display at destination.\n");
    const int asked = askdestination(forward_to, SETUPWAITMS);
    if (asked == SILENT)
        die("Unable to open display at destination.\n");
    // The probe stays open and unused until the process ends.
    if (XOpenDisplay(dispname) == nullptr)
        die("Unable to open display at destination.\n");
    if (asked >= 0)
        ::close(asked);

    // Standard input and output are gone for good: descriptors 0 and 1 may carry relayed
    // connections from now on, and no stray write through stdout may ever reach them.
    std::fclose(stdin);
    std::fclose(stdout);

    std::signal(SIGPIPE, SIG_IGN);
}
