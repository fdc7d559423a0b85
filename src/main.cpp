// velkoran: stands in for an X display and asks the user about every client.
#include "admission/admit.h"
#include "diag.h"
#include "relay/loop.h"
#include "relay/table.h"
#include "startup/config.h"
#include "startup/listener.h"

#include <unistd.h>

int main(int argc, char** argv)
{
    parseargs(argc, argv);
    startup();
    if (!relayinit(getdtablesize()) || !fdusable(lsock))
        die("can't allocate buffers\n");
    loopinit(lsock);
    admitinit();
    relayloop();
}
