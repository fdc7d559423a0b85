// A preload library for tests of the real binary: makes chosen platform calls fail.
// Each behaviour is switched on by an environment variable of the test process only. Calls
// that the program makes through its seam (sys.h) are failed there, by the unit tests, and not
// here.
//   FAKE_SOCKET_ERRNO=n     socket() fails with errno n
//   FAKE_SOCKET_FAMILY=f    with FAKE_SOCKET_ERRNO: only sockets of address family f fail
//   FAKE_SETSOCKOPT_ERRNO=n setsockopt(SO_REUSEADDR) fails with errno n
//   FAKE_BIND_ERRNO=n       bind() fails with errno n
//   FAKE_BIND_PORT=p        with FAKE_BIND_ERRNO: only binds to IPv4 port p fail
//   FAKE_BIND_FAMILY=f      with FAKE_BIND_ERRNO: only binds to addresses of family f fail
//   FAKE_LISTEN_ERRNO=n     listen() fails with errno n
//   FAKE_LISTEN_PORT=p      with FAKE_LISTEN_ERRNO: only sockets bound to IPv4 port p fail
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

static int fakeerrno(const char* var)
{
    const char* v = std::getenv(var);
    return v != nullptr ? std::atoi(v) : 0;
}

template <class F> static F real(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

extern "C" {

// True when the variable is unset or names this address family.
static bool familymatches(const char* var, int family)
{
    const char* v = std::getenv(var);
    return v == nullptr || std::atoi(v) == family;
}

int socket(int domain, int type, int protocol)
{
    if (const int e = fakeerrno("FAKE_SOCKET_ERRNO");
        e != 0 && familymatches("FAKE_SOCKET_FAMILY", domain)) {
        errno = e;
        return -1;
    }
    return real<int (*)(int, int, int)>("socket")(domain, type, protocol);
}

int setsockopt(int fd, int level, int opt, const void* val, socklen_t len)
{
    if (level == SOL_SOCKET && opt == SO_REUSEADDR)
        if (const int e = fakeerrno("FAKE_SETSOCKOPT_ERRNO")) {
            errno = e;
            return -1;
        }
    return real<int (*)(int, int, int, const void*, socklen_t)>("setsockopt")(fd, level, opt, val,
                                                                              len);
}

// True when FAKE_BIND_PORT is unset or names the port of this IPv4 address.
static bool bindportmatches(const sockaddr* a, socklen_t len)
{
    const char* v = std::getenv("FAKE_BIND_PORT");
    if (v == nullptr)
        return true;
    if (a == nullptr || len < sizeof(sockaddr_in) || a->sa_family != AF_INET)
        return false;
    sockaddr_in in{};
    std::memcpy(&in, a, sizeof in);
    return ntohs(in.sin_port) == std::atoi(v);
}

int bind(int fd, const sockaddr* a, socklen_t len)
{
    if (const int e = fakeerrno("FAKE_BIND_ERRNO");
        e != 0 && bindportmatches(a, len) &&
        (a == nullptr || familymatches("FAKE_BIND_FAMILY", a->sa_family))) {
        errno = e;
        return -1;
    }
    return real<int (*)(int, const sockaddr*, socklen_t)>("bind")(fd, a, len);
}

int listen(int fd, int backlog)
{
    bool match = true;
    if (const char* v = std::getenv("FAKE_LISTEN_PORT")) {
        sockaddr_in in{};
        socklen_t len = sizeof in;
        match = ::getsockname(fd, reinterpret_cast<sockaddr*>(&in), &len) == 0 &&
                in.sin_family == AF_INET && ntohs(in.sin_port) == std::atoi(v);
    }
    if (const int e = fakeerrno("FAKE_LISTEN_ERRNO"); e != 0 && match) {
        errno = e;
        return -1;
    }
    return real<int (*)(int, int)>("listen")(fd, backlog);
}
}
