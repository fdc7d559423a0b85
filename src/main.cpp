// velkoran: stands in for an X display and asks the user about every client.
#include "admission/admit.h"
#include "admission/children.h"
#include "diag.h"
#include "relay/loop.h"
#include "relay/table.h"
#include "startup/config.h"
#include "startup/startup.h"

#include <unistd.h>

int main(int argc, char** argv)
{
    openstandard();
    parseargs(argc, argv);
    startup();
    if (!relayinit(getdtablesize()) || !fdusable(lsock))
        die("can't allocate buffers\n");
    loopinit(lsock);
    admitinit();
    childinit();
    startlookups(); // forked now, while the program is small and holds no client
    diagopen();
    relayloop();
}
