// velkoran: stands in for an X display and asks the user about every client.
#include "relay/loop.h"
#include "startup/config.h"
#include "startup/listener.h"

int main(int argc, char** argv)
{
    parseargs(argc, argv);
    startup();
    relayloop();
}
