// Fuzz target: the relay engine, one pair over two socketpairs, driven cycle by cycle.
//
// The input is a script. Far ends write numbered stream bytes, read and check them, half-close
// or close; cycles of the real event loop run with select's real readiness thinned at random,
// reads and writes cut to random sizes and, now and then, failing (through the sys:: seam).
// After every cycle the table must hold its invariants: partners name each other, counts stay
// within 0..1024, closepending only without a partner, a closed descriptor idle and in no set.
// Every byte a far end reads must be the next byte of the other far end's stream. At the end
// the relay runs with full readiness until nothing moves, and then nothing may be missing:
// while the pair lives every byte has arrived, and after one side's orderly end everything it
// sent has reached the other side, followed by the end of file.
#include "admission/admit.h"
#include "relay/loop.h"
#include "relay/table.h"
#include "sys.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

struct farend {
    int fd = -1;          // the test's end
    int relayfd = -1;     // the relay's end of the same socketpair
    uint64_t sent = 0;    // stream bytes written by this far end
    uint64_t got = 0;     // stream bytes of the other far end read here
    bool shut = false;    // shut down for writing (an orderly end of its stream)
    bool closed = false;  // closed outright
    bool eofseen = false; // read an end of file
};

farend fe[2];
int lsockdummy[2] = {-1, -1};
const uint8_t* in;
size_t inleft;
int readcap = 1024, writecap = 1024;
int failread = -1, failwrite = -1; // the relay descriptor whose next call fails
int failerrno = ECONNRESET;
bool injected = false;
uint8_t rdmask = 0xff, wrmask = 0xff;

uint8_t next()
{
    if (inleft == 0)
        return 0;
    --inleft;
    return *in++;
}

unsigned char streambyte(int side, uint64_t pos)
{
    uint64_t x = pos * 0x9e3779b97f4a7c15ULL + static_cast<uint64_t>(side) * 0x632be59bd9b4e019ULL;
    x ^= x >> 29;
    return static_cast<unsigned char>(x * 0xbf58476d1ce4e5b9ULL >> 56);
}

[[noreturn]] void fault(const char* what)
{
    std::fprintf(stderr, "relay_fuzz: %s\n", what);
    std::abort();
}

ssize_t fakeread(int fd, void* buf, size_t n)
{
    if (fd == failread) {
        failread = -1;
        errno = failerrno;
        return -1;
    }
    return ::read(fd, buf, n < static_cast<size_t>(readcap) ? n : static_cast<size_t>(readcap));
}

ssize_t fakewrite(int fd, const void* buf, size_t n)
{
    if (fd == failwrite) {
        failwrite = -1;
        errno = failerrno;
        return -1;
    }
    return ::write(fd, buf, n < static_cast<size_t>(writecap) ? n : static_cast<size_t>(writecap));
}

// Real readiness, zero timeout, then thinned by the script's masks: never more than is true,
// so no blocking call is ever made.
int fakeselect(int n, fd_set* r, fd_set* w, fd_set*, timeval*)
{
    timeval zero{0, 0};
    const int k = ::select(n, r, w, nullptr, &zero);
    if (k <= 0)
        return k;
    int left = 0;
    for (int d = 0; d < n; ++d) {
        const int bit = d & 7;
        if (FD_ISSET(d, r) && !(rdmask >> bit & 1))
            FD_CLR(d, r);
        if (FD_ISSET(d, w) && !(wrmask >> bit & 1))
            FD_CLR(d, w);
        left += FD_ISSET(d, r) ? 1 : 0;
        left += FD_ISSET(d, w) ? 1 : 0;
    }
    return left;
}

bool isopen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

void checktable()
{
    for (int d = 0; d < ntable; ++d) {
        const rwrec& r = rwbuf[d];
        if (r.rcount < 0 || r.rcount > RWBUFSIZE || r.wcount < 0 || r.wcount > RWBUFSIZE)
            fault("count out of range");
        if (r.peer != -1) {
            if (r.peer == d || r.peer < 0 || r.peer >= ntable || rwbuf[r.peer].peer != d)
                fault("partners do not name each other");
        }
        if (r.closepending && r.peer != -1)
            fault("closepending with a partner");
        if ((FD_ISSET(d, &rinit) || FD_ISSET(d, &winit)) && d >= nfds)
            fault("interest at or above nfds");
        const bool relayed = d == fe[0].relayfd || d == fe[1].relayfd;
        if (relayed && !isopen(d)) {
            if (r.peer != -1 || r.rcount != 0 || r.wcount != 0 || r.closepending || r.eofseen)
                fault("closed descriptor not idle");
            if (FD_ISSET(d, &rinit) || FD_ISSET(d, &winit))
                fault("closed descriptor still watched");
        }
        if (r.closepending && !isopen(d))
            fault("closepending on a closed descriptor");
    }
}

void farwrite(int side, int k)
{
    farend& f = fe[side];
    if (f.shut || f.closed)
        return;
    unsigned char buf[4096];
    for (int i = 0; i < k; ++i)
        buf[i] = streambyte(side, f.sent + static_cast<uint64_t>(i));
    const ssize_t n = ::send(f.fd, buf, static_cast<size_t>(k), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0)
        f.sent += static_cast<uint64_t>(n);
}

// Reads what is there (up to k bytes) and checks it against the other side's stream.
bool farread(int side, int k)
{
    farend& f = fe[side];
    if (f.closed || f.eofseen)
        return false;
    unsigned char buf[4096];
    const ssize_t n = ::recv(f.fd, buf, static_cast<size_t>(k), MSG_DONTWAIT);
    if (n == 0) {
        f.eofseen = true;
        return true;
    }
    if (n < 0)
        return false;
    for (ssize_t i = 0; i < n; ++i)
        if (buf[i] != streambyte(1 - side, f.got + static_cast<uint64_t>(i)))
            fault("a byte out of order or not sent");
    f.got += static_cast<uint64_t>(n);
    if (f.got > fe[1 - side].sent)
        fault("more bytes arrived than were sent");
    return true;
}

void cycle()
{
    idlecount = 0; // the idle limit is not under test here
    relaycycle();
    checktable();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::signal(SIGPIPE, SIG_IGN); // as the program does at start-up
    sys::select = fakeselect;
    sys::read = fakeread;
    sys::write = fakewrite;
    // The listening descriptor's place: a pipe that never becomes readable.
    if (::pipe(lsockdummy) != 0)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 4096)
        return 0;
    in = data;
    inleft = size;
    // A small table: the descriptors here are all low numbers.
    if (!relayinit(64))
        std::abort();
    loopinit(lsockdummy[0]);
    admitinit();
    for (int s = 0; s < 2; ++s) {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
            std::abort();
        fe[s] = farend{};
        fe[s].fd = sv[0];
        fe[s].relayfd = sv[1];
        const int small = 4096; // small buffers: back-pressure within a few cycles
        ::setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        ::setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    }
    relaypair(fe[0].relayfd, fe[1].relayfd);
    readcap = writecap = 1024;
    failread = failwrite = -1;
    injected = false;
    rdmask = wrmask = 0xff;

    int cycles = 0;
    while (inleft > 0 && cycles < 2000) {
        const uint8_t op = next();
        const int side = op & 1;
        const int k = 1 + next() * 16;
        switch (op >> 1 & 7) {
        case 0:
        case 1:
            farwrite(side, k);
            break;
        case 2:
            farread(side, k);
            break;
        case 3:
            rdmask = next();
            wrmask = next();
            readcap = 1 + (next() << 2);
            writecap = 1 + (next() << 2);
            cycle();
            ++cycles;
            break;
        case 4:
            if (!fe[side].shut && !fe[side].closed) {
                ::shutdown(fe[side].fd, SHUT_WR);
                fe[side].shut = true;
            }
            break;
        case 5:
            if ((op >> 4) == 0 && !fe[side].closed) {
                ::close(fe[side].fd);
                fe[side].closed = true;
            }
            break;
        case 6: {
            const int fd = fe[side].relayfd;
            if ((op >> 4 & 1) != 0)
                failread = fd;
            else
                failwrite = fd;
            failerrno = (op >> 5 & 1) != 0 ? EPIPE : ECONNRESET;
            injected = true;
            break;
        }
        default:
            cycle();
            ++cycles;
        }
    }

    // Everything moves freely until nothing moves for a while.
    rdmask = wrmask = 0xff;
    readcap = writecap = 1024;
    failread = failwrite = -1;
    for (int quiet = 0, i = 0; quiet < 8 && i < 20000; ++i) {
        const uint64_t before = fe[0].got + fe[1].got;
        cycle();
        bool moved = false;
        for (int s = 0; s < 2; ++s)
            while (farread(s, 4096))
                moved = true;
        moved = moved || fe[0].got + fe[1].got != before;
        quiet = moved ? 0 : quiet + 1;
    }

    const bool pairalive = isopen(fe[0].relayfd) && isopen(fe[1].relayfd) &&
                           rwbuf[fe[0].relayfd].peer == fe[1].relayfd;
    if (!injected && !fe[0].closed && !fe[1].closed) {
        if (pairalive && !fe[0].shut && !fe[1].shut &&
            (fe[0].got != fe[1].sent || fe[1].got != fe[0].sent))
            fault("bytes missing on a living pair");
        for (int s = 0; s < 2; ++s)
            if (fe[s].shut && !fe[1 - s].shut &&
                (fe[1 - s].got != fe[s].sent || !fe[1 - s].eofseen))
                fault("bytes missing after an orderly end");
    }

    for (int s = 0; s < 2; ++s) {
        if (isopen(fe[s].relayfd))
            relayclose(fe[s].relayfd);
        if (!fe[s].closed)
            ::close(fe[s].fd);
    }
    return 0;
}
