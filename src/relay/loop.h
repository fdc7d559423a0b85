// The event loop: one select per cycle, the idle limit, the servicing scan.
#pragma once

#include <sys/time.h>

constexpr int IDLELIMIT = 1800;
constexpr timeval CYCLETIMEOUT = {3, 0};

extern int idlecount; // consecutive cycles whose select timed out

void loopinit(int listener); // lsock = listener, its only interest; nfds above it, idlecount 0
[[noreturn]] void relayloop();
// One cycle: verdicts, sweep, select, servicing. Exits at the idle limit or when select fails.
void relaycycle();
