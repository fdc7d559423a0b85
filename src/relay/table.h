// The descriptor table, the interest and readiness sets, nfds and copyfromto.
#pragma once

#include <sys/select.h>
#include <type_traits>

constexpr int RWBUFSIZE = 1024;

struct rwrec {
    unsigned char rbuf[RWBUFSIZE];
    unsigned char wbuf[RWBUFSIZE];
    int rcount, wcount;
    int peer;         // partner descriptor, -1 for none
    int closepending; // partner reached EOF: close once wbuf is empty
    int eofseen;      // reached EOF with bytes still in rbuf: read no more, close once they moved
};
static_assert(std::is_trivial_v<rwrec>, "allocated zero-filled by calloc");

extern rwrec* rwbuf;
extern int ntable;          // records in rwbuf; never more than FD_SETSIZE
extern fd_set rinit, winit; // interest, seen by the next select
extern fd_set rfds, wfds;   // this cycle's readiness
extern int nfds;

// Makes every record idle and empties all four sets; false when the table cannot be had.
// Records are made for min(count, FD_SETSIZE) descriptor numbers: no higher one can be served.
bool relayinit(int count);
// True when fd can live in the table and the sets.
inline bool fdusable(int fd)
{
    return fd >= 0 && fd < ntable;
}
// The one way a relay descriptor is closed: out of all four sets, closed, record idle.
void relayclose(int fd);
// Both records idle and linked to each other, both in rinit and winit, nfds raised.
void relaypair(int a, int b);
// Moves what fits of from's rbuf into to's wbuf; to joins winit and rinit.
void copyfromto(int from, int to);
