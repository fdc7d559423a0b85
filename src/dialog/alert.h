// The confirmation child: asks the user at the destination display about one client.
#pragma once

#include <unistd.h>

constexpr int VERDICT_ALLOW = 7;
constexpr int VERDICT_DENY = 4;

extern int AlertResponse; // -1 until a button answers

// Write end of the parent's wake-up pipe (non-blocking), set before the fork; -1 for none.
inline int wakefd = -1;

// One byte, just before the child exits with its answer: the parent's select wakes at once
// instead of at the end of its cycle. A full pipe means the parent is woken already.
inline void wakeparent()
{
    if (wakefd >= 0) {
        const char b = 0;
        [[maybe_unused]] const ssize_t n = ::write(wakefd, &b, 1);
    }
}

// Shows the Yes/No dialog for allow-list entry i and exits with the verdict. Never returns.
[[noreturn]] void alertuser(int i);
