// Servicing of one ready data descriptor: its write phase, then its read phase.
#pragma once

// Flushes j's wbuf, refills it from the partner, drain-closes or tears down as needed.
// Returns true when j's read phase may follow in this cycle.
bool writephase(int j);
// Reads j into its rbuf and hands what fits on to the partner; EOF and errors close.
void readphase(int j);
