// Process-wide state, the request read from the command line and the
// identity of the caller.
#pragma once

#include <cstdio>
#include <sys/types.h>

// Longest secret kept, in characters; buffers hold one more for the NUL.
constexpr size_t secret_max = 99;

extern const char *program_name; // argv[0] as given
extern int debug_level;          // non-zero: write debug traces
extern FILE *trace_file;         // traces and notices go here, else to syslog

// Invocation mode, fixed by the name under which the program was started.
extern const char *mode;
extern int passtype; // 0 APOP, 1 SCRAM
extern bool onlysw;  // say "only " in the change messages

enum class Action { change, init, list, remove };

struct Request {
    Action action = Action::change;
    bool safe = false;
    bool user_switch = false;
    const char *target_name = nullptr;
    // A secret given on the command line, copied out of argv (which is then
    // wiped) so that it stays out of the process listing.
    bool has_secret_argument = false;
    char secret_argument[secret_max + 1] = {};
};

struct CallerIdentity {
    uid_t real_uid = 0;
    const char *caller_name = nullptr; // own copy
    uid_t pop_uid = 0;
    gid_t pop_gid = 0;
    bool privileged = false;
};

// Closes the trace file if one is open.
void close_trace_file();

// A copy of a name that outlives the password database's static entry.
char *own_copy(const char *name);
// The password database's entry for a name, or for the caller's uid; null
// when there is none. A look-up that fails ends the run.
const struct passwd *find_account(const char *name);
const struct passwd *find_account_of(uid_t uid);
