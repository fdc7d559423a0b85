// Who holds which TCP port on this machine, for tests that must reach an X server by port.
// Xvfb picks its display number from lock files alone, and when another program already holds
// the IPv4 port of that number it goes on with IPv6 only; localhost:M then leads elsewhere.
#pragma once

#include "support/xtest.h"

#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

// True when nothing holds port, on the IPv4 wildcard address nor on the IPv6 one.
inline bool portfree(int port)
{
    const int s4 = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s4 < 0)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool free4 = ::bind(s4, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s4);
    if (!free4)
        return false;
    const int s6 = ::socket(AF_INET6, SOCK_STREAM, 0);
    if (s6 < 0)
        return true; // no IPv6 here: nothing can hold the port there
    const int one = 1;
    ::setsockopt(s6, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    sockaddr_in6 a6{};
    a6.sin6_family = AF_INET6;
    a6.sin6_addr = in6addr_any;
    a6.sin6_port = htons(static_cast<uint16_t>(port));
    const bool free6 = ::bind(s6, reinterpret_cast<sockaddr*>(&a6), sizeof a6) == 0;
    ::close(s6);
    return free6;
}
