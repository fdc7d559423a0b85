// A confirmation child for tests: no toolkit, the verdict the test stored before the fork.
#include "dialog/alert.h"
#include "support/standin.h"

#include <unistd.h>

int AlertResponse = -1;
int standin_verdict = VERDICT_ALLOW;
int standin_delay_ms = 0;
int standin_lastindex = -1;

void alertuser(int i)
{
    standin_lastindex = i;
    if (standin_delay_ms > 0)
        ::usleep(static_cast<useconds_t>(standin_delay_ms) * 1000U);
    AlertResponse = standin_verdict;
    ::_exit(AlertResponse);
}
