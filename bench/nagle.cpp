// Preloaded into a relay, makes every request for TCP_NODELAY a silent no-op, so the relay's
// connections run with Nagle's algorithm as they did before it asked for TCP_NODELAY. This is
// how the bench measures the "before" figure from the shipped binary, unchanged.
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

extern "C" int setsockopt(int fd, int level, int name, const void* value, socklen_t len)
{
    if (level == IPPROTO_TCP && name == TCP_NODELAY)
        return 0;
    using fn = int (*)(int, int, int, const void*, socklen_t);
    static const auto next = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "setsockopt"));
    return next(fd, level, name, value, len);
}
