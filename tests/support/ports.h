// Who holds which TCP port on this machine, for tests that must reach an X server by port.
// Xvfb picks its display number from lock files alone, and when another program already holds
// the IPv4 port of that number it goes on with IPv6 only; localhost:M then leads elsewhere.
#pragma once

#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <netinet/in.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

// True when process pid holds a listening IPv4 TCP socket on port.
inline bool listensipv4(pid_t pid, int port)
{
    std::set<unsigned long> inodes;
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    std::getline(tcp, line); // header
    while (std::getline(tcp, line)) {
        unsigned lport = 0, state = 0;
        unsigned long inode = 0;
        // sl: local rem st tx:rx tr:when retrnsmt uid timeout inode
        if (std::sscanf(line.c_str(), " %*d: %*x:%x %*x:%*x %x %*x:%*x %*x:%*x %*x %*u %*u %lu",
                        &lport, &state, &inode) == 3 &&
            static_cast<int>(lport) == port && state == 0x0A)
            inodes.insert(inode);
    }
    if (inodes.empty())
        return false;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
        return false;
    bool found = false;
    while (dirent* e = ::readdir(d)) {
        char target[128] = {};
        const std::string link = dir + "/" + e->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        unsigned long inode = 0;
        if (n > 0 && std::sscanf(target, "socket:[%lu]", &inode) == 1 && inodes.count(inode)) {
            found = true;
            break;
        }
    }
    ::closedir(d);
    return found;
}

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
