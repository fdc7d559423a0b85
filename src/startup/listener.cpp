// The listening endpoint: the first display number free on IPv4 and on IPv6.
#include "startup/listener.h"

#include "diag.h"
#include "startup/config.h"

#include <arpa/inet.h>
#include <cerrno>
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
