// Traces, audit notices, the fatal exit and reports of the database's state.
// Nothing here allocates: messages go through static buffers.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/mman.h>
#include <sys/sendfile.h>
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
char printable_buffer[printable_budget + 1];

// Output held back while the database is locked. Standard output and error,
// the trace file and the system log can each be stalled, by the caller or by
// another process: what is written to them meanwhile is collected, and
// copied out once the lock is gone.
struct HeldOutput {
    char *buffer; // filled first, then moved out of the way
    size_t size;
    size_t len;
    int fd;              // a memory file, made when the buffer first fills
    char *area;          // or anonymous memory, past a file size limit
    size_t area_size;    // what is mapped of it
    off_t spilled;       // what the memory file or the area holds of the output
    int err;             // why the rest could not be collected, or 0
    long long unwritten; // what the output did not take in time, for good
};

constexpr HeldOutput held_in(char *buffer, size_t size)
{
    return {buffer, size, 0, -1, nullptr, 0, 0, 0, 0};
}

char out_buffer[1 << 16];
char trace_buffer[8192];
char errors_buffer[8192];
char log_buffer[8192];
HeldOutput held_out = held_in(out_buffer, sizeof out_buffer);
HeldOutput held_trace = held_in(trace_buffer, sizeof trace_buffer);
HeldOutput held_errors = held_in(errors_buffer, sizeof errors_buffer);
// Whole records, each a priority digit, the message and a NUL.
HeldOutput held_log = held_in(log_buffer, sizeof log_buffer);
bool holding = false;

const char dropped_note[] = "(further messages were dropped)";

// Once the caller can no longer end the run (his uid is given up), what he
// chose to write to may stall it only so long, in all.
bool output_bounded = false;
constexpr long long output_wait_ms = lock_wait_ms;
long long output_waited_ms = 0;

// A write to what the caller chose. Once the run is out of his reach, it
// waits what is left of the bound (a moment, once that is used up), and
// another signal meanwhile only interrupts it; ETIMEDOUT after the bound.
template <class Write> ssize_t bounded(Write write_some)
{
    if (!output_bounded)
        return write_some();
    AlarmScope alarm;
    for (;;) {
        // Repeated, in case it fires before the call begins.
        AlarmScope::arm(std::max(output_wait_ms - output_waited_ms, 1LL), 50);
        long long began = monotonic_ms();
        ssize_t n = write_some();
        int err = errno;
        AlarmScope::arm(0, 0);
        output_waited_ms += monotonic_ms() - began;
        if (n >= 0 || err != EINTR) {
            errno = err;
            return n;
        }
        if (output_waited_ms >= output_wait_ms) {
            errno = ETIMEDOUT;
            return -1;
        }
    }
}

// A signal interrupts a write to a stalled output: after a change it ends
// nothing else. What was written; errno tells why not all.
size_t write_out(int fd, const char *data, size_t len)
{
    size_t done = 0;
    while (done < len) {
        ssize_t n = bounded([&] { return write(fd, data + done, len - done); });
        if (n <= 0) {
            errno = n == 0 ? EIO : errno;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

bool write_all(int fd, const char *data, size_t len)
{
    return write_out(fd, data, len) == len;
}

// Room for len more bytes in the anonymous area, which grows a MiB at a time.
bool grow_area(HeldOutput &held, size_t len)
{
    size_t need = static_cast<size_t>(held.spilled) + len;
    if (need <= held.area_size)
        return true;
    constexpr size_t step = size_t{1} << 20;
    size_t size = (need + step - 1) / step * step;
    void *area = held.area == nullptr ? mmap(nullptr, size, PROT_READ | PROT_WRITE,
                                             MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                      : mremap(held.area, held.area_size, size, MREMAP_MAYMOVE);
    if (area == MAP_FAILED)
        return false;
    held.area = static_cast<char *>(area);
    // One call takes the pages that a fault each would take far longer to.
    madvise(held.area + held.area_size, size - held.area_size, MADV_POPULATE_WRITE);
    held.area_size = size;
    return true;
}

// A file size limit stops a memory file, not the pipe or the terminal that
// the output goes to: what the file holds moves into anonymous memory, where
// the rest follows.
bool move_to_area(HeldOutput &held)
{
    bool moved = grow_area(held, held.len) &&
                 pread(held.fd, held.area, static_cast<size_t>(held.spilled), 0) == held.spilled;
    close(held.fd);
    held.fd = -1;
    return moved;
}

// Moves the buffer into a memory file, whose pages count against no resident
// size, or into anonymous memory once a file size limit stops the file. What
// a failed move wrote counts for nothing: the buffer still holds it.
bool spill(HeldOutput &held)
{
    if (held.err == 0 && held.fd < 0 && held.area == nullptr) {
        held.fd = memfd_create("tolmark-held", MFD_CLOEXEC);
        if (held.fd < 0)
            held.err = errno;
    }
    if (held.err == 0 && held.fd >= 0 && !write_all(held.fd, held.buffer, held.len) &&
        (errno != EFBIG || !move_to_area(held)))
        held.err = errno != 0 ? errno : EIO;
    if (held.err == 0 && held.fd < 0) {
        if (grow_area(held, held.len))
            memcpy(held.area + held.spilled, held.buffer, held.len);
        else
            held.err = errno;
    }
    if (held.err != 0)
        return false;
    held.spilled += static_cast<off_t>(held.len);
    held.len = 0;
    return true;
}

// What the memory file or the area holds from offset on, into to.
ssize_t read_spilled(const HeldOutput &held, char *to, size_t len, off_t offset)
{
    if (held.fd >= 0)
        return pread(held.fd, to, len, offset);
    len = std::min(len, static_cast<size_t>(held.spilled - offset));
    memcpy(to, held.area + offset, len);
    return static_cast<ssize_t>(len);
}

[[noreturn]] void fail_standard_output(int err)
{
    if (err == ETIMEDOUT)
        exit_with_error("%lld bytes were not written to standard output in time",
                        held_out.unwritten);
    exit_with_error("unable to write standard output: %s (%d)", strerror(err), err);
}

// A listing that cannot be collected whole must not end as if it were. What
// failed is where it was held, not the output.
void check_held(const HeldOutput &held)
{
    if (&held == &held_out && held.err != 0)
        exit_with_error("unable to hold standard output while the database is locked: %s (%d)",
                        strerror(held.err), held.err);
}

void hold_bytes(HeldOutput &held, const char *data, size_t len)
{
    while (len > 0 && (held.len < held.size || spill(held))) {
        size_t n = len < held.size - held.len ? len : held.size - held.len;
        memcpy(held.buffer + held.len, data, n);
        held.len += n;
        data += n;
        len -= n;
    }
    check_held(held);
}

// A text longer than the whole buffer is cut to it.
void hold_text(HeldOutput &held, const char *format, va_list args)
{
    va_list again;
    va_copy(again, args);
    size_t room = held.size - held.len;
    int n = vsnprintf(held.buffer + held.len, room, format, args);
    if (n >= 0 && static_cast<size_t>(n) < room) {
        held.len += static_cast<size_t>(n);
    } else if (n >= 0 && spill(held)) {
        n = vsnprintf(held.buffer, held.size, format, again);
        held.len = n < 0 ? 0 : std::min(static_cast<size_t>(n), held.size - 1);
    }
    va_end(again);
    check_held(held);
}

// Copies what the memory file or the area holds to fd in large blocks, from
// offset on, which tells how far it got; the error of a write that failed,
// or 0.
int copy_out(const HeldOutput &held, int fd, off_t &offset)
{
    ssize_t n = 0;
    if (held.area != nullptr) {
        offset = static_cast<off_t>(write_out(fd, held.area, static_cast<size_t>(held.spilled)));
        return offset == held.spilled ? 0 : errno;
    }
    while (offset < held.spilled &&
           (n = bounded([&] {
                return sendfile(fd, held.fd, &offset, static_cast<size_t>(held.spilled - offset));
            })) > 0)
        ;
    if (offset == held.spilled)
        return 0;
    if (n == 0 || (errno != EINVAL && errno != ENOSYS))
        return n == 0 ? EIO : errno;
    // Not every output takes sendfile (a terminal, a file opened to
    // append): the rest goes through a small buffer.
    char bounce[8192];
    while (offset < held.spilled) {
        n = read_spilled(held, bounce, sizeof bounce, offset);
        if (n <= 0)
            return n == 0 ? EIO : errno;
        size_t wrote = write_out(fd, bounce, static_cast<size_t>(n));
        offset += static_cast<off_t>(wrote);
        if (wrote < static_cast<size_t>(n))
            return errno;
    }
    return 0;
}

void reset(HeldOutput &held)
{
    if (held.fd >= 0)
        close(held.fd);
    if (held.area != nullptr)
        munmap(held.area, held.area_size);
    long long unwritten = held.unwritten;
    held = held_in(held.buffer, held.size);
    held.unwritten = unwritten;
}

// Writes what was held to fd, with a note where some was lost when note is
// set; the error of a write that failed, or 0.
int send_held(HeldOutput &held, int fd, bool note)
{
    off_t offset = 0;
    int err = held.spilled > 0 ? copy_out(held, fd, offset) : 0;
    size_t wrote = 0;
    if (err == 0 && (wrote = write_out(fd, held.buffer, held.len)) < held.len)
        err = errno;
    if (held.err != 0 && note && err == 0) {
        write_all(fd, "\n", 1);
        write_all(fd, dropped_note, sizeof dropped_note - 1);
        write_all(fd, "\n", 1);
    }
    if (err == ETIMEDOUT)
        held.unwritten += held.spilled - offset + static_cast<long long>(held.len - wrote);
    reset(held);
    return err;
}

// The system log's socket can stall (nobody reads /dev/log), and the C
// library, interrupted, connects again and waits again: every message waits
// a bounded time, a few seconds in all, after which the log is given up for
// the rest of the run, and standard error says so.
#ifndef TOLMARK_LOG_WAIT_MS
#define TOLMARK_LOG_WAIT_MS 3000
#endif
constexpr long log_wait_ms = TOLMARK_LOG_WAIT_MS;
long log_waited_ms = 0;
bool log_given_up = false;
// Set by an alarm that another process sent.
volatile sig_atomic_t alarm_from_elsewhere = 0;

// A signal that cuts the wait short has the C library give the message up
// without a word: only the alarm reaches the process meanwhile, and one that
// is not the process's own counts as the end of the wait.
void bounded_syslog(int level, const char *prefix, const char *text)
{
    long left = log_wait_ms - log_waited_ms;
    if (!log_given_up && left > 0) {
        sigset_t others, before;
        sigfillset(&others);
        sigdelset(&others, SIGALRM);
        sigprocmask(SIG_BLOCK, &others, &before);
        {
            AlarmScope alarm;
            // Repeated, for the second wait after the first was interrupted.
            AlarmScope::arm(left, 50);
            alarm_from_elsewhere = 0;
            long long began = monotonic_ms();
            syslog(level, "%s%s", prefix, text);
            AlarmScope::arm(0, 0);
            log_waited_ms += static_cast<long>(monotonic_ms() - began);
        }
        sigprocmask(SIG_SETMASK, &before, nullptr);
        if (log_waited_ms < log_wait_ms && alarm_from_elsewhere == 0)
            return;
    }
    note_log_lost();
}

// A message for the system log, whose socket can stall too. Records are held
// whole, or not at all.
void send_to_log(int level, const char *prefix, const char *text)
{
    if (!holding) {
        bounded_syslog(level, prefix, text);
        return;
    }
    HeldOutput &held = held_log;
    size_t prefix_len = strlen(prefix), text_len = strlen(text);
    size_t need = prefix_len + text_len + 2;
    if (need > held.size - held.len && (!spill(held) || need > held.size)) {
        held.err = held.err != 0 ? held.err : E2BIG;
        return;
    }
    held.buffer[held.len++] = static_cast<char>('0' + LOG_PRI(level));
    memcpy(held.buffer + held.len, prefix, prefix_len);
    memcpy(held.buffer + held.len + prefix_len, text, text_len + 1);
    held.len += prefix_len + text_len + 1;
}

// Sends the whole records in data; how many bytes they took.
size_t send_records(const char *data, size_t len)
{
    size_t at = 0;
    for (const char *end;
         at < len &&
         (end = static_cast<const char *>(memchr(data + at, '\0', len - at))) != nullptr;
         at = static_cast<size_t>(end - data) + 1)
        if (end > data + at)
            bounded_syslog(data[at] - '0', "", data + at + 1);
    return at;
}

void replay_log()
{
    HeldOutput &held = held_log;
    char chunk[8192];
    size_t have = 0;
    for (off_t offset = 0; offset < held.spilled;) {
        size_t want = std::min(sizeof chunk - have, static_cast<size_t>(held.spilled - offset));
        ssize_t n = read_spilled(held, chunk + have, want, offset);
        if (n <= 0)
            break;
        offset += n;
        have += static_cast<size_t>(n);
        size_t used = send_records(chunk, have);
        memmove(chunk, chunk + used, have - used);
        have -= used;
    }
    send_records(held.buffer, held.len);
    if (held.err != 0)
        bounded_syslog(LOG_NOTICE, "", dropped_note);
    reset(held);
}

// While the lock is held, and once the caller can no longer end the run,
// output is held, and written out by release_output.
HeldOutput *held_for(FILE *file)
{
    if ((!holding && !output_bounded) || file == nullptr)
        return nullptr;
    if (file == stdout)
        return &held_out;
    if (file == stderr)
        return &held_errors;
    return file == trace_file ? &held_trace : nullptr;
}

} // namespace

int locked_fd = -1;

long long monotonic_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

namespace
{

void on_alarm(int, siginfo_t *info, void *)
{
    // The kernel's timer sends it as the kernel; kill and sigqueue cannot.
    if (info->si_code != SI_KERNEL)
        alarm_from_elsewhere = 1;
}

} // namespace

AlarmScope::AlarmScope()
{
    struct sigaction wake {
    };
    wake.sa_sigaction = on_alarm;
    wake.sa_flags = SA_SIGINFO; // no SA_RESTART: the alarm ends the call
    sigemptyset(&wake.sa_mask);
    sigaction(SIGALRM, &wake, &saved);
    sigset_t alarm_only;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    sigprocmask(SIG_UNBLOCK, &alarm_only, &mask);
}

AlarmScope::~AlarmScope()
{
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    sigaction(SIGALRM, &saved, nullptr);
}

void AlarmScope::arm(long long first_ms, long every_ms)
{
    itimerval timer{};
    timer.it_value.tv_sec = static_cast<time_t>(first_ms / 1000);
    timer.it_value.tv_usec = static_cast<suseconds_t>(first_ms % 1000 * 1000);
    timer.it_interval.tv_usec = static_cast<suseconds_t>(every_ms * 1000);
    setitimer(ITIMER_REAL, &timer, nullptr);
}

void emit_v(FILE *file, const char *format, va_list args)
{
    if (HeldOutput *held = held_for(file); held != nullptr)
        hold_text(*held, format, args);
    else if (file != nullptr)
        vfprintf(file, format, args);
}

void emit(FILE *file, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    emit_v(file, format, args);
    va_end(args);
}

void emit_bytes(FILE *file, const char *data, size_t len)
{
    if (HeldOutput *held = held_for(file); held != nullptr)
        hold_bytes(*held, data, len);
    else if (file != nullptr)
        fwrite(data, 1, len, file);
}

void hold_output()
{
    holding = true;
}

void release_output()
{
    if (!holding && !output_bounded)
        return;
    holding = false;
    // What was written before the output was held goes first.
    for (FILE *file : {trace_file, stderr, stdout})
        if (file != nullptr)
            fflush(file);
    if (trace_file != nullptr)
        send_held(held_trace, fileno(trace_file), true);
    replay_log();
    send_held(held_errors, STDERR_FILENO, true);
    if (int err = send_held(held_out, STDOUT_FILENO, false); err != 0)
        fail_standard_output(err);
}

void note_log_lost()
{
    if (!log_given_up)
        emit(stderr,
             "%s: the system log did not take a message in time; it and those after it were not "
             "delivered\n",
             program_name);
    log_given_up = true;
}

bool log_lost()
{
    return log_given_up;
}

namespace
{

// Said at the end, where standard error can still take it.
void report_unwritten()
{
    for (auto [held, name] :
         {std::pair{&held_trace, "the trace file"}, std::pair{&held_errors, "standard error"}}) {
        char line[96];
        int n = snprintf(line, sizeof line, ": %lld bytes were not written to %s in time\n",
                         held->unwritten, name);
        if (held->unwritten > 0 && write_all(STDERR_FILENO, program_name, strlen(program_name)))
            write_all(STDERR_FILENO, line, static_cast<size_t>(n));
    }
}

} // namespace

void bound_caller_output()
{
    if (!output_bounded)
        atexit(report_unwritten);
    output_bounded = true;
}

void flush_standard_output()
{
    release_output();
    int err = fflush(stdout) != 0 ? errno : EIO; // EIO: an earlier write failed
    if (ferror(stdout) != 0)
        fail_standard_output(err);
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
        send_to_log(level, "", message);
        if (overflow != nullptr)
            send_to_log(LOG_NOTICE, "Buffer size exceeded logging msg: ", overflow);
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
        bool held = holding;
        holding = false; // the lock is gone: the log may take its time
        va_start(args, format);
        trace_log_v(nullptr, LOG_NOTICE, format, args);
        va_end(args);
        holding = held;
    }
    release_output();
    va_start(args, format);
    trace_log_v(trace_file, LOG_NOTICE, format, args);
    va_end(args);
    // A notice that the trace file did not take goes to the system log.
    if (trace_file != nullptr && privileged && (fflush(trace_file) != 0 || ferror(trace_file))) {
        va_start(args, format);
        trace_log_v(nullptr, LOG_NOTICE, format, args);
        va_end(args);
    }
}

namespace
{

// A fatal message as traced: the program's own text as it stands, what it was
// given (names, switches, paths) rendered printable, so that no caller's text
// reaches the log raw. The messages take strings and ints only.
void trace_fatal(const char *format, va_list args)
{
    char text[message_limit - 1];
    size_t len = 0;
    auto append = [&](const char *part) {
        size_t n = strnlen(part, sizeof text - 1 - len);
        memcpy(text + len, part, n);
        len += n;
    };
    for (const char *p = format; *p != '\0'; ++p) {
        char piece[16] = {*p, '\0'};
        if (*p == '%' && p[1] == 's') {
            const char *given = va_arg(args, const char *);
            const char *shown = printable_text(given);
            append(shown != nullptr ? shown : "");
            piece[0] = '\0';
        } else if (*p == '%' && (p[1] == 'd' || p[1] == 'i')) {
            snprintf(piece, sizeof piece, "%d", va_arg(args, int));
        }
        if (*p == '%' && p[1] != '\0')
            ++p;
        append(piece);
    }
    text[len] = '\0';
    trace_log(trace_file, LOG_DEBUG, "%s", text);
}

} // namespace

void exit_with_error(const char *format, ...)
{
    va_list args;
    // Nobody waits on this process while it reports.
    release_lock();
    release_output();
    emit(stderr, "%s: ", program_name);
    va_start(args, format);
    emit_v(stderr, format, args);
    va_end(args);
    emit(stderr, "\n");
    if (debug_level != 0) {
        va_start(args, format);
        trace_fatal(format, args);
        va_end(args);
    }
    release_output(); // what is still held, once the caller cannot end the run
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

void report_db_status(int result, const char *operation, int tolerant)
{
    // A missing key is no error, and leaves ENOENT, as it always has; a
    // failure is reported by its own code.
    int saved_errno = result == DB_NOTFOUND ? ENOENT : result > 0 ? result : errno;
    report_db_state(result == DB_NOTFOUND ? 0 : result, saved_errno, operation, tolerant != 0);
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
    char *out = printable_buffer;
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
    return printable_buffer;
}

const char *printable_text(const char *text)
{
    return printable(text, text != nullptr ? static_cast<int>(strnlen(text, INT_MAX)) : 0);
}
