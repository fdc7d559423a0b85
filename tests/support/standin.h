// Controls of the stand-in confirmation child, set by a test before the fork.
#pragma once

extern int standin_verdict;   // the child's exit status
extern int standin_delay_ms;  // how long the child "waits for the user"
extern int standin_lastindex; // the allow-list index the child was given (in the child)
