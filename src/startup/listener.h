// The listening endpoint and the start-up sequence that leads into the event loop.
#pragma once

#include <cstdint>
#include <netinet/in.h>

constexpr int XPORTBASE = 6000;
constexpr int MAXDISPLAY = 100;
constexpr int LISTENBACKLOG = 128;

extern int mynum;              // the local display number
extern uint16_t dispnum;       // the destination display number
extern sockaddr_in forward_to; // the destination X server

// Binds the first free port XPORTBASE + k, k = 0..MAXDISPLAY, and listens; exits 1 on failure.
int openlistener();
// The destination display number as the text after the first ':' reads, kept to 16 bits;
// a name without ':' reads as 0.
uint16_t displaynumber(const char* name);
// Everything after the command line: listener, announcement, checks, probe, tables.
void startup();
