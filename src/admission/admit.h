// Admission of new connections: accepting, the allow list, refusal, and starting a question.
#pragma once

// The listener watched, and the spare descriptor kept for running out of them.
void admitinit();
// Accepts one connection on lsock: refuses it, or forks a confirmation child and records it.
// Exits 1 only when accept fails for a reason that no later client could escape.
void admitclient();
// Milliseconds until a listener rested for want of memory is watched again; 0 when it is.
int listenerrest();
