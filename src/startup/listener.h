// The listening endpoint and the start-up sequence that leads into the event loop.
#pragma once

#include "startup/config.h"

#include <cstdint>

constexpr int LISTENBACKLOG = 128;

// Binds the first free port XPORTBASE + k, k = 0..MAXDISPLAY, and listens; exits 1 on failure.
int openlistener();
// The destination display number as the text after the first ':' reads, kept to 16 bits;
// a name without ':' reads as 0.
uint16_t displaynumber(const char* name);
// Everything after the command line up to the tables: listener (lsock), announcement,
// destination checks and probe, standard input and output closed, SIGPIPE ignored.
void startup();
