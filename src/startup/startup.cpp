// Start-up after the command line: the listener, the announcement, the destination checks,
// and the process made ready for the loop.
#include "startup/startup.h"

#include "diag.h"
#include "startup/config.h"
#include "startup/listener.h"

#include <X11/Xlib.h>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <ifaddrs.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

void openstandard()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            // open takes the lowest free number: this one.
            const int n = ::open("/dev/null", O_RDWR);
            if (n >= 0 && n != fd)
                ::close(n);
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

std::string destinationname(uint32_t addr, const char* name)
{
    in_addr a{};
    a.s_addr = addr;
    char dotted[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, dotted, sizeof dotted);
    const char* colon = std::strchr(name, ':');
    return std::string(dotted) + (colon != nullptr ? colon : "");
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

// Whether the whole setup reply arrives before the deadline: its 8-byte header, then the
// length the header gives, in 4-byte units, in the byte order asked for (little-endian). An
// end of file or an error counts as an answer: the probe then judges the destination.
static bool wholereply(int s, long deadline)
{
    unsigned char head[8];
    size_t got = 0;
    size_t want = sizeof head;
    char rest[4096];
    while (got < want) {
        if (!awaitfd(s, POLLIN, deadline))
            return false;
        const ssize_t n = got < sizeof head ? ::recv(s, head + got, sizeof head - got, 0)
                                            : ::recv(s, rest, std::min(sizeof rest, want - got), 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return true;
        got += static_cast<size_t>(n);
        if (got == sizeof head && want == sizeof head)
            want += 4U * (static_cast<size_t>(head[6]) | static_cast<size_t>(head[7]) << 8);
    }
    return true;
}

constexpr int SILENT = -2; // the destination took the connection and said nothing in time

// The probe through Xlib blocks, without a limit, on a destination that accepts the connection
// but never answers (a stopped X server, another relay that points back here), and nothing
// else would ever end that wait. So the destination is asked here first, on the very address
// every allowed client is relayed to: a minimal connection setup (byte order, protocol 11.0,
// no authorization) must draw its whole reply, or end of file, within the limit. A destination
// that refuses or cannot be reached is left to the probe, which reports it as always. Returns the
// connection, still open, when the destination answered: it may be closed only once the probe holds
// its own, since an X server whose last client leaves starts over and turns new clients away
// meanwhile. SILENT, or -1 when there is nothing to close.
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
    if (::send(s, setup, sizeof setup, MSG_NOSIGNAL) != sizeof setup)
        return s;
    if (wholereply(s, deadline))
        return s;
    ::close(s);
    return SILENT;
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

    static std::string dest; // lives for the whole run, as the configuration does
    dest = destinationname(dispaddr, dispname);
    destname = dest.c_str();
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
    if (XOpenDisplay(destname) == nullptr)
        die("Unable to open display at destination.\n");
    if (asked >= 0)
        ::close(asked);

    // Standard input and output are gone for good: descriptors 0 and 1 may carry relayed
    // connections from now on, and no stray write through stdout may ever reach them.
    std::fclose(stdin);
    std::fclose(stdout);

    std::signal(SIGPIPE, SIG_IGN);
}
