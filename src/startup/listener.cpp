// Start-up: the listening port, the announcement, the destination checks and the tables.
#include "startup/listener.h"

#include "diag.h"
#include "startup/config.h"

#include <X11/Xlib.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

int openlistener()
{
    int s = newlistener();
    for (int k = 0;; ++k) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(static_cast<uint16_t>(XPORTBASE + k));
        if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            if (::listen(s, LISTENBACKLOG) == 0) {
                mynum = k;
                return s;
            }
            if (errno != EADDRINUSE)
                diesys("listen");
            // Another program bound the same port at the same moment (address reuse lets two
            // binds succeed) and listened first: the port is taken after all. A bound socket
            // cannot be bound again, so the search goes on with a fresh one.
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

    // The probe stays open and unused until the process ends.
    if (XOpenDisplay(dispname) == nullptr)
        die("Unable to open display at destination.\n");

    // Standard input and output are gone for good: descriptors 0 and 1 may carry relayed
    // connections from now on, and no stray write through stdout may ever reach them.
    std::fclose(stdin);
    std::fclose(stdout);

    std::signal(SIGPIPE, SIG_IGN);
}
