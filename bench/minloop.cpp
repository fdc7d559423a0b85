// The floor for a relay of velkoran's shape: one process, one select per cycle, and per ready
// descriptor at most one write and one read of at most 1 KiB each, with 2 KiB in flight per
// direction as velkoran has (its reader's rbuf and its writer's wbuf), so that a steady stream
// costs one select, one read and one write per KiB. No dialog, no checks, no half-close: end
// of file or an error on either side closes the pair. Only for the bench.
//
//   minloop M [F]    relays every connection on 6000+K to 127.0.0.1:6000+M; prints K.
//                    With F, flips one bit of byte F of everything the server sends: the
//                    bench's own check that its comparison sees a single wrong byte.
#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

constexpr int CHUNK = 1024;
constexpr int ROOM = 2 * CHUNK;

// Bytes waiting to be written to a descriptor, read from its partner.
struct outbuf {
    unsigned char buf[ROOM];
    int count;
    int peer;
    long long got;   // bytes read from this descriptor so far
    bool fromserver; // the connection to the X server
};

static outbuf tab[FD_SETSIZE];
static fd_set rint, wint;
static int top;
static long long flipat = -1;

static void nodelay(int fd)
{
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

static void drop(int fd)
{
    FD_CLR(fd, &rint);
    FD_CLR(fd, &wint);
    tab[fd].count = 0;
    tab[fd].peer = -1;
    close(fd);
}

static void admit(int lsock, const sockaddr_in& dest)
{
    const int c = accept(lsock, nullptr, nullptr);
    if (c < 0)
        return;
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0 || c >= FD_SETSIZE || s >= FD_SETSIZE ||
        connect(s, reinterpret_cast<const sockaddr*>(&dest), sizeof dest) < 0) {
        close(c);
        if (s >= 0)
            close(s);
        return;
    }
    nodelay(c);
    nodelay(s);
    tab[c] = {{}, 0, s, 0, false};
    tab[s] = {{}, 0, c, 0, true};
    FD_SET(c, &rint);
    FD_SET(s, &rint);
    top = std::max({top, c + 1, s + 1});
}

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: minloop M [F]\n");
        return 2;
    }
    if (argc == 3)
        flipat = std::atoll(argv[2]);
    std::signal(SIGPIPE, SIG_IGN);
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    dest.sin_port = htons(static_cast<uint16_t>(6000 + std::atoi(argv[1])));

    const int lsock = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(lsock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int k = 0;
    for (; k <= 100; ++k) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(6000 + k));
        if (bind(lsock, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            break;
    }
    if (k > 100 || listen(lsock, 16) < 0) {
        std::fprintf(stderr, "minloop: no free port\n");
        return 1;
    }
    std::printf("%d\n", k);
    std::fflush(stdout);

    for (auto& t : tab)
        t.peer = -1;
    FD_SET(lsock, &rint);
    top = lsock + 1;
    // Bounded: nothing for 30 minutes and it ends by itself (the bench can leave it idle for
    // a long time while the other paths run their x11perf tests).
    for (int idle = 0; idle < 600;) {
        fd_set r = rint, w = wint;
        timeval tv{3, 0};
        const int n = select(top, &r, &w, nullptr, &tv);
        if (n <= 0) {
            idle += n == 0;
            continue;
        }
        idle = 0;
        for (int d = 0; d < top; ++d) {
            if (FD_ISSET(d, &w) && tab[d].count > 0) {
                outbuf& o = tab[d];
                const ssize_t m = write(d, o.buf, static_cast<size_t>(std::min(o.count, CHUNK)));
                if (m < 0) {
                    const int p = o.peer;
                    drop(d);
                    if (p >= 0)
                        drop(p);
                    continue;
                }
                if (m < o.count)
                    std::memmove(o.buf, o.buf + m, static_cast<size_t>(o.count - m));
                o.count -= static_cast<int>(m);
                if (o.count == 0)
                    FD_CLR(d, &wint);
                FD_SET(o.peer, &rint); // room again for what the partner sends
            }
            if (!FD_ISSET(d, &r))
                continue;
            if (d == lsock) {
                admit(lsock, dest);
                continue;
            }
            const int p = tab[d].peer;
            if (p < 0 || tab[p].count == ROOM)
                continue;
            outbuf& o = tab[p];
            const ssize_t m =
                read(d, o.buf + o.count, static_cast<size_t>(std::min(ROOM - o.count, CHUNK)));
            if (m <= 0) {
                drop(d);
                drop(p);
                continue;
            }
            if (tab[d].fromserver && flipat >= tab[d].got && flipat < tab[d].got + m)
                o.buf[o.count + flipat - tab[d].got] ^= 0x10;
            tab[d].got += m;
            o.count += static_cast<int>(m);
            FD_SET(p, &wint);
            if (o.count == ROOM)
                FD_CLR(d, &rint);
        }
    }
    return 1;
}
