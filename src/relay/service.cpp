// Moving relayed bytes: writes, reads, transfers, end of file and teardowns.
#include "relay/service.h"

#include "diag.h"
#include "relay/table.h"
#include "sys.h"

#include <cerrno>
#include <cstring>

// The partner of j reached end of file and is gone: j writes out what it holds, then closes.
static void makedraining(int j)
{
    rwbuf[j].peer = -1;
    rwbuf[j].closepending = 1;
    FD_SET(j, &winit);
}

// The partner p had seen end of file with bytes still to hand on. Once j has taken them all,
// p is closed and j drains, as if p's end of file had come just now.
static void finisheof(int j, int p)
{
    if (p >= 0 && rwbuf[p].eofseen && rwbuf[p].rcount == 0) {
        relayclose(p);
        makedraining(j);
    }
}

static void teardown(int j, int partner)
{
    relayclose(j);
    if (partner >= 0)
        relayclose(partner);
}

// The partner's read bytes move into j's wbuf, as many as fit; whether any were waiting.
static bool refill(int j)
{
    const int partner = rwbuf[j].peer;
    if (partner < 0 || rwbuf[partner].rcount == 0)
        return false;
    copyfromto(partner, j);
    finisheof(j, partner);
    return true;
}

writeresult writephase(int j)
{
    rwrec& r = rwbuf[j];
    const bool flushing = r.wcount != 0;
    if (flushing) {
        const ssize_t n = sys::write(j, r.wbuf, static_cast<size_t>(r.wcount));
        if (n < 0) {
            if (errno != EPIPE)
                saysysfd(j, "write");
            teardown(j, r.peer);
            return writeresult::closed;
        }
        const int w = static_cast<int>(n);
        if (w < r.wcount)
            std::memmove(r.wbuf, r.wbuf + w, static_cast<size_t>(r.wcount - w));
        r.wcount -= w;
    }
    if (refill(j) && !flushing)
        return writeresult::refilled;
    // The room just made lets the partner read again; refill may have closed the partner.
    if (flushing && r.peer >= 0 && !rwbuf[r.peer].eofseen)
        FD_SET(r.peer, &rinit);
    if (r.wcount == 0) {
        FD_CLR(j, &winit);
        if (r.closepending) {
            relayclose(j);
            return writeresult::closed;
        }
    }
    return writeresult::readnext;
}

void readphase(int j)
{
    rwrec& r = rwbuf[j];
    if (r.rcount > RWBUFSIZE - 1) {
        // No room, yet reported readable: a move into this side's own wbuf put it back into
        // rinit. Left there it would be reported ready in every cycle while its partner stalls,
        // and the loop would spin. It returns, as after any read that fills rbuf, when the
        // partner's write phase has made room.
        FD_CLR(j, &rinit);
        return;
    }
    if (r.eofseen) {
        FD_CLR(j, &rinit); // nothing more will come; wait for the partner to take the rest
        return;
    }
    const int partner = r.peer;
    const ssize_t n = sys::read(j, r.rbuf + r.rcount, static_cast<size_t>(RWBUFSIZE - r.rcount));
    if (n == 0) {
        if (partner >= 0 && r.rcount > 0) {
            // Bytes already read still wait for room at the partner: keep the pair until
            // they have moved, so end of file never loses them.
            r.eofseen = 1;
            FD_CLR(j, &rinit);
            FD_SET(partner, &winit);
            return;
        }
        relayclose(j);
        if (partner >= 0)
            makedraining(partner);
        return;
    }
    if (n < 0) {
        saysysfd(j, "read");
        teardown(j, partner);
        return;
    }
    r.rcount += static_cast<int>(n);
    if (partner >= 0 && rwbuf[partner].wcount <= RWBUFSIZE - 1)
        copyfromto(j, partner);
    if (r.rcount == RWBUFSIZE)
        FD_CLR(j, &rinit);
}
