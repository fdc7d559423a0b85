// The descriptor table: one fixed record per descriptor number, and the interest sets.
#include "relay/table.h"

#include "sys.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>

rwrec* rwbuf;
int ntable;
fd_set rinit, winit;
fd_set rfds, wfds;
int nfds;

static void makeidle(rwrec& r)
{
    r.rcount = 0;
    r.wcount = 0;
    r.peer = -1;
    r.closepending = 0;
    r.eofseen = 0;
}

bool relayinit(int count)
{
    const int n = std::clamp(count, 0, FD_SETSIZE);
    // The table lives for the whole run; a second init (tests) replaces it.
    std::free(rwbuf);
    rwbuf = static_cast<rwrec*>(sys::calloc(static_cast<size_t>(n > 0 ? n : 1), sizeof(rwrec)));
    if (rwbuf == nullptr) {
        ntable = 0;
        return false;
    }
    ntable = n;
    for (int i = 0; i < n; ++i)
        rwbuf[i].peer = -1;
    FD_ZERO(&rinit);
    FD_ZERO(&winit);
    FD_ZERO(&rfds);
    FD_ZERO(&wfds);
    nfds = 0;
    return true;
}

void relayclose(int fd)
{
    if (fdusable(fd)) {
        FD_CLR(fd, &rinit);
        FD_CLR(fd, &winit);
        FD_CLR(fd, &rfds); // not serviced again in this cycle
        FD_CLR(fd, &wfds);
        makeidle(rwbuf[fd]);
    }
    if (fd >= 0)
        ::close(fd);
}

void relaypair(int a, int b)
{
    const int bound = std::max({nfds, a + 1, b + 1});
    makeidle(rwbuf[a]);
    makeidle(rwbuf[b]);
    rwbuf[a].peer = b;
    rwbuf[b].peer = a;
    FD_SET(a, &rinit);
    FD_SET(a, &winit);
    FD_SET(b, &rinit);
    FD_SET(b, &winit);
    nfds = bound;
}

void copyfromto(int from, int to)
{
    rwrec& src = rwbuf[from];
    rwrec& dst = rwbuf[to];
    if (dst.wcount > RWBUFSIZE - 1)
        return;
    const int k = std::min(src.rcount, RWBUFSIZE - dst.wcount);
    std::memcpy(dst.wbuf + dst.wcount, src.rbuf, static_cast<size_t>(k));
    dst.wcount += k;
    FD_SET(to, &winit);
    if (k == src.rcount) {
        src.rcount = 0;
    } else {
        // Bytes leave from the front and the rest moves down; the regions overlap.
        std::memmove(src.rbuf, src.rbuf + k, static_cast<size_t>(src.rcount - k));
        src.rcount -= k;
    }
    // A side that has seen its end of file is read no more.
    if (!dst.eofseen)
        FD_SET(to, &rinit);
}
