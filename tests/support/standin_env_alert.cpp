// A confirmation child without the toolkit, for the test-only build of the program:
// STANDIN_VERDICT is its exit status (default 7), STANDIN_DELAY_MS how long it waits first.
#include "dialog/alert.h"

#include <cstdlib>
#include <unistd.h>

int AlertResponse = -1;

void alertuser(int)
{
    const char* v = std::getenv("STANDIN_VERDICT");
    const char* d = std::getenv("STANDIN_DELAY_MS");
    if (d != nullptr)
        ::usleep(static_cast<useconds_t>(std::atoi(d)) * 1000U);
    AlertResponse = v != nullptr ? std::atoi(v) : VERDICT_ALLOW;
    ::_exit(AlertResponse);
}
