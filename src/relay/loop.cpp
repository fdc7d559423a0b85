// The event loop and its idle count.
#include "relay/loop.h"

#include "admission/admit.h"
#include "admission/children.h"
#include "admission/verdict.h"
#include "diag.h"
#include "relay/service.h"
#include "relay/table.h"
#include "startup/config.h"
#include "sys.h"

#include <algorithm>
#include <cerrno>

int idlecount;

void loopinit(int listener)
{
    lsock = listener;
    FD_ZERO(&rinit);
    FD_ZERO(&winit);
    FD_SET(lsock, &rinit);
    nfds = lsock + 1;
    idlecount = 0;
}

// A descriptor the loop watches beside the table's: fd joins set, and the bound rises.
static void watch(int fd, fd_set& set, int& top)
{
    if (fd >= 0 && fd < FD_SETSIZE) {
        FD_SET(fd, &set);
        top = std::max(top, fd + 1);
    }
}

// Whether select marked fd in set; the mark is taken off, so the scan never sees it.
static bool marked(int fd, fd_set& set)
{
    if (fd < 0 || fd >= FD_SETSIZE || !FD_ISSET(fd, &set))
        return false;
    FD_CLR(fd, &set);
    return true;
}

void relaycycle()
{
    reapchildren();
    diagflush();

    for (int d = 0; d < nfds; ++d)
        if (rwbuf[d].closepending)
            FD_SET(d, &winit);

    rfds = rinit;
    wfds = winit;
    int top = nfds;
    // A child's end and a standard error with room for waiting lines wake the loop too; both
    // descriptors stay out of the interest sets.
    watch(chldfd, rfds, top);
    const int diagfd = diagwaiting();
    watch(diagfd, wfds, top);
    timeval tv = CYCLETIMEOUT;
    const int rest = listenerrest();
    if (rest > 0 && rest < CYCLETIMEOUT.tv_sec * 1000)
        tv = {rest / 1000, (rest % 1000) * 1000};
    const int n = sys::select(top, &rfds, &wfds, nullptr, &tv);
    if (n == 0) {
        if (rest > 0)
            return; // a short wait for the listener is no idle cycle
        if (idlecount >= IDLELIMIT)
            die("connections timed out\n");
        ++idlecount;
        return;
    }
    if (n < 0) {
        if (errno == EINTR)
            return; // an interrupted select neither counts nor resets
        diesys("select");
    }
    idlecount = 0;

    int ready = n;
    // Collected by the next cycle's reapchildren, first thing.
    if (marked(chldfd, rfds)) {
        --ready;
        drainchld();
    }
    if (marked(diagfd, wfds)) {
        --ready;
        diagflush();
    }
    const int scanlimit = nfds;
    for (int d = 0; d < scanlimit && ready > 0; ++d) {
        if (FD_ISSET(d, &wfds)) {
            --ready;
            if (writephase(d) != writeresult::readnext)
                continue;
        }
        if (FD_ISSET(d, &rfds)) {
            --ready;
            if (d == lsock)
                admitclient();
            else
                readphase(d);
        }
    }
}

void relayloop()
{
    for (;;)
        relaycycle();
}
