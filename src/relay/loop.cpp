// The event loop and its idle count.
#include "relay/loop.h"

#include "admission/admit.h"
#include "admission/verdict.h"
#include "diag.h"
#include "relay/service.h"
#include "relay/table.h"
#include "startup/config.h"
#include "sys.h"

#include <algorithm>
#include <cerrno>

int idlecount;

// A child announces its end just before it exits, so a wake-up may come a moment before the
// end can be collected: short cycles follow until every announced child is, or patience ends.
static int unreaped;
static int patience;
constexpr int REAPRETRIES = 40;
constexpr timeval REAPRETRY = {0, 5000};

void loopinit(int listener)
{
    lsock = listener;
    FD_ZERO(&rinit);
    FD_ZERO(&winit);
    FD_SET(lsock, &rinit);
    nfds = lsock + 1;
    idlecount = 0;
    unreaped = 0;
    patience = 0;
}

void relaycycle()
{
    unreaped = std::max(0, unreaped - reapchildren());
    if (patience > 0)
        --patience;
    if (unreaped == 0 || patience == 0)
        unreaped = patience = 0;

    for (int d = 0; d < nfds; ++d)
        if (rwbuf[d].closepending)
            FD_SET(d, &winit);

    rfds = rinit;
    wfds = winit;
    int top = nfds;
    if (fdusable(wakeread)) {
        FD_SET(wakeread, &rfds);
        top = std::max(top, wakeread + 1);
    }
    timeval tv = patience > 0 ? REAPRETRY : CYCLETIMEOUT;
    if (const int rest = listenerrest(); rest > 0 && rest < tv.tv_sec * 1000 + tv.tv_usec / 1000)
        tv = {rest / 1000, (rest % 1000) * 1000};
    const bool full = tv.tv_sec == CYCLETIMEOUT.tv_sec && tv.tv_usec == CYCLETIMEOUT.tv_usec;
    const int n = sys::select(top, &rfds, &wfds, nullptr, &tv);
    if (n == 0) {
        if (!full)
            return; // a short wait for a child or the listener is no idle cycle
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
    if (fdusable(wakeread) && FD_ISSET(wakeread, &rfds)) {
        FD_CLR(wakeread, &rfds);
        --ready;
        unreaped += drainwake();
        patience = REAPRETRIES;
    }
    const int scanlimit = nfds;
    for (int d = 0; d < scanlimit && ready > 0; ++d) {
        if (FD_ISSET(d, &wfds)) {
            --ready;
            if (!writephase(d))
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
