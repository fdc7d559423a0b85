// The confirmation child: asks the user at the destination display about one client.
#pragma once

constexpr int VERDICT_ALLOW = 7;
constexpr int VERDICT_DENY = 4;

extern int AlertResponse; // -1 until a button answers

// Shows the Yes/No dialog for allow-list entry i and exits with the verdict. Never returns.
[[noreturn]] void alertuser(int i);
