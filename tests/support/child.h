// Runs a function in a forked child with standard error on a pipe: its exit status and output.
#pragma once

#include <functional>
#include <string>

struct childresult {
    int status; // as waitpid gives it
    std::string err;
    int exitcode() const; // -1 unless the child exited normally
};

childresult runchild(const std::function<void()>& fn, int timeout_ms = 10000);
