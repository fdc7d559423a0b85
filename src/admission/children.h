// The program's child processes, from fork to collection: the confirmation children with the
// list of clients waiting for their verdict, and the one helper that looks up refused clients.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

constexpr int MAXQUESTIONS = 16;     // confirmation children (dialogs on the display) at once
constexpr int LOOKUPLIMITMS = 10000; // a refused client's name, or its address after this

struct childrec {
    pid_t pid;      // the confirmation child
    int sock;       // the accepted client, unwatched until the verdict; -1 once withdrawn
    int done;       // verdict acted on; freed by the next prune
    childrec* next; // the next older entry
    int ended;      // the child has been collected (-1: it cannot be); status holds how
    int status;
    int withdrawn; // its client left: the child is ended and its end says nothing
};

extern childrec* children; // newest first
// Readable when a child has ended (SIGCHLD, blocked in the program, read through a signalfd).
extern int chldfd;

// fd moved above the standard descriptors, which stay free for relayed connections, and closed
// on exec; where no other number is free, fd stays as it is.
int movehigh(int fd);
// An empty list and no lookup helper (one left by an earlier init is ended). The first call
// blocks SIGCHLD and makes chldfd.
void childinit();
// fork, and in the child: it ends when the program does, holds no descriptor but standard
// error and keep (-1: none), and has SIGCHLD back. Returns what fork returns.
pid_t forkchild(int keep);
// Collects every child that has ended, without waiting: a confirmation child's status goes to
// its entry, the helper's end frees its place. The number collected.
int collectchildren();
// Empties chldfd, so that select sleeps again until the next end.
void drainchld();
// Questions whose dialog is still up for a client that is still there.
int questions();
// The client of e has gone: its dialog is ended, its descriptor closed, and its end will be
// collected without a word.
void withdraw(childrec* e);
// Starts the lookup helper, unless one runs or the last one started less than a second ago;
// whether one runs.
bool startlookups();
// Hands a refused client's address to the lookup helper, which writes its line; false when the
// helper cannot take it now (its pipe is full, or no helper could be had): the caller then
// writes the line itself.
bool asklookup(const sockaddr_in& peer);
