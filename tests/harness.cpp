#include "harness.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#define DB_DBM_HSEARCH 1
#include <db.h>

namespace fs = std::filesystem;

const std::string program_path = TEST_PROGRAM;
const std::string db_path = TEST_DB_PATH;
const std::string db_file = TEST_DB_PATH ".db";
const std::string journal_file = TEST_DB_PATH ".journal";

namespace
{

const char passwd_text[] = "root:x:0:0:root:/root:/bin/sh\n"
                           "pop:x:110:120:POP3 server:/var/spool/pop:/bin/false\n"
                           "alice:x:1001:1001:Alice:/home/alice:/bin/sh\n"
                           "bob:x:1002:1002:Bob:/home/bob:/bin/sh\n"
                           "carol:x:1003:1003:Carol:/home/carol:/bin/sh\n"
                           "ALL:x:1004:1004:All:/home/ALL:/bin/sh\n"
                           "averyverylongusername:x:1005:1005::/home/long:/bin/sh\n";
const char group_text[] = "root:x:0:\npop:x:120:\nalice:x:1001:\nbob:x:1002:\ncarol:x:1003:\n"
                          "ALL:x:1004:\naveryverylongusername:x:1005:\n";

void write_text(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::vector<std::string> environment_for(const RunSpec &spec, const std::string &dir)
{
    std::map<std::string, std::string> env = {
        {"PATH", "/usr/bin:/bin"},
        {"LANG", "C"},
        {"TZ", "UTC"},
        {"LD_PRELOAD", std::string(UID_WRAPPER_SO) + ":" + NSS_WRAPPER_SO + ":" SYSLOG_CAPTURE_SO},
        {"UID_WRAPPER", "1"},
        // Installed set-user-id to pop: the effective uid is pop's.
        {"UID_WRAPPER_INITIAL_RUID", std::to_string(spec.caller.uid)},
        {"UID_WRAPPER_INITIAL_EUID", std::to_string(pop.uid)},
        {"UID_WRAPPER_INITIAL_SUID", std::to_string(pop.uid)},
        {"UID_WRAPPER_INITIAL_RGID", std::to_string(spec.caller.gid)},
        {"UID_WRAPPER_INITIAL_EGID", std::to_string(spec.caller.gid)},
        {"UID_WRAPPER_INITIAL_SGID", std::to_string(spec.caller.gid)},
        {"UID_WRAPPER_DISABLE_DEEPBIND", "1"},
        {"NSS_WRAPPER_DISABLE_DEEPBIND", "1"},
        {"NSS_WRAPPER_PASSWD", dir + "/passwd"},
        {"NSS_WRAPPER_GROUP", dir + "/group"},
        {"TOLMARK_SYSLOG_CAPTURE", dir + "/syslog"},
        // The wrappers are preloaded ahead of the sanitizer runtime; a
        // sanitizer report must never pass for the program's own status 1.
        // Fatal exits leave the database handle to the process's end, which
        // the leak checker would report.
        {"ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0:exitcode=99"},
        {"UBSAN_OPTIONS", "halt_on_error=1:print_stacktrace=1:exitcode=98"},
    };
    for (const auto &[name, value] : spec.env)
        env[name] = value;
    std::vector<std::string> list;
    for (const auto &[name, value] : env)
        list.push_back(name + "=" + value);
    return list;
}

void drain(int &fd, std::string &into)
{
    if (fd < 0)
        return;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
        into.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        close(fd);
        fd = -1;
    }
}

// The terminal reads EIO while no process has it open (the program may open
// it later); closing it then would hang up the program's session.
void drain_terminal(int fd, std::string &into)
{
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        into.append(buffer, static_cast<size_t>(n));
}

} // namespace

void Tolmark::SetUp()
{
    char pattern[] = "/tmp/tolmark-test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    write_accounts();
    fs::path db_dir = fs::path(db_path).parent_path();
    fs::remove_all(db_dir);
    fs::create_directories(db_dir);
}

void Tolmark::TearDown()
{
    fs::remove_all(dir);
    fs::remove_all(fs::path(db_path).parent_path());
}

void Tolmark::write_accounts(bool without_pop)
{
    std::string passwd = passwd_text;
    std::string group = group_text;
    if (without_pop) {
        passwd.erase(passwd.find("pop:"),
                     passwd.find('\n', passwd.find("pop:")) + 1 - passwd.find("pop:"));
        group.erase(group.find("pop:"),
                    group.find('\n', group.find("pop:")) + 1 - group.find("pop:"));
    }
    write_text(file("passwd"), passwd);
    write_text(file("group"), group);
}

Running Tolmark::start(RunSpec spec)
{
    Running running;
    int out[2], err[2], in[2] = {-1, -1};
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
    // The input is in the pipe before the program starts: one that ends
    // without reading it leaves the test no pipe to write that nobody reads.
    if (spec.input) {
        EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
        EXPECT_EQ(write(in[1], spec.input->data(), spec.input->size()),
                  static_cast<ssize_t>(spec.input->size()));
    }
    std::string argv0 = spec.argv0.empty() ? program_path : spec.argv0;
    std::vector<std::string> words = {spec.shown_argv0.empty() ? argv0 : spec.shown_argv0};
    words.insert(words.end(), spec.args.begin(), spec.args.end());
    std::vector<std::string> env = environment_for(spec, dir);
    std::vector<char *> argv, envp;
    for (auto &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    for (auto &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    int terminal = -1;
    pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
        if (!spec.out_to_terminal)
            dup2(out[1], 1);
        dup2(err[1], 2);
        if (in[0] >= 0)
            dup2(in[0], 0);
        if (!spec.out_path.empty())
            dup2(open(spec.out_path.c_str(), O_WRONLY | (spec.out_append ? O_APPEND : 0)), 1);
        if (spec.close_stderr)
            close(2);
        if (spec.no_controlling_terminal) {
            dup2(0, 2);
            signal(SIGHUP, SIG_IGN); // sent to the session as it lets go
            ioctl(0, TIOCNOTTY);
            signal(SIGHUP, SIG_DFL);
        }
        close_range(3, ~0U, 0); // nothing of the test's reaches the program
        if (spec.alarm_blocked) {
            sigset_t alarm;
            sigemptyset(&alarm);
            sigaddset(&alarm, SIGALRM);
            sigprocmask(SIG_BLOCK, &alarm, nullptr);
        }
        if (spec.child_signal_ignored)
            signal(SIGCHLD, SIG_IGN);
        for (const auto &[resource, soft, hard] : spec.limits) {
            rlimit limit{soft, hard};
            setrlimit(static_cast<__rlimit_resource>(resource), &limit);
        }
        execve(argv0.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    EXPECT_GT(pid, 0);
    close(out[1]);
    close(err[1]);
    if (in[0] >= 0) {
        close(in[0]);
        close(in[1]);
    }
    for (int fd : {terminal, out[0], err[0]})
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    running.pid = pid;
    running.terminal = terminal;
    running.out = out[0];
    running.err = err[0];
    running.spec = std::move(spec);
    return running;
}

RunResult Tolmark::finish(Running &running)
{
    RunResult result;
    size_t next = 0, seen = 0; // next exchange; terminal text already matched
    int wait_status = 0;
    bool exited = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    auto &dialogue = running.spec.dialogue;
    while (!exited || running.out >= 0 || running.err >= 0) {
        pollfd fds[2] = {{running.out, POLLIN, 0}, {running.err, POLLIN, 0}};
        poll(fds, 2, 10);
        drain_terminal(running.terminal, result.terminal);
        drain(running.out, result.out);
        drain(running.err, result.err);
        while (next < dialogue.size()) {
            size_t at = result.terminal.find(dialogue[next].prompt, seen);
            if (at == std::string::npos)
                break;
            seen = at + dialogue[next].prompt.size();
            if (dialogue[next].action)
                dialogue[next].action(running.pid, running.terminal);
            if (dialogue[next].send) {
                std::string line = dialogue[next].answer + "\n";
                EXPECT_EQ(write(running.terminal, line.data(), line.size()),
                          static_cast<ssize_t>(line.size()));
            }
            ++next;
        }
        if (!exited && waitpid(running.pid, &wait_status, WNOHANG) == running.pid)
            exited = true;
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "the program did not finish; terminal so far: " << result.terminal;
            kill(running.pid, SIGKILL);
            if (!exited)
                waitpid(running.pid, &wait_status, 0);
            exited = true;
            deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        }
    }
    drain_terminal(running.terminal, result.terminal);
    close(running.terminal);
    if (next < dialogue.size())
        result.dialogue_failure = "no prompt \"" + dialogue[next].prompt + "\"";
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    EXPECT_EQ(result.err.find("Sanitizer"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("runtime error:"), std::string::npos) << result.err;
    EXPECT_EQ(result.dialogue_failure, "") << "terminal: " << result.terminal;
    running.finished = true;
    return result;
}

Reaper::~Reaper()
{
    if (finisher != nullptr && finisher->joinable()) {
        kill(running->pid, SIGKILL); // the thread's finish then returns
        finisher->join();
    } else if (running != nullptr && !running->finished) {
        kill(running->pid, SIGKILL);
        waitpid(running->pid, nullptr, 0);
        for (int fd : {running->terminal, running->out, running->err})
            close(fd);
    } else if (helper > 0) {
        kill(helper, SIGKILL);
        waitpid(helper, nullptr, 0);
    }
}

RunResult Tolmark::run(RunSpec spec)
{
    Running running = start(std::move(spec));
    return finish(running);
}

RunResult Tolmark::run(Caller who, std::vector<std::string> args, std::vector<Exchange> dialogue,
                       std::optional<std::string> input)
{
    RunSpec spec;
    spec.caller = who;
    spec.args = std::move(args);
    spec.dialogue = std::move(dialogue);
    spec.input = std::move(input);
    return run(std::move(spec));
}

std::string Tolmark::program_named(const std::string &name)
{
    std::string link = file(name);
    fs::remove(link);
    fs::create_symlink(program_path, link);
    return link;
}

std::vector<LogEntry> Tolmark::syslog() const
{
    std::vector<LogEntry> entries;
    std::istringstream lines(read_file(file("syslog")));
    std::string line;
    while (std::getline(lines, line)) {
        LogEntry entry{};
        size_t tab = line.find('\t');
        std::istringstream head(line.substr(0, tab));
        head >> entry.priority >> entry.option >> entry.facility;
        std::getline(head >> std::ws, entry.ident);
        for (size_t i = tab + 1; i < line.size(); ++i) {
            if (line[i] == '\\' && i + 1 < line.size()) {
                ++i;
                entry.message += line[i] == 'n' ? '\n' : line[i];
            } else {
                entry.message += line[i];
            }
        }
        entries.push_back(entry);
    }
    return entries;
}

// With its journal, empty, as the pop account's.
void Tolmark::create_db()
{
    DBM *db = dbm_open(db_path.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_NE(db, nullptr) << strerror(errno);
    dbm_close(db);
    empty_journal();
}

void Tolmark::empty_journal()
{
    int journal = open(journal_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(journal, 0) << strerror(errno);
    if (fchown(journal, pop.uid, pop.gid) != 0 && geteuid() == 0)
        ADD_FAILURE() << strerror(errno);
    close(journal);
}

void Tolmark::put(const Bytes &key_bytes, const Bytes &record)
{
    DBM *db = dbm_open(db_path.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_NE(db, nullptr) << strerror(errno);
    datum k{const_cast<char *>(key_bytes.data()), static_cast<int>(key_bytes.size())};
    datum v{const_cast<char *>(record.data()), static_cast<int>(record.size())};
    EXPECT_EQ(dbm_store(db, k, v, DBM_REPLACE), 0);
    dbm_close(db);
}

std::optional<Bytes> Tolmark::get(const Bytes &key_bytes) const
{
    DBM *db = dbm_open(db_path.c_str(), O_RDONLY, 0);
    if (db == nullptr)
        return std::nullopt;
    datum k{const_cast<char *>(key_bytes.data()), static_cast<int>(key_bytes.size())};
    datum v = dbm_fetch(db, k);
    std::optional<Bytes> found;
    if (v.dptr != nullptr)
        found = Bytes(v.dptr, static_cast<size_t>(v.dsize));
    dbm_close(db);
    return found;
}

std::map<Bytes, Bytes> Tolmark::contents() const
{
    std::map<Bytes, Bytes> all;
    DBM *db = dbm_open(db_path.c_str(), O_RDONLY, 0);
    if (db == nullptr)
        return all;
    for (datum k = dbm_firstkey(db); k.dptr != nullptr; k = dbm_nextkey(db)) {
        datum v = dbm_fetch(db, k);
        all[Bytes(k.dptr, static_cast<size_t>(k.dsize))] =
            v.dptr ? Bytes(v.dptr, static_cast<size_t>(v.dsize)) : Bytes("<unfetchable>");
    }
    dbm_close(db);
    return all;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool wait_until_blocked_on_lock(pid_t pid, int timeout_ms)
{
    std::string needle = " " + std::to_string(pid) + " ";
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        std::istringstream locks(read_file("/proc/locks"));
        std::string line;
        while (std::getline(locks, line))
            if (line.find("->") != std::string::npos && line.find(needle) != std::string::npos)
                return true;
        usleep(10000);
    }
    return false;
}

bool wait_until_in_syscall(pid_t pid, long number)
{
    std::string path = "/proc/" + std::to_string(pid) + "/syscall";
    for (int waited = 0; waited < 10000; waited += 5) {
        if (read_file(path).starts_with(std::to_string(number) + " "))
            return true;
        usleep(5000);
    }
    return false;
}

bool memory_holds(pid_t pid, const std::string &text)
{
    std::string proc = "/proc/" + std::to_string(pid);
    std::istringstream maps(read_file(proc + "/maps"));
    int mem = open((proc + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    bool found = false;
    for (std::string line; mem >= 0 && !found && std::getline(maps, line);) {
        unsigned long from = 0, to = 0;
        char perms[5] = "";
        if (sscanf(line.c_str(), "%lx-%lx %4s", &from, &to, perms) != 3 || perms[1] != 'w' ||
            to - from > (64ul << 20))
            continue;
        std::string bytes(to - from, '\0');
        ssize_t n = pread(mem, bytes.data(), bytes.size(), static_cast<off_t>(from));
        found = n > 0 && bytes.find(text) != std::string::npos;
    }
    close(mem);
    return found;
}

std::vector<uid_t> process_uids(pid_t pid)
{
    std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    std::vector<uid_t> uids;
    while (std::getline(status, line)) {
        if (line.rfind("Uid:", 0) == 0) {
            std::istringstream fields(line.substr(4));
            uid_t id;
            while (fields >> id)
                uids.push_back(id);
        }
    }
    return uids;
}

bool blocks_signals(pid_t pid, std::initializer_list<int> signals)
{
    std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigBlk:", 0) == 0) {
            unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
            for (int sig : signals)
                if ((mask >> (sig - 1) & 1) == 0)
                    return false;
            return true;
        }
    }
    return false;
}

Bytes record_of(const std::string &secret, const std::string &scram)
{
    Bytes record;
    for (char c : secret)
        record += static_cast<char>(~static_cast<unsigned char>(c));
    record += '\0';
    record += scram;
    record += '\0';
    return record;
}
