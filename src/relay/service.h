// Servicing of one ready data descriptor: its write phase, then its read phase.
#pragma once

// How a write phase leaves the descriptor's turn in this cycle.
enum class writeresult {
    readnext, // its read phase may follow
    closed,   // it is closed: a write error tore its pair down, or it drained to the end
    refilled, // its empty wbuf took the partner's bytes: that ends the turn
};

// Flushes j's wbuf, refills it from the partner, drain-closes or tears down as needed.
writeresult writephase(int j);
// Reads j into its rbuf and hands what fits on to the partner; EOF and errors close.
void readphase(int j);
