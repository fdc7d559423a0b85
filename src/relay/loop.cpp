// The event loop and its idle count.
#include "relay/loop.h"

#include "admission/admit.h"
#include "admission/verdict.h"
#include "diag.h"
#include "relay/service.h"
#include "relay/table.h"
#include "sys.h"

#include <cerrno>

int idlecount;
int lsock = -1;

void loopinit(int listener)
{
    lsock = listener;
    FD_ZERO(&rinit);
    FD_ZERO(&winit);
    FD_SET(lsock, &rinit);
    nfds = lsock + 1;
    idlecount = 0;
}

void relaycycle()
{
    reapchildren();

    for (int d = 0; d < nfds; ++d)
        if (rwbuf[d].closepending)
            FD_SET(d, &winit);

    rfds = rinit;
    wfds = winit;
    timeval tv = CYCLETIMEOUT;
    const int n = sys::select(nfds, &rfds, &wfds, nullptr, &tv);
    if (n == 0) {
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

    const int scanlimit = nfds;
    int ready = n;
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
