// The confirmation child: asks the user at the destination display about one client.
#pragma once

constexpr int VERDICT_ALLOW = 7;
constexpr int VERDICT_DENY = 4;

extern int AlertResponse; // -1 until a button answers

// A display that has not opened, and shown the dialog, within this time ends the child without
// a verdict: a destination that takes connections and never answers must not hold questions.
constexpr unsigned DIALOGOPENLIMIT = 10; // seconds

// Shows the Yes/No dialog for allow-list entry i and exits with the verdict. Never returns.
[[noreturn]] void alertuser(int i);
