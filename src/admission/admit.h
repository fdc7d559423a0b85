// Admission of new connections and the list of clients waiting for their verdict.
#pragma once

#include <sys/types.h>

constexpr int MAXQUESTIONS = 16; // confirmation children (dialogs on the display) at once
constexpr int MAXLOOKUPS = 16;   // reverse lookups of refused clients at once

struct childrec {
    pid_t pid;      // the confirmation child
    int sock;       // the accepted client, unwatched until the verdict
    int done;       // verdict acted on; freed by the next prune
    childrec* next; // the next older entry
    int ended;      // the child has been collected; status holds how it ended
    int status;
};

extern childrec* children;        // newest first
extern pid_t lookups[MAXLOOKUPS]; // children looking up refused clients' names; 0 for a free slot
extern int wakeread; // read end of the pipe on which children announce their end; not relayed

// An empty list and no lookups. The first call also makes the wake-up pipe and the spare
// descriptor, and puts SIGCHLD back to its default so that children's ends can be collected.
void admitinit();
// Accepts one connection on lsock: refuses it, or forks a confirmation child and records it.
// Exits 1 only when accept fails for a reason that no later client could escape.
void admitclient();
// Empties the wake-up pipe; the number of ends it announced.
int drainwake();
// Milliseconds until a listener rested for want of memory is watched again; 0 when it is.
int listenerrest();
