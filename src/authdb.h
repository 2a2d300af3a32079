// The authentication database: record layout, the ways it is opened, its four
// actions; and the diagnostics that every part of the program writes through.
#pragma once

#include <cstdarg>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <sys/resource.h>

#include <db.h>

#include "tolmark.h"

// ---- database location and records ----

extern const char db_path[]; // the database's name, as messages show it
extern const char db_file[]; // the one file that holds it: the name plus ".db"

// Every wait that another process or the caller can stretch ends, as the
// system's password-file lock does.
#ifndef TOLMARK_LOCK_WAIT_MS
#define TOLMARK_LOCK_WAIT_MS 15000
#endif
constexpr long long lock_wait_ms = TOLMARK_LOCK_WAIT_MS;

constexpr size_t field_size = 1024; // a field of at most 1023 bytes and a NUL
constexpr size_t record_max = 1024; // largest record this program writes

// The two fields of a stored record, as views into its bytes. Neither view
// reaches past the record's size, whatever the record holds.
struct RecordFields {
    std::string_view apop;  // complement-encoded secret
    std::string_view scram; // carried over, never interpreted
};

// A record's fields held in the program's own buffers, cut to 1023 bytes.
struct AuthRecord {
    char apop[field_size];
    size_t apop_len;
    char scram[field_size];
    size_t scram_len;
};

RecordFields split_record(const char *data, size_t size);
void load_record(const RecordFields &fields, AuthRecord &record);
void complement_encode(char *dst, const char *src, size_t len);
// Builds encoded secret, NUL, SCRAM field, NUL into out; false when the result
// would not fit in out_size bytes. *len receives the record's size.
bool build_record(char *out, size_t out_size, const char *secret, size_t secret_len,
                  std::string_view scram, size_t *len);
DBT make_key(const char *name);
// The length of a key's text: up to its first NUL, within its size, at most
// 1023 bytes.
size_t key_length(const DBT &key);

void prepare_db_paths();
// Raises a resource's soft limit to its hard one, which it returns.
rlim_t raise_soft_limit(int resource);

// ---- the journal beneath the database ----

// Beside the database for good: its name plus ".journal". It carries the
// program's own locks too.
extern const char journal_file[];

// Notes the caller, for the journal's notices, and the pop account, whose
// journal alone is read; a run of root's that may write makes the journal that
// a database made before it lacks.
void prepare_journal(const CallerIdentity &caller, Action action);
// Makes an empty journal at name, owned by the owner and group when root makes
// it, mode 0600; 0, or why it could not (EEXIST: the name is taken).
int make_journal(const char *name, uid_t owner, gid_t group);
// Opens a fit journal only: a file of pop's (or of the program's own user),
// one link, nobody else's rights. -1 with errno; EPERM for one that is not
// fit.
int open_journal(const char *name, int flags);
enum class JournalState { clean, missing, unfit, needs_exclusive, unrepaired };
// Under the lock on db_fd, opened by db_name: a change that the journal still
// holds is rolled back, or found whole; a damaged journal, or another file's,
// is emptied, never applied. needs_exclusive: that takes the exclusive lock,
// which db_fd does not hold; unrepaired: a write failed (errno).
JournalState settle_journal(int db_fd, bool exclusive, const char *db_name,
                            const char *journal_name);
// From hold_writes on, nothing that Berkeley DB writes reaches a file; from
// hold_writes_on, its writes to the database's descriptor are held until it
// flushes the file, and then go through the journal.
void hold_writes(int journal);
bool hold_writes_on(int fd, uint32_t page_size);
enum class WriteOutcome { none, made, untouched, rolled_back, pending };
// The journal's checksum of len bytes, carried on from sum (journal_sum_seed
// at the start).
constexpr uint64_t journal_sum_seed = 0xcbf29ce484222325u;
uint64_t journal_sum(uint64_t sum, const void *data, size_t len);
// Once the database is closed: what became of the change, and the first
// failure in err.
WriteOutcome release_writes(int &err);

// ---- actions ----

// Each opens the database as it needs it and ends the run on a failure.
void delete_user(const Request &request, const CallerIdentity &caller);
void initialize_db(const Request &request, const CallerIdentity &caller);
void list_entries(const Request &request, const CallerIdentity &caller);
// Wipes the secret argument of the request once it has taken it.
void change_secret(Request &request, const CallerIdentity &caller);

// ---- diagnostics ----

void trace_log(FILE *file, int level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
void trace_log_v(FILE *file, int level, const char *format, va_list args);
[[noreturn]] void exit_with_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
// An audit notice; an ordinary caller's reaches the system log first also
// when he named a trace file. Output held back goes out before it.
void audit_notice(bool privileged, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Writes to file, or holds the text back while output is held.
void emit(FILE *file, const char *format, ...) __attribute__((format(printf, 2, 3)));
void emit_v(FILE *file, const char *format, va_list args);
void emit_bytes(FILE *file, const char *data, size_t len);

// While the database is locked, nothing is written where the caller or
// another process could make the holder wait: standard output and error, the
// trace file and the system log are held back and written once the lock is
// gone.
void hold_output();
void release_output();
// Writes what was held and flushes standard output; a failure to write it is
// fatal, so that no run ends as if its output had been read.
void flush_standard_output();
// The descriptor that holds the database's lock, or -1; a fatal exit closes it
// before it reports.
extern int locked_fd;
// Signals held back around the lock: the stop signals from before it is
// taken, every signal from when a writer has it.
void block_stop_signals();
void block_all_signals();
// Releases the lock and lets signals through again, harmlessly: from then on
// a signal no longer ends the run.
void release_lock();
// Once the caller can no longer end the run, every write to what he chose
// (standard output and error, the trace file) waits a bounded time in all;
// at the end standard error says, where it can, what was not written.
void bound_caller_output();
// Says, once, that the system log did not take a message in time, and sends
// it nothing more; whether that happened.
void note_log_lost();
bool log_lost();
// Milliseconds on a clock that never goes back.
long long monotonic_ms();
// While one lives, SIGALRM reaches a handler that does nothing but end the
// blocking call it interrupts. arm sets when it first fires, and how often
// again after (every_ms below a second), in case it fires before the call
// begins or the call is made again; arm(0, 0) stops it.
struct AlarmScope {
    AlarmScope();
    ~AlarmScope();
    AlarmScope(const AlarmScope &) = delete;
    AlarmScope &operator=(const AlarmScope &) = delete;
    static void arm(long long first_ms, long every_ms);
    struct sigaction saved;
    sigset_t mask;
};
// Reports Berkeley DB's answer to an operation, as the ndbm interface always
// reported its error state.
void report_db_status(int result, const char *operation, int tolerant);
// The decision behind report_db_status, given the error state and the error
// number that the operation left.
void report_db_state(int state, int saved_errno, const char *operation, bool tolerant);
const char *printable(const void *data, int length);
// printable of a NUL-ended text, or of none.
const char *printable_text(const char *text);
// One trace file entry; overflow_format is the format of a message that did
// not fit, or null.
void write_trace_entry(FILE *file, long seconds, long microseconds, long pid, const char *message,
                       const char *overflow_format);

int format_bounded(char *buffer, size_t size, const char *format, va_list args);
