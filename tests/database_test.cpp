// Who may do what, creating the database, deleting users, and how writers
// and readers exclude each other on the database file.
#include <acl/libacl.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <optional>
#include <set>
#include <sched.h>
#include <sstream>
#include <sys/file.h>
#include <sys/acl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "harness.h"

namespace
{

using Database = Tolmark;

const std::string refused_other =
    ": Only superuser or user \"pop\" can perform the requested function\n";
const std::string refused_init = ": Only superuser can perform the requested function\n";

TEST_F(Database, PermissionRules)
{
    create_db();
    put(key("alice"), record_of(""));
    put(key("bob"), record_of("bobsecret"));
    const auto before = contents();
    struct Case {
        Caller who;
        std::vector<std::string> args;
        std::string err; // after the program name
    } cases[] = {
        {stranger, {"-list"}, ": Sorry, don't know who you (uid 4000) are.\n"},
        {alice, {"-delete", "bob"}, refused_other},
        {alice, {"-delete", "alice"}, refused_other},
        {alice, {"-list", "bob"}, refused_other},
        {alice, {"-list", "ALL"}, refused_other},
        {alice, {"-user", "alice"}, refused_other},
        {alice, {"-user", "bob", "secret1"}, refused_other},
        {alice, {"-init"}, refused_init},
        {pop, {"-init"}, refused_init},
        {pop, {"-init", "-safe"}, refused_init},
    };
    for (const Case &c : cases) {
        RunResult r = run(c.who, c.args);
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_EQ(r.err, program_path + c.err) << c.args[0];
        EXPECT_EQ(r.out, "");
    }
    // A password database that cannot be read is no unknown caller.
    RunResult failed =
        run(RunSpec{.caller = alice, .args = {"-list"}, .env = {{"NSS_WRAPPER_PASSWD", dir}}});
    EXPECT_EQ(failed.status, 1);
    EXPECT_TRUE(failed.err.ends_with(program_path + ": unable to look up your uid in the password "
                                                    "database: Is a directory (21)\n"))
        << failed.err;
    EXPECT_EQ(contents(), before);

    // An ordinary user lists his own entry, by name or not.
    for (auto args : {std::vector<std::string>{"-list"}, {"-list", "alice"}}) {
        RunResult r = run(alice, args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "alice           :      \n");
    }
    // The pop account administers every entry but may not initialise.
    RunResult r = run(pop, {"-delete", "bob"});
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(get(key("bob")).has_value());
}

TEST_F(Database, WithoutPopAccountEveryActionIsRefused)
{
    write_accounts(/*without_pop=*/true);
    create_db();
    for (auto args : {std::vector<std::string>{"-init"}, {"-list"}, {"-delete", "bob"}, {}}) {
        RunResult r = run(root, args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, program_path + ": \"pop\": userid unknown\n");
    }
    RunResult r = run(root, {"-version"});
    EXPECT_EQ(r.status, 0);
}

TEST_F(Database, InitCreatesAnEmptyDatabaseOwnedByPop)
{
    // A killed -init's leftovers, its private folder and older versions'
    // files, are cleared; the folder of one still building is not.
    const auto folder = std::filesystem::path(db_path).parent_path();
    std::filesystem::create_directory(folder / "tol.mark.new.Ab12Cd");
    std::filesystem::create_directory(folder / "tol.mark.new.Xy34Zw");
    int building = open((folder / "tol.mark.new.Xy34Zw").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(building, LOCK_EX), 0);
    for (const char *leftover :
         {"tol.mark.new.db", "__db.tol.mark.new.db", "tol.mark.new.Ab12Cd/__db.tol.mark.new.db"})
        std::ofstream(folder / leftover) << "left over\n";
    // The folder's default ACL reaches no file that -init makes.
    acl_t inherited = acl_from_text("u::r-x,g::r-x,o::r-x,u:1001:rwx,m::rwx");
    ASSERT_EQ(acl_set_file(folder.c_str(), ACL_TYPE_DEFAULT, inherited), 0);
    acl_free(inherited);
    RunResult r =
        run(RunSpec{.args = {"-init"}, .input = "", .env = {{"TOLMARK_CALL_LOG", file("calls")}}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, ""); // no question without a file
    EXPECT_EQ(r.err, "");
    for (const std::string &made : {db_file, journal_file}) {
        struct stat st;
        ASSERT_EQ(stat(made.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(st.st_uid, pop.uid);
        EXPECT_EQ(st.st_gid, pop.gid);
        acl_t acl = acl_get_file(made.c_str(), ACL_TYPE_ACCESS);
        EXPECT_EQ(acl_equiv_mode(acl, nullptr), 0) << acl_to_text(acl, nullptr);
        acl_free(acl);
    }
    EXPECT_TRUE(contents().empty());
    std::vector<LogEntry> log = syslog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].priority, LOG_NOTICE);
    EXPECT_EQ(log[0].message, "tolmark: user \"root\" initialized db \"" + db_path + "\"");
    std::set<std::string> left;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        left.insert(entry.path().filename());
    EXPECT_EQ(left,
              (std::set<std::string>{"tol.mark.db", "tol.mark.journal", "tol.mark.new.Xy34Zw"}));
    close(building);
    // Built in a private folder of its own, renamed into place, and the
    // folder flushed: a power loss cannot bring the old file back.
    std::istringstream calls(read_file(file("calls")));
    std::vector<std::string> renamed; // from, to and to's folder's mode, of each rename
    std::string call, last;
    while (std::getline(calls, call))
        if (call.starts_with("rename\t"))
            for (std::istringstream fields(call.substr(7)); fields >> call;)
                renamed.push_back(call);
        else
            last = call;
    ASSERT_EQ(renamed.size(), 6u) << read_file(file("calls"));
    EXPECT_TRUE(renamed[1].starts_with("tol.mark.new.") && renamed[1].ends_with("/tol.mark.new.db"))
        << renamed[1];
    EXPECT_EQ(renamed[2], "700");
    EXPECT_EQ(renamed[3], renamed[1]);
    EXPECT_EQ(renamed[4], "tol.mark.db");
    EXPECT_EQ(last, "fsync\t" + folder.string());

    // A name swapped for a link as the new file takes it is caught; the old
    // database is gone, and the audit trail says so. It was locked until then.
    r = run(
        RunSpec{.args = {"-init"},
                .input = "y\n",
                .env = {{"TOLMARK_FAULT_RENAME", db_file}, {"TOLMARK_CALL_LOG", file("again")}}});
    EXPECT_NE(read_file(file("again")).find("locked\ttol.mark.db\tyes\n"), std::string::npos)
        << read_file(file("again"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.ends_with(program_path + ": POP authentication DB " + db_path +
                                " was tampered with while it was created\n"))
        << r.err;
    log = syslog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].message, "tolmark: user \"root\" removed existing db \"" + db_path + "\"");
}

// The folder answered for is the one that -init works in: swapped for a link
// after the question, it is refused, and nothing is made where the link leads;
// a link there from the start is not followed either.
TEST_F(Database, InitRefusesAFolderSwappedAfterTheQuestion)
{
    create_db();
    put(key("bob"), record_of("bobsecret"));
    const std::string folder = std::filesystem::path(db_path).parent_path();
    const std::string elsewhere = file("elsewhere"), moved = folder + ".moved";
    std::filesystem::create_directory(elsewhere);
    std::filesystem::rename(folder, moved);
    std::filesystem::create_directory_symlink(elsewhere, folder);
    RunResult linked = run(RunSpec{.args = {"-init"}, .input = "y\n"});
    std::filesystem::remove(folder);
    std::filesystem::rename(moved, folder);
    EXPECT_EQ(linked.status, 1);
    EXPECT_TRUE(linked.err.ends_with("Not a directory (20) [1037]\n")) << linked.err;
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
    Running running = start(RunSpec{.args = {"-init"}}); // answered on the terminal
    Reaper reaper(running);
    ASSERT_TRUE(wait_until_in_syscall(running.pid, SYS_read));
    std::filesystem::rename(folder, moved);
    std::filesystem::create_directory_symlink(elsewhere, folder);
    ASSERT_EQ(write(running.terminal, "y\n", 2), 2);
    RunResult r = finish(running);
    std::filesystem::remove(folder);
    std::filesystem::rename(moved, folder);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.ends_with(": POP authentication DB " + db_path +
                                " was tampered with while it was created\n"))
        << r.err;
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
    EXPECT_EQ(get(key("bob")), record_of("bobsecret"));
}

TEST_F(Database, InitOfAnExistingDatabase)
{
    const std::string question = "Really initialize POP authentication DB? ";
    struct Case {
        std::optional<std::string> answer; // unset: -safe
        bool replaced;
    } cases[] = {{std::nullopt, false}, {"y\n", true},     {"yes\n", true},
                 {"Y\n", false},        {" yes\n", false}, {"", false}};
    for (const Case &c : cases) {
        std::string label = c.answer ? "answer \"" + *c.answer + "\"" : "-safe";
        std::filesystem::remove(file("syslog"));
        create_db();
        put(key("bob"), record_of("bobsecret"));
        RunResult r = c.answer ? run(root, {"-init"}, {}, *c.answer)
                               : run(root, {"-init", "-safe"}, {}, "y\n");
        if (!c.answer) {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, "POP authentication DB not initialized (exists): " + db_file + "\n");
        } else {
            EXPECT_EQ(r.out, question) << label;
            EXPECT_EQ(r.err, "") << label;
            EXPECT_EQ(r.status, c.replaced ? 0 : 1) << label;
        }
        EXPECT_EQ(get(key("bob")).has_value(), !c.replaced) << label;
        std::vector<LogEntry> log = syslog();
        if (c.replaced) {
            ASSERT_EQ(log.size(), 2u);
            EXPECT_EQ(log[0].message,
                      "tolmark: user \"root\" removed existing db \"" + db_path + "\"");
            EXPECT_EQ(log[1].message, "tolmark: user \"root\" initialized db \"" + db_path + "\"");
        } else {
            EXPECT_TRUE(log.empty()) << label;
        }
    }
}

TEST_F(Database, DeleteAUser)
{
    create_db();
    put(key("bob"), record_of("bobsecret", "scram"));
    put(key("carol"), record_of("carolsecret"));
    RunResult r = run(root, {"-delete", "bob"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Warning: deleting user \"bob\"\n");
    EXPECT_EQ(contents(), (std::map<Bytes, Bytes>{{key("carol"), record_of("carolsecret")}}));
    std::vector<LogEntry> log = syslog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].priority, LOG_NOTICE);
    EXPECT_EQ(log[0].message,
              "tolmark: user \"bob\" deleted by \"root\" from db \"" + db_path + "\"");

    // With a trace file the notice and the fetch trace go there instead. A
    // record of a user unknown to the password database can be deleted.
    put(key("gone"), record_of("x"));
    std::string trace = file("trace");
    r = run(pop, {"-trace", trace, "-delete", "gone"});
    EXPECT_EQ(r.status, 0);
    std::string text = read_file(trace);
    EXPECT_NE(text.find("] ...fetching: (5) 'gone\\0'\n"), std::string::npos) << text;
    EXPECT_NE(
        text.find("] tolmark: user \"gone\" deleted by \"pop\" from db \"" + db_path + "\"\n"),
        std::string::npos)
        << text;
    EXPECT_EQ(syslog().size(), 1u);
    EXPECT_FALSE(get(key("gone")).has_value());
}

TEST_F(Database, DeleteOfMissingUserOrDatabase)
{
    create_db();
    put(key("carol"), record_of("carolsecret"));
    RunResult r = run(root, {"-delete", "bob"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Warning: deleting user \"bob\"\n" + program_path +
                         ": User 'bob' not found in authentication database\n");
    EXPECT_EQ(contents().size(), 1u);
    EXPECT_TRUE(syslog().empty());

    std::filesystem::remove(db_file);
    r = run(root, {"-delete", "bob"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Warning: deleting user \"bob\"\n" + program_path + ": " + db_path +
                         ": unable to open POP authentication DB: No such file or directory "
                         "(2) [949]\n");
    r = run(root, {"-list", "bob"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, program_path + ": unable to open POP authentication DB " + db_path +
                         ":\n\tNo such file or directory (2) [1063]\n");
}

// Holds a lock on the database file, as another tolmark process would.
struct FileLock {
    int fd;
    FileLock(int how) : fd(open(db_file.c_str(), O_RDONLY | O_CLOEXEC))
    {
        EXPECT_GE(fd, 0);
        EXPECT_EQ(flock(fd, how), 0);
    }
    ~FileLock() { close(fd); }
};

int descriptors_on(pid_t pid, const std::string &path)
{
    int count = 0;
    std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto &entry : std::filesystem::directory_iterator(fds)) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(entry.path(), ignored) == path)
            ++count;
    }
    return count;
}

// A writer waits for every other lock holder; a reader waits for writers
// only.
// Either waits before the database itself is opened: Berkeley DB reads
// pages as it opens, so only the descriptor that waits for the lock is open.
// The stop signals are held from before the lock, so that a ^Z cannot stop
// the holder.
TEST_F(Database, WritersAndReadersWaitForTheLock)
{
    struct Case {
        int held;
        std::vector<std::string> args;
        std::string out;
        bool bob_kept;
        int descriptors; // a change that asks keeps its reading descriptor, unlocked
    } cases[] = {
        {LOCK_SH, {"-delete", "bob"}, "", false, 1},
        {LOCK_EX, {"-delete", "bob"}, "", false, 1},
        {LOCK_SH, {"-user", "bob", "n3w-Secret"}, "", true, 1},
        {LOCK_EX, {"-list", "bob"}, "bob             : APOP \n", true, 1},
        {LOCK_EX, {"-list", "ALL"}, "bob             : APOP \n", true, 1},
    };
    for (const Case &c : cases) {
        create_db();
        put(key("bob"), record_of("bobsecret"));
        std::optional<FileLock> other(c.held);
        RunSpec spec;
        spec.args = c.args;
        Running running = start(spec);
        Reaper reaper(running);
        ASSERT_TRUE(wait_until_blocked_on_lock(running.pid)) << c.args[0];
        EXPECT_EQ(descriptors_on(running.pid, db_file), c.descriptors) << c.args[0];
        EXPECT_TRUE(blocks_signals(running.pid, {SIGTSTP, SIGTTIN, SIGTTOU})) << c.args[1];
        EXPECT_EQ(get(key("bob")), record_of("bobsecret")) << c.args[0];
        other.reset();
        RunResult r = finish(running);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(get(key("bob")).has_value(), c.bob_kept);
    }
    FileLock reader(LOCK_SH); // another reader's lock holds no listing up
    RunResult r = run(root, {"-list", "bob"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "bob             : APOP \n");
}

// A writer still waiting for the lock can be interrupted; nothing is written.
TEST_F(Database, WaitingWriterCanBeInterrupted)
{
    create_db();
    put(key("bob"), record_of("bobsecret"));
    FileLock reader(LOCK_SH);
    RunSpec spec;
    spec.args = {"-delete", "bob"};
    Running running = start(spec);
    Reaper reaper(running);
    ASSERT_TRUE(wait_until_blocked_on_lock(running.pid));
    kill(running.pid, SIGINT);
    RunResult r = finish(running);
    EXPECT_EQ(r.status, 128 + SIGINT);
    EXPECT_EQ(get(key("bob")), record_of("bobsecret"));
    EXPECT_TRUE(syslog().empty());
}

// A real set-user-id copy of the program, run by root in a private mount
// namespace whose /etc/passwd and /etc/group are the test's own: while it
// holds the lock, its real uid is the effective one, so the caller cannot
// signal it.
class SetUserId : public Tolmark
{
  protected:
    pid_t spawn(const std::string &program, std::vector<std::string> args, int err_pipe,
                int input = -1, Caller as = root, rlim_t descriptors = RLIM_INFINITY)
    {
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program.c_str()));
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::string passwd = file("passwd"), group = file("group");
        pid_t pid = fork();
        if (pid == 0) {
            dup2(err_pipe, 1);
            dup2(err_pipe, 2);
            if (input >= 0)
                dup2(input, 0);
            if (unshare(CLONE_NEWNS) != 0 ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount(passwd.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0 ||
                mount(group.c_str(), "/etc/group", nullptr, MS_BIND, nullptr) != 0)
                _exit(77);
            // No terminal: prompts read standard input.
            rlimit limit{descriptors, descriptors};
            if (setsid() < 0 || setgroups(0, nullptr) != 0 || setgid(as.gid) != 0 ||
                setuid(as.uid) != 0 ||
                (descriptors != RLIM_INFINITY && setrlimit(RLIMIT_NOFILE, &limit) != 0))
                _exit(1);
            char asan[] = "ASAN_OPTIONS=detect_leaks=0:exitcode=99";
            char *envp[] = {asan, nullptr};
            execve(program.c_str(), argv.data(), envp);
            _exit(127);
        }
        return pid;
    }

    // A database of pop's with one user's record, and the program installed
    // beside it.
    std::string install_beside(const std::string &user, const std::string &secret)
    {
        create_db();
        put(key(user), record_of(secret));
        EXPECT_EQ(chown(db_file.c_str(), pop.uid, pop.gid), 0);
        return set_user_id_copy();
    }

    // A copy of the program, set-user-id to pop, in the database's folder.
    std::string set_user_id_copy()
    {
        std::string copy = std::filesystem::path(db_path).parent_path() / "ztolmark";
        std::filesystem::copy_file(program_path, copy);
        EXPECT_EQ(chown(copy.c_str(), pop.uid, pop.gid), 0);
        EXPECT_EQ(chmod(copy.c_str(), 04755), 0);
        return copy;
    }

    // Runs the program while the test holds an exclusive lock on the
    // database, and looks at its uids as it waits for its own.
    struct Waited {
        bool blocked;
        std::vector<uid_t> uids;
        int status;
        std::string output;
    };
    Waited run_behind_a_writer(const std::string &program, std::vector<std::string> args,
                               const std::string &input = "")
    {
        int err[2], in[2];
        EXPECT_EQ(pipe(err), 0);
        EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
        EXPECT_EQ(write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
        close(in[1]);
        Waited w{};
        std::optional<FileLock> writer(LOCK_EX);
        pid_t pid = spawn(program, std::move(args), err[1], in[0]);
        close(err[1]);
        close(in[0]);
        w.blocked = wait_until_blocked_on_lock(pid, 5000);
        w.uids = process_uids(pid);
        writer.reset();
        waitpid(pid, &w.status, 0);
        w.output = read_file("/proc/self/fd/" + std::to_string(err[0]));
        close(err[0]);
        return w;
    }
};

// Where the pop account cannot reach the database, the real accounts cannot
// be tried.
std::string unreachable_for_pop()
{
    if (geteuid() != 0)
        return "needs root to run as the real accounts";
    for (auto p = std::filesystem::path(db_path).parent_path(); p != p.root_path();
         p = p.parent_path()) {
        struct stat st;
        if (stat(p.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0)
            return "the pop account cannot reach the database through " + p.string();
    }
    return "";
}

TEST_F(SetUserId, RealUidGivenUpUnderTheLock)
{
    if (std::string why = unreachable_for_pop(); !why.empty())
        GTEST_SKIP() << why;
    std::string copy = install_beside("bob", "bobsecret");
    // A reader too: the caller could stop it, and every writer would wait.
    for (auto args : {std::vector<std::string>{"-list", "bob"},
                      {"-delete", "bob"},
                      {"-user", "bob", "n3w-Secret"}}) {
        put(key("bob"), record_of("bobsecret"));
        std::string trace = file("trace");
        args.insert(args.begin(), {"-trace", trace});
        Waited w = run_behind_a_writer(copy, args);
        if (WIFEXITED(w.status) && WEXITSTATUS(w.status) == 77)
            GTEST_SKIP() << "no private mount namespace here";
        ASSERT_TRUE(w.blocked) << w.output;
        EXPECT_EQ(w.uids, (std::vector<uid_t>{pop.uid, pop.uid, pop.uid, pop.uid})) << args[2];
        EXPECT_TRUE(WIFEXITED(w.status) && WEXITSTATUS(w.status) == 0) << w.output;
    }
    EXPECT_EQ(get(key("bob")), record_of("n3w-Secret"));
}

// A user at a prompt runs as himself: he can end his run, and it counts as
// his. Only the reader that takes the lock, in a child, gives his uid up.
TEST_F(SetUserId, DialogueIsTheCallersOwn)
{
    if (std::string why = unreachable_for_pop(); !why.empty())
        GTEST_SKIP() << why;
    std::string copy = install_beside("alice", "Old-pass1");
    int err[2], in[2];
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    std::optional<FileLock> writer(LOCK_EX);
    pid_t pid = spawn(copy, {}, err[1], in[0], alice);
    Reaper reaper(pid);
    close(err[1]);
    close(in[0]);
    pid_t reader = -1;
    for (int waited = 0; reader <= 0 && waited < 5000; waited += 10, usleep(10000)) {
        std::string task = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid);
        reader = atoi(read_file(task + "/children").c_str());
    }
    ASSERT_TRUE(wait_until_blocked_on_lock(reader, 5000))
        << read_file("/proc/self/fd/" + std::to_string(err[0]));
    EXPECT_EQ(process_uids(reader), (std::vector<uid_t>{pop.uid, pop.uid, pop.uid, pop.uid}));
    EXPECT_TRUE(blocks_signals(reader, {SIGINT, SIGQUIT, SIGHUP, SIGTERM})); // the terminal's too
    writer.reset();
    ASSERT_TRUE(wait_until_in_syscall(pid, SYS_read));
    EXPECT_EQ(process_uids(pid), (std::vector<uid_t>{alice.uid, pop.uid, pop.uid, pop.uid}));
    pid_t killer = fork();
    if (killer == 0)
        _exit(setuid(alice.uid) == 0 && kill(pid, SIGTERM) == 0 ? 0 : 1);
    int status = 0;
    waitpid(killer, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "alice cannot end her run";
    status = 0;
    for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0 && waited < 5000; waited += 10)
        usleep(10000);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    close(in[1]);
    close(err[0]);

    // The reader fails (too few descriptors) while the caller's standard
    // error is full: its message goes through his own process, and nothing
    // of pop's is left waiting on him.
    ASSERT_EQ(pipe2(err, O_CLOEXEC | O_NONBLOCK), 0);
    while (write(err[1], "full", 4) == 4)
        ;
    fcntl(err[1], F_SETFL, 0);
    pid = spawn(copy, {}, err[1], -1, alice, 12);
    Reaper stalled(pid);
    close(err[1]);
    ASSERT_TRUE(wait_until_in_syscall(pid, SYS_write));
    EXPECT_EQ(
        read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"),
        "");
    EXPECT_EQ(process_uids(pid), (std::vector<uid_t>{alice.uid, pop.uid, pop.uid, pop.uid}));
    close(err[0]);
}

// A file that pop may not write, and that holds no database: a change tells
// why Berkeley DB cannot read it, not that the file could not be written.
TEST_F(SetUserId, UnwritableFileWithoutADatabase)
{
    if (std::string why = unreachable_for_pop(); !why.empty())
        GTEST_SKIP() << why;
    std::ofstream(db_file) << "not a database\n";
    ASSERT_EQ(chmod(db_file.c_str(), 0644), 0);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = spawn(set_user_id_copy(), {"-user", "bob", "n3w-Secret"}, out[1]);
    close(out[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    std::string output = read_file("/proc/self/fd/" + std::to_string(out[0]));
    close(out[0]);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no private mount namespace here";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_TRUE(output.ends_with(": unable to open POP authentication DB " + db_path +
                                 ":\n\tInvalid argument (22) [1063]\n"))
        << output;
}

// -init in a folder that pop can write, while pop swaps links in at the
// database's names: root's rights never follow one.
TEST_F(SetUserId, InitFollowsNoLink)
{
    if (std::string why = unreachable_for_pop(); !why.empty())
        GTEST_SKIP() << why;
    auto folder = std::filesystem::path(db_path).parent_path();
    ASSERT_EQ(chown(folder.c_str(), pop.uid, pop.gid), 0);
    // Root's, in a folder only root enters: one to change, one to create.
    std::string victim = file("victim"), unborn = file("unborn");
    std::ofstream(victim) << "root's own\n";
    pid_t attacker = fork();
    if (attacker == 0) {
        if (setgid(pop.gid) != 0 || setuid(pop.uid) != 0)
            _exit(1);
        for (int i = 0;; ++i)
            for (const std::string &name : {db_file, db_path + ".new.db"}) {
                unlink(name.c_str());
                symlink((i % 2 ? victim : unborn).c_str(), name.c_str());
            }
    }
    std::optional<Reaper> stop_attacker(attacker);
    int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    for (int i = 0; i < 50; ++i) {
        int yes[2];
        ASSERT_EQ(pipe2(yes, O_CLOEXEC), 0);
        ASSERT_EQ(write(yes[1], "y\n", 2), 2);
        close(yes[1]);
        pid_t pid = spawn(program_path, {"-init"}, quiet, yes[0]);
        close(yes[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
            GTEST_SKIP() << "no private mount namespace here";
    }
    close(quiet);
    stop_attacker.reset();
    struct stat st;
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(read_file(victim), "root's own\n");
    EXPECT_NE(stat(unborn.c_str(), &st), 0);
}

// -init in a folder that others than root can write works with the pop
// account's uids from before it touches a name there; where pop may not
// write, it makes nothing.
TEST_F(SetUserId, InitInAnOpenFolderRunsAsPop)
{
    if (std::string why = unreachable_for_pop(); !why.empty())
        GTEST_SKIP() << why;
    auto folder = std::filesystem::path(db_path).parent_path();
    struct Case {
        uid_t owner;
        gid_t group;
        mode_t mode;
        const char *acl; // a named entry
        bool made;
    } cases[] = {{pop.uid, 0, 0755, nullptr, true}, {0, 0, 0777, nullptr, true},
                 {0, 0, 0775, nullptr, false},      {0, pop.gid, 0775, nullptr, true},
                 {0, 0, 0775, "u:110:rwx", true},   {0, 0, 0755, "g:4000:rwx", false}};
    for (const Case &c : cases) {
        ASSERT_EQ(chown(folder.c_str(), c.owner, c.group), 0);
        ASSERT_EQ(chmod(folder.c_str(), c.mode), 0);
        if (c.acl != nullptr) {
            acl_t acl =
                acl_from_text((std::string("u::rwx,g::r-x,o::r-x,m::rwx,") + c.acl).c_str());
            ASSERT_EQ(acl_set_file(folder.c_str(), ACL_TYPE_ACCESS, acl), 0);
            acl_free(acl);
        }
        create_db();
        ASSERT_EQ(chown(db_file.c_str(), pop.uid, pop.gid), 0);
        Waited w = run_behind_a_writer(program_path, {"-init"}, "y\n");
        if (WIFEXITED(w.status) && WEXITSTATUS(w.status) == 77)
            GTEST_SKIP() << "no private mount namespace here";
        EXPECT_TRUE(w.blocked) << w.output;
        EXPECT_EQ(w.uids, (std::vector<uid_t>{pop.uid, pop.uid, pop.uid, pop.uid}))
            << std::oct << c.mode;
        EXPECT_TRUE(WIFEXITED(w.status) && WEXITSTATUS(w.status) == (c.made ? 0 : 1)) << w.output;
        EXPECT_EQ(w.output.ends_with("Permission denied (13) [1037]\n"), !c.made) << w.output;
        EXPECT_TRUE(contents().empty());
    }
}

} // namespace
