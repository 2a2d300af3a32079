// Runs the built program as its users do: the caller's identity and the
// password database come from the test (uid_wrapper, nss_wrapper), prompts
// are answered on a pseudo-terminal, the system log is captured to a file,
// and the database lives in the test build's own folder.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

struct Caller {
    uid_t uid;
    gid_t gid;
};

// The test's password database.
inline constexpr Caller root{0, 0};
inline constexpr Caller pop{110, 120}; // a gid of its own
inline constexpr Caller alice{1001, 1001};
inline constexpr Caller bob{1002, 1002};
inline constexpr Caller stranger{4000, 4000}; // in no password database

// One prompt on the terminal and what is done when it appears.
struct Exchange {
    std::string prompt;
    std::string answer; // sent with a line end
    // Runs when the prompt has appeared, before the answer is sent.
    std::function<void(pid_t pid, int terminal)> action = nullptr;
    bool send = true; // false: send nothing (the action ends the run)
};

struct RunSpec {
    Caller caller = root;
    std::vector<std::string> args;
    std::string argv0;                // default: the program's path
    std::vector<Exchange> dialogue;   // answered on the terminal in order
    std::optional<std::string> input; // standard input; unset: the terminal
    std::map<std::string, std::string> env;
    std::string shown_argv0;                          // argv[0] when it differs from the path run
    std::string out_path;                             // standard output goes to this file
    bool out_append = false;                          // opened to append, as by >>
    bool close_stderr = false;                        // started with standard error closed
    std::vector<std::array<unsigned long, 3>> limits; // resource, soft, hard
    bool alarm_blocked = false;                       // started with SIGALRM blocked
    bool child_signal_ignored = false;                // started with SIGCHLD ignored
    // The terminal on standard input and error only, not the controlling one
    // (as under su -c or setsid): /dev/tty cannot be opened.
    bool no_controlling_terminal = false;
    bool out_to_terminal = false; // standard output is the terminal too
};

struct RunResult {
    int status = -1; // exit status, or 128 + signal
    std::string out, err, terminal;
    std::string dialogue_failure; // a prompt that never came
};

struct Running {
    pid_t pid = -1;
    int terminal = -1;
    int out = -1, err = -1;
    RunSpec spec;
    bool finished = false; // reaped by finish
};

// Whichever way a test leaves the scope, a program started there and not
// finished is killed, and the thread that finishes it is joined: nothing is
// left holding a lock, and no thread is destroyed while it runs. Given a bare
// process, kills and reaps it in any case.
class Reaper
{
  public:
    explicit Reaper(Running &running, std::thread *finisher = nullptr)
        : running(&running), finisher(finisher)
    {
    }
    explicit Reaper(pid_t helper) : helper(helper) {}
    Reaper(const Reaper &) = delete;
    Reaper &operator=(const Reaper &) = delete;
    ~Reaper();

  private:
    Running *running = nullptr;
    std::thread *finisher = nullptr;
    pid_t helper = -1;
};

struct LogEntry {
    int priority, option, facility;
    std::string ident, message;
};

using Bytes = std::string; // raw key or record bytes, NULs included

class Tolmark : public ::testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the test's passwd and group files; without_pop leaves the pop
    // account out.
    void write_accounts(bool without_pop = false);

    RunResult run(Caller who, std::vector<std::string> args, std::vector<Exchange> dialogue = {},
                  std::optional<std::string> input = {});
    RunResult run(RunSpec spec);
    Running start(RunSpec spec);
    RunResult finish(Running &running);

    // A link to the program under another name, in the test's folder.
    std::string program_named(const std::string &name);
    std::string file(const std::string &name) const { return dir + "/" + name; }
    std::vector<LogEntry> syslog() const;

    // The database, read and written directly through the ndbm interface,
    // and an empty journal of pop's beside it, as -init leaves it.
    void create_db();
    void empty_journal();
    void put(const Bytes &key, const Bytes &record);
    std::optional<Bytes> get(const Bytes &key) const;
    std::map<Bytes, Bytes> contents() const;
    static Bytes key(const std::string &name) { return name + std::string(1, '\0'); }

    std::string dir; // this test's private folder
};

extern const std::string program_path;
extern const std::string db_path;
extern const std::string db_file;
extern const std::string journal_file;

std::string read_file(const std::string &path);
// Waits until a process waits for a lock on db_file, as /proc/locks shows.
bool wait_until_blocked_on_lock(pid_t pid, int timeout_ms = 10000);
// Waits until the process sits in the system call of that number.
bool wait_until_in_syscall(pid_t pid, long number);
// Whether the text is in any writable memory of the process (of up to 64 MiB
// a mapping).
bool memory_holds(pid_t pid, const std::string &text);
// The uid line of /proc/PID/status: real, effective, saved, filesystem.
std::vector<uid_t> process_uids(pid_t pid);
// Whether the process blocks each of the signals, as /proc/PID/status shows.
bool blocks_signals(pid_t pid, std::initializer_list<int> signals);
// An encoded record: the secret complemented, NUL, the SCRAM text, NUL.
Bytes record_of(const std::string &secret, const std::string &scram = "");
