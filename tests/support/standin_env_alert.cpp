// A confirmation child without the toolkit, for the test-only build of the program:
// STANDIN_VERDICT is its exit status (default 7), STANDIN_DELAY_MS how long it waits first.
// STANDIN_VERDICT_FILE, when set and readable, holds the status instead, read when the child
// answers: a test can change the verdict while the program runs. STANDIN_SILENT_INDEX=i: a
// question about allow-list entry i is never answered.
#include "dialog/alert.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int AlertResponse = -1;

void alertuser(int i)
{
    if (const char* s = std::getenv("STANDIN_SILENT_INDEX"); s != nullptr && std::atoi(s) == i)
        for (;;)
            ::pause();
    const char* v = std::getenv("STANDIN_VERDICT");
    const char* d = std::getenv("STANDIN_DELAY_MS");
    if (d != nullptr)
        ::usleep(static_cast<useconds_t>(std::atoi(d)) * 1000U);
    AlertResponse = v != nullptr ? std::atoi(v) : VERDICT_ALLOW;
    if (const char* f = std::getenv("STANDIN_VERDICT_FILE"))
        if (FILE* in = std::fopen(f, "r")) {
            int k = 0;
            if (std::fscanf(in, "%d", &k) == 1)
                AlertResponse = k;
            std::fclose(in);
        }
    ::_exit(AlertResponse);
}
