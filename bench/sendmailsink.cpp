// A mail system that takes every message at once, for scripts/bench: reads the message from
// standard input to its end, appends "<recipient> <bytes>" to the file that
// $RUVELANT_BENCH_MAILBOX names (when set), and exits 0. Built static and without Qt, so that
// starting it costs as little as a program can.
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int main(int argc, char **argv)
{
    char buffer[1 << 16];
    long bytes = 0;
    for (ssize_t n; (n = ::read(0, buffer, sizeof buffer)) != 0;) {
        if (n > 0)
            bytes += n;
        else
            return 75; // EX_TEMPFAIL
    }
    if (const char *mailbox = std::getenv("RUVELANT_BENCH_MAILBOX")) {
        if (FILE *file = std::fopen(mailbox, "a")) {
            std::fprintf(file, "%s %ld\n", argc > 1 ? argv[argc - 1] : "", bytes);
            std::fclose(file);
        }
    }
    return 0;
}
