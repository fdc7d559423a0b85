// The listening endpoint: the first free display number, on IPv4 with its IPv6 twin held.
#pragma once

#include "startup/config.h"

constexpr int LISTENBACKLOG = 128;

// Binds the first free port XPORTBASE + k, k = 0..MAXDISPLAY, and listens; sets mynum and
// returns the descriptor; exits 1 on failure.
int openlistener();
