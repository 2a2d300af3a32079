/* Preloaded into the program under test: records what it sends to the
 * system log, one line per call, in the file named by TOLMARK_SYSLOG_CAPTURE:
 *   priority option facility ident<TAB>message
 * with backslashes and line ends in the message escaped as \\ and \n.
 *
 * With TOLMARK_FAULT_FILE=<path>, the writes on that file (or its flushes,
 * with TOLMARK_FAULT_CALLS=flushes) fail with EIO once the first
 * TOLMARK_FAULT_AFTER (default 0) of them went through, and go through again
 * after TOLMARK_FAULT_COUNT (default: never) have failed; the first failure
 * creates <path>.failed, so a test knows whether one happened. With
 * TOLMARK_FAULT_CALLS=unlocked, only a write made while no lock is held on
 * the file fails; with TOLMARK_FAULT_CALLS=short, each write on it takes at
 * most 100 bytes, as one to a pipe does when a signal cuts it short. The file
 * is known by the device and inode that the path had at the first call, as
 * the program renames files. With TOLMARK_FAULT_CALLS=late, a lock that waits
 * on the file is asked for TOLMARK_FAULT_LATE_MS milliseconds late, whatever
 * signals come meanwhile, as by a process held up before its wait. With
 * TOLMARK_FAULT_CALLS=kill, the process is killed (SIGKILL) as it is about to
 * make that write, as by a power cut or kill -9. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <syslog.h>
#include <unistd.h>

static char ident_copy[4096] = "";
static int option_saved = -1;
static int facility_saved = -1;
/* As the C library's, the log's socket is made by the first message, or at
 * once with LOG_NDELAY, and kept: a test sees when it appears. */
static int log_socket = -1;

static void connect_log(void)
{
    if (log_socket < 0)
        log_socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

void openlog(const char *ident, int option, int facility)
{
    snprintf(ident_copy, sizeof ident_copy, "%s", ident ? ident : "");
    option_saved = option;
    facility_saved = facility;
    if (option & LOG_NDELAY)
        connect_log();
}

void closelog(void)
{
    if (log_socket >= 0)
        close(log_socket);
    log_socket = -1;
}

static void record(int priority, const char *format, va_list args)
{
    connect_log();
    const char *path = getenv("TOLMARK_SYSLOG_CAPTURE");
    if (path == NULL)
        return;
    char message[16384];
    vsnprintf(message, sizeof message, format, args);
    char line[40000];
    int n = snprintf(line, sizeof line, "%d %d %d %s\t", priority, option_saved, facility_saved,
                     ident_copy);
    for (const char *p = message; *p != '\0' && n < (int)sizeof line - 3; ++p) {
        if (*p == '\n' || *p == '\\') {
            line[n++] = '\\';
            line[n++] = *p == '\n' ? 'n' : '\\';
        } else {
            line[n++] = *p;
        }
    }
    line[n++] = '\n';
    /* A FIFO that nobody reads stalls the log, as a full socket does; the C
     * library, interrupted, connects again and waits once more. */
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0600);
    if (fd < 0 && errno == EINTR)
        fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0600);
    if (fd < 0)
        return;
    ssize_t ignored = write(fd, line, (size_t)n);
    (void)ignored;
    close(fd);
}

void vsyslog(int priority, const char *format, va_list args)
{
    record(priority, format, args);
}

void syslog(int priority, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    record(priority, format, args);
    va_end(args);
}

void __vsyslog_chk(int priority, int flag, const char *format, va_list args)
{
    (void)flag;
    record(priority, format, args);
}

void __syslog_chk(int priority, int flag, const char *format, ...)
{
    (void)flag;
    va_list args;
    va_start(args, format);
    record(priority, format, args);
    va_end(args);
}

/* With TOLMARK_CALL_LOG, renames and flushes are recorded there, a line each:
 *   rename<TAB>from<TAB>to<TAB>the mode of to's folder, in octal
 *   fsync<TAB>the path of the descriptor flushed (and fdatasync<TAB>...)
 * and, before a rename over a file, whether a lock is held on that file:
 *   locked<TAB>to<TAB>yes or no */
static void log_call(const char *format, ...)
{
    const char *log = getenv("TOLMARK_CALL_LOG");
    FILE *out = log != NULL ? fopen(log, "a") : NULL;
    if (out == NULL)
        return;
    va_list args;
    va_start(args, format);
    vfprintf(out, format, args);
    va_end(args);
    fclose(out);
}

enum { writes, flushes, reads, unlocked, shorts, lates, kills };

/* Whether nobody holds a lock on the file: a lock of this process on another
 * opening of it conflicts too. */
static int lock_free(int fd)
{
    char name[64];
    snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    int other = open(name, O_RDONLY | O_CLOEXEC);
    int nobody = other >= 0 && flock(other, LOCK_EX | LOCK_NB) == 0;
    if (other >= 0)
        close(other);
    return nobody;
}

static int fault_hits(int fd, int kind)
{
    static int ready, known, faulty_kind;
    static struct stat faulty;
    static long after, failing, seen;
    static const char *path;
    if (!ready) {
        path = getenv("TOLMARK_FAULT_FILE");
        const char *calls = getenv("TOLMARK_FAULT_CALLS");
        const char *count = getenv("TOLMARK_FAULT_AFTER");
        const char *failures = getenv("TOLMARK_FAULT_COUNT");
        ready = 1;
        known = path != NULL && stat(path, &faulty) == 0;
        faulty_kind = calls == NULL                    ? writes
                      : strcmp(calls, "flushes") == 0  ? flushes
                      : strcmp(calls, "reads") == 0    ? reads
                      : strcmp(calls, "unlocked") == 0 ? unlocked
                      : strcmp(calls, "short") == 0    ? shorts
                      : strcmp(calls, "late") == 0     ? lates
                      : strcmp(calls, "kill") == 0     ? kills
                                                       : writes;
        after = count != NULL ? atol(count) : 0;
        failing = failures != NULL ? atol(failures) : -1;
    }
    struct stat st;
    if (!known || fstat(fd, &st) != 0 || st.st_dev != faulty.st_dev || st.st_ino != faulty.st_ino)
        return 0;
    if (faulty_kind == unlocked && kind == writes && lock_free(fd))
        kind = unlocked;
    if (kind != faulty_kind || seen++ < after || (failing >= 0 && seen > after + failing))
        return 0;
    if (seen == after + 1) {
        char mark[4096];
        snprintf(mark, sizeof mark, "%s.failed", path);
        close(open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    }
    errno = EIO;
    return 1;
}

/* Fails the call, or passes it on to the next definition of name. */
#define PASS_ON(name, kind, fd, arguments)                                                         \
    static __typeof__(&name) real;                                                                 \
    if (fault_hits(fd, kind))                                                                      \
        return -1;                                                                                 \
    if (real == NULL)                                                                              \
        real = (__typeof__(&name))dlsym(RTLD_NEXT, #name);                                         \
    return real arguments

static void kill_at(int fd)
{
    if (fault_hits(fd, kills))
        kill(getpid(), SIGKILL);
}

ssize_t write(int fd, const void *data, size_t size)
{
    if (size > 100 && fault_hits(fd, shorts))
        size = 100;
    kill_at(fd);
    PASS_ON(write, writes, fd, (fd, data, size));
}

ssize_t writev(int fd, const struct iovec *parts, int count)
{
    kill_at(fd);
    PASS_ON(writev, writes, fd, (fd, parts, count));
}

ssize_t pwrite(int fd, const void *data, size_t size, off_t at)
{
    kill_at(fd);
    PASS_ON(pwrite, writes, fd, (fd, data, size, at));
}

ssize_t pwrite64(int fd, const void *data, size_t size, off64_t at)
{
    kill_at(fd);
    PASS_ON(pwrite64, writes, fd, (fd, data, size, at));
}

ssize_t read(int fd, void *data, size_t size)
{
    PASS_ON(read, reads, fd, (fd, data, size));
}

ssize_t pread(int fd, void *data, size_t size, off_t at)
{
    PASS_ON(pread, reads, fd, (fd, data, size, at));
}

ssize_t pread64(int fd, void *data, size_t size, off64_t at)
{
    PASS_ON(pread64, reads, fd, (fd, data, size, at));
}

static void log_flush(const char *call, int fd)
{
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    path[n > 0 ? n : 0] = '\0';
    log_call("%s\t%s\n", call, path);
}

int fsync(int fd)
{
    log_flush("fsync", fd);
    PASS_ON(fsync, flushes, fd, (fd));
}

int fdatasync(int fd)
{
    log_flush("fdatasync", fd);
    PASS_ON(fdatasync, flushes, fd, (fd));
}

static const char *base_of(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash != NULL ? slash + 1 : path;
}

/* A rename to a name whose last part is that of TOLMARK_FAULT_RENAME is
 * followed at once by a link swapped in at that name, as by someone who wins
 * the race for it. */
int rename(const char *from, const char *to)
{
    static __typeof__(&rename) real;
    if (real == NULL)
        real = (__typeof__(&rename))dlsym(RTLD_NEXT, "rename");
    char folder[4096];
    snprintf(folder, sizeof folder, "%.*s", (int)(base_of(to) - to), to);
    struct stat st = {0};
    stat(folder[0] != '\0' ? folder : ".", &st);
    int replaced = open(to, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (replaced >= 0) {
        log_call("locked\t%s\t%s\n", to, lock_free(replaced) ? "no" : "yes");
        close(replaced);
    }
    log_call("rename\t%s\t%s\t%o\n", from, to, (unsigned)(st.st_mode & 07777));
    int done = real(from, to);
    const char *watched = getenv("TOLMARK_FAULT_RENAME");
    if (done == 0 && watched != NULL && strcmp(base_of(watched), base_of(to)) == 0 &&
        unlink(to) == 0)
        symlink("/nonexistent", to);
    return done;
}

int flock(int fd, int operation)
{
    static __typeof__(&flock) real;
    if (real == NULL)
        real = (__typeof__(&flock))dlsym(RTLD_NEXT, "flock");
    const char *late = getenv("TOLMARK_FAULT_LATE_MS");
    if (late != NULL && (operation & (LOCK_NB | LOCK_UN)) == 0 && fault_hits(fd, lates)) {
        struct timespec until;
        clock_gettime(CLOCK_MONOTONIC, &until);
        long ns = until.tv_nsec + atol(late) % 1000 * 1000000;
        until.tv_sec += atol(late) / 1000 + ns / 1000000000;
        until.tv_nsec = ns % 1000000000;
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL) == EINTR)
            ;
    }
    return real(fd, operation);
}
