// Traces, audit notices, the fatal exit and reports of the database's state.
// Nothing here allocates: messages go through two static buffers.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include "authdb.h"

const char *program_name = "";
int debug_level = 0;
FILE *trace_file = nullptr;
const char *mode = nullptr;
int passtype = 0;
bool onlysw = false;

namespace
{

constexpr size_t message_size = 2048;
constexpr size_t message_limit = 2045; // what format_bounded may use of it
constexpr int printable_budget = 1023;

char message[message_size];
char printable_text[printable_budget + 1];

// Output held back while the database is locked: the trace file and standard
// error belong to the caller, who could stall a write to them.
struct HeldOutput {
    char text[8192];
    size_t len;
    bool cut;
};
bool holding = false;
HeldOutput held_trace;
HeldOutput held_errors;

void hold_text(HeldOutput &held, const char *format, va_list args)
{
    size_t room = sizeof held.text - held.len;
    int n = vsnprintf(held.text + held.len, room, format, args);
    if (n < 0 || static_cast<size_t>(n) >= room) {
        held.cut = true;
        held.len = sizeof held.text - 1;
        return;
    }
    held.len += static_cast<size_t>(n);
}

void write_held(FILE *file, HeldOutput &held)
{
    if (file != nullptr && held.len > 0) {
        fwrite(held.text, 1, held.len, file);
        if (held.cut)
            fputs("\n(further messages were dropped)\n", file);
        fflush(file);
    }
    held.len = 0;
    held.cut = false;
}

HeldOutput *held_for(FILE *file)
{
    if (!holding || file == nullptr)
        return nullptr;
    if (file == stderr)
        return &held_errors;
    return file == trace_file ? &held_trace : nullptr;
}

} // namespace

int locked_fd = -1;

void emit(FILE *file, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    if (HeldOutput *held = held_for(file); held != nullptr)
        hold_text(*held, format, args);
    else if (file != nullptr)
        vfprintf(file, format, args);
    va_end(args);
}

void hold_output()
{
    holding = true;
}

void release_output()
{
    if (!holding)
        return;
    holding = false;
    write_held(trace_file, held_trace);
    write_held(stderr, held_errors);
}

namespace
{

bool signals_held = false;
bool writing = false; // every signal held: a writer has the lock
sigset_t mask_before; // the caller's own mask

void on_late_signal(int) {}

// Once a writer's lock is gone, a signal that arrived meanwhile, or arrives
// later, no longer ends the process: a change that was made ends normally,
// and a write to a stalled descriptor can still be interrupted. A reader
// only gets its own mask back.
void settle_signals()
{
    struct sigaction note {
    };
    note.sa_handler = on_late_signal;
    sigemptyset(&note.sa_mask);
    if (writing)
        for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2,
                        SIGTSTP, SIGTTIN, SIGTTOU, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGPOLL})
            sigaction(sig, &note, nullptr);
    sigprocmask(SIG_SETMASK, &mask_before, nullptr);
    signals_held = false;
    writing = false;
}

void block(const sigset_t &set)
{
    sigset_t before;
    sigprocmask(SIG_BLOCK, &set, &before);
    if (!signals_held)
        mask_before = before;
    signals_held = true;
}

} // namespace

void block_stop_signals()
{
    sigset_t stops;
    sigemptyset(&stops);
    for (int sig : {SIGTSTP, SIGTTIN, SIGTTOU})
        sigaddset(&stops, sig);
    block(stops);
}

void block_all_signals()
{
    sigset_t all;
    sigfillset(&all);
    block(all);
    writing = true;
}

void release_lock()
{
    if (locked_fd >= 0) {
        close(locked_fd);
        locked_fd = -1;
    }
    if (signals_held)
        settle_signals();
}

void close_trace_file()
{
    if (trace_file != nullptr) {
        fclose(trace_file);
        trace_file = nullptr;
    }
}

void write_trace_entry(FILE *file, long seconds, long microseconds, long pid, const char *text,
                       const char *overflow_format)
{
    // ctime's fixed layout: "Www Mmm dd hh:mm:ss yyyy\n".
    char stamp[64];
    time_t t = seconds;
    if (ctime_r(&t, stamp) == nullptr || strlen(stamp) < 24)
        snprintf(stamp, sizeof stamp, "%-24s", "");
    long ms = (microseconds + 500) / 1000;
    if (ms > 999)
        ms = 999; // a three-digit field; the next second is not ours to claim
    emit(file, "%.15s.%03ld %.4s [%ld] %s\n", stamp + 4, ms, stamp + 20, pid, text);
    emit(file, "%.15s.%03ld %.4s \n", stamp + 4, ms, stamp + 20);
    if (overflow_format != nullptr) {
        emit(file, "%.19s [%ld] Buffer size exceeded logging msg: %s\n", stamp, pid,
             overflow_format);
        emit(file, "%.19s \n", stamp);
    }
    if (held_for(file) == nullptr)
        fflush(file);
}

void trace_log_v(FILE *file, int level, const char *format, va_list args)
{
    message[0] = '\0';
    int n = format_bounded(message, message_limit, format, args);
    const char *overflow = n == -1 ? (format != nullptr ? format : "") : nullptr;
    if (file == nullptr) {
        syslog(level, "%s", message);
        if (overflow != nullptr)
            syslog(LOG_NOTICE, "Buffer size exceeded logging msg: %s", overflow);
        return;
    }
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0) {
        now.tv_sec = time(nullptr);
        now.tv_usec = 0;
    }
    write_trace_entry(file, now.tv_sec, now.tv_usec, static_cast<long>(getpid()), message,
                      overflow);
}

void trace_log(FILE *file, int level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    trace_log_v(file, level, format, args);
    va_end(args);
}

void audit_notice(bool privileged, const char *format, ...)
{
    va_list args;
    // An ordinary caller chooses the trace file, and may stall it: his
    // notices reach the system log first, whatever the file is.
    if (trace_file != nullptr && !privileged) {
        va_start(args, format);
        trace_log_v(nullptr, LOG_NOTICE, format, args);
        va_end(args);
    }
    release_output();
    va_start(args, format);
    trace_log_v(trace_file, LOG_NOTICE, format, args);
    va_end(args);
}

void exit_with_error(const char *format, ...)
{
    va_list args;
    // Nobody waits on this process while it reports.
    release_lock();
    release_output();
    fprintf(stderr, "%s: ", program_name);
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    if (debug_level != 0) {
        va_start(args, format);
        trace_log_v(trace_file, LOG_DEBUG, format, args);
        va_end(args);
    }
    close_trace_file();
    exit(1);
}

void report_db_state(int state, int saved_errno, const char *operation, bool tolerant)
{
    bool quiet = state == 0 || (state == -1 && tolerant);
    if (quiet && debug_level == 0)
        return;
    // strerror may share one buffer between calls; these two must not.
    char state_text[128];
    char errno_text[128];
    // Berkeley DB's own codes are below -1, which is the ndbm interface's.
    const char *state_msg =
        state < -1 ? db_strerror(state) : strerror_r(state, state_text, sizeof state_text);
    const char *errno_msg = strerror_r(saved_errno, errno_text, sizeof errno_text);
    if (state == 0)
        trace_log(trace_file, LOG_DEBUG, "DB %s succeeded: %s %d (%d: %s)", operation, state_msg, 0,
                  saved_errno, errno_msg);
    else if (quiet)
        trace_log(trace_file, LOG_DEBUG, "DB error on %s: %s %d (%d: %s)", operation, state_msg, -1,
                  saved_errno, errno_msg);
    else {
        trace_log(trace_file, LOG_NOTICE, "*** DB error on %s: %s %d (%d: %s) ***", operation,
                  state_msg, state, saved_errno, errno_msg);
        emit(stderr, "*** DB error on %s: %s %d (%d: %s) ***\n", operation, state_msg, state,
             saved_errno, errno_msg);
    }
}

void report_db_status(DBM *db, const char *operation, int tolerant)
{
    int saved_errno = errno;
    report_db_state(dbm_error(db), saved_errno, operation, tolerant != 0);
}

namespace
{

// The short escape for a byte, or 0 when it has none.
char escape_letter(unsigned char b)
{
    switch (b) {
    case 0x00:
        return '0';
    case 0x07:
        return 'a';
    case 0x08:
        return 'b';
    case 0x09:
        return 't';
    case 0x0a:
        return 'n';
    case 0x0b:
        return 'v';
    case 0x0d:
        return 'r';
    default:
        return 0;
    }
}

} // namespace

const char *printable(const void *data, int length)
{
    if (data == nullptr) {
        if (debug_level != 0)
            trace_log(trace_file, LOG_DEBUG, "printable passed NULL pointer");
        return nullptr;
    }
    const auto *bytes = static_cast<const unsigned char *>(data);
    int budget = printable_budget;
    char *out = printable_text;
    for (int i = 0; i < length; ++i) {
        unsigned char b = bytes[i];
        char item[8];
        int cost;
        if (b >= 0x20 && b <= 0x7e) {
            item[0] = static_cast<char>(b);
            item[1] = '\0';
            cost = 1;
        } else if (char letter = escape_letter(b); letter != 0) {
            item[0] = '\\';
            item[1] = letter;
            item[2] = '\0';
            cost = 2;
        } else {
            snprintf(item, sizeof item, "\\%#lx", static_cast<unsigned long>(b));
            cost = 5;
        }
        if (cost > budget)
            break;
        size_t len = strlen(item);
        memcpy(out, item, len);
        out += len;
        budget -= cost;
    }
    *out = '\0';
    return printable_text;
}
