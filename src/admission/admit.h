// Admission of new connections and the list of clients waiting for their verdict.
#pragma once

#include <sys/types.h>

struct childrec {
    pid_t pid;      // the confirmation child
    int sock;       // the accepted client, unwatched until the verdict
    int done;       // verdict acted on; freed by the next prune
    childrec* next; // the next older entry
};

extern childrec* children; // newest first

void admitinit(); // an empty list
// Accepts one connection on lsock: refuses it, or forks a confirmation child and records it.
// Exits 1 when accept fails for a reason of its own or fork fails.
void admitclient();
// In a confirmation child: gives up every inherited descriptor but standard error.
void closeinherited();
