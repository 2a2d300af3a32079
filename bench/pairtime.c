/* Times two or more commands against each other, taking turns so that drift
 * in the machine's speed falls on all alike.
 *
 *   pairtime [-v] [-w WARMUP] [-n RUNS] [-o OUTPUT] COMMAND-A... :: COMMAND-B... [:: ...]
 *
 * Each command is started with posix_spawn, its standard output going to
 * OUTPUT (default /dev/null) and its standard error to /dev/null; the time is
 * the wall-clock time from just before the spawn to the end of wait4, and the
 * peak memory is the child's ru_maxrss. WARMUP runs of each (default 2) are
 * not counted; then RUNS rounds (default 10) run every command once, each
 * round starting one further along (A,B then B,A; A,B,C then B,C,A then
 * C,A,B). Any failing run aborts the measurement. With -v each round's times
 * go to standard error.
 *
 * Prints one line:  A <median ms> <min ms> <max ms> <max RSS KiB> <median CPU ms>
 *                   B <median ms> <min ms> <max ms> <max RSS KiB> <median CPU ms>
 *                   P <median of the rounds' A/B ratios of wall-clock time>
 * and the same two groups for C, D and so on (P always being the ratio of A
 * to that command), all on one line, separated by blanks. CPU time is the
 * child's user plus system time (ru_utime + ru_stime).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

struct side {
    char **argv;
    double *ms;
    double *cpu_ms; /* user + system time of each counted run */
    long max_rss_kib;
};

static const char *output_path = "/dev/null";

static double now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e3 + (double)ts.tv_nsec / 1e6;
}

static double run_once(struct side *side, double *cpu_ms)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output_path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

    double start = now_ms();
    pid_t pid;
    int err = posix_spawn(&pid, side->argv[0], &actions, NULL, side->argv, environ);
    if (err != 0) {
        fprintf(stderr, "pairtime: %s: %s\n", side->argv[0], strerror(err));
        exit(2);
    }
    int status;
    struct rusage usage;
    while (wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            perror("pairtime: wait4");
            exit(2);
        }
    }
    double elapsed = now_ms() - start;
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "pairtime: %s failed (status 0x%x)\n", side->argv[0], status);
        exit(2);
    }
    if (usage.ru_maxrss > side->max_rss_kib)
        side->max_rss_kib = usage.ru_maxrss;
    if (cpu_ms != NULL)
        *cpu_ms = (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                  (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    return elapsed;
}

static int compare(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

static double median_of(double *values, int count)
{
    qsort(values, (size_t)count, sizeof(double), compare);
    return count % 2 != 0 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2;
}

static void report(const char *label, struct side *side, int runs)
{
    double median = median_of(side->ms, runs);
    printf("%s %.4f %.4f %.4f %ld %.4f ", label, median, side->ms[0], side->ms[runs - 1],
           side->max_rss_kib, median_of(side->cpu_ms, runs));
}

enum { max_sides = 8 };

int main(int argc, char **argv)
{
    int warmup = 2, runs = 10, verbose = 0, opt;
    while ((opt = getopt(argc, argv, "+vw:n:o:")) != -1) {
        switch (opt) {
        case 'v':
            verbose = 1;
            break;
        case 'w':
            warmup = atoi(optarg);
            break;
        case 'n':
            runs = atoi(optarg);
            break;
        case 'o':
            output_path = optarg;
            break;
        default:
            return 2;
        }
    }
    struct side sides[max_sides];
    int count = 0, start = optind, usable = runs >= 1;
    for (int i = optind; i <= argc && usable; ++i) {
        if (i < argc && strcmp(argv[i], "::") != 0)
            continue;
        if (i == start || count == max_sides) {
            usable = 0;
            break;
        }
        if (i < argc)
            argv[i] = NULL;
        struct side side = {argv + start, calloc((size_t)runs, sizeof(double)),
                            calloc((size_t)runs, sizeof(double)), 0};
        sides[count++] = side;
        start = i + 1;
    }
    if (!usable || count < 2) {
        fprintf(stderr, "usage: pairtime [-v] [-w N] [-n N] [-o FILE] A... :: B... [:: C...]\n");
        return 2;
    }

    for (int i = 0; i < warmup; ++i)
        for (int s = 0; s < count; ++s)
            run_once(&sides[s], NULL);
    for (int s = 0; s < count; ++s)
        sides[s].max_rss_kib = 0;
    for (int i = 0; i < runs; ++i) {
        for (int k = 0; k < count; ++k) {
            struct side *side = &sides[(i + k) % count];
            side->ms[i] = run_once(side, &side->cpu_ms[i]);
        }
        if (verbose) {
            fprintf(stderr, "round %d:", i + 1);
            for (int s = 0; s < count; ++s)
                fprintf(stderr, "  %c %.4f ms (cpu %.4f)", 'A' + s, sides[s].ms[i],
                        sides[s].cpu_ms[i]);
            fputc('\n', stderr);
        }
    }
    /* Each round's runs met the same state of the machine. */
    double paired[max_sides];
    double *ratios = calloc((size_t)runs, sizeof(double));
    for (int s = 1; s < count; ++s) {
        for (int i = 0; i < runs; ++i)
            ratios[i] = sides[0].ms[i] / sides[s].ms[i];
        paired[s] = median_of(ratios, runs);
    }
    char label[2] = "A";
    report(label, &sides[0], runs);
    for (int s = 1; s < count; ++s) {
        label[0] = (char)('A' + s);
        report(label, &sides[s], runs);
        printf("P %.4f%s", paired[s], s + 1 < count ? " " : "\n");
    }
    return 0;
}
