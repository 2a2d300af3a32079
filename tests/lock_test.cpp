// No caller can hold the database up: locks are short, waits are bounded,
// and nothing the caller controls can stall the holder of the lock.
#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "harness.h"

namespace
{

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string New = "New password:";
const std::string Again = "Retype new password:";

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string children_of(pid_t pid)
{
    return read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
}

// The process that spends a run's pause after an old secret: the run itself
// or a child of its, found in its sleep; -1 when none is.
pid_t pausing_for(pid_t run)
{
    for (int waited = 0; waited < 10000; waited += 2, usleep(2000)) {
        std::istringstream children(children_of(run));
        std::vector<pid_t> candidates{run};
        for (pid_t child; children >> child;)
            candidates.push_back(child);
        for (pid_t pid : candidates)
            if (read_file("/proc/" + std::to_string(pid) + "/syscall")
                    .starts_with(std::to_string(SYS_clock_nanosleep) + " "))
                return pid;
    }
    return -1;
}

// What /proc shows of a process's descriptors, whatever their numbers.
std::string descriptors_of(pid_t pid)
{
    std::vector<std::string> targets;
    for (const auto &entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        std::error_code ignored;
        std::string target = fs::read_symlink(entry.path(), ignored);
        std::erase_if(target, [](char c) { return c >= '0' && c <= '9'; });
        targets.push_back(target);
    }
    std::sort(targets.begin(), targets.end());
    std::string all;
    for (const std::string &target : targets)
        all += target + "\n";
    return all;
}

class Locks : public Tolmark
{
  protected:
    void prepare()
    {
        fs::remove(db_file);
        create_db();
        put(key("alice"), record_of("Old-pass1", "alice-scram"));
        put(key("bob"), record_of("Bob-pass1", "bob-scram"));
        put(key("carol"), record_of("Carol-pass1"));
    }
    RunResult run_as(Caller who, std::vector<std::string> args)
    {
        return run(RunSpec{.caller = who, .args = std::move(args)});
    }
};

TEST_F(Locks, NobodyHoldsTheDatabaseUp)
{
    const std::string fetched_at_old = program_path + ": The password for alice was changed "
                                                      "meanwhile; nothing was written\n";
    // A user sitting at a prompt holds no lock: an administrator's change
    // goes through at once, and the user's own then stores nothing.
    struct Meanwhile {
        std::string prompt;
        std::vector<std::string> admin;
        std::optional<Bytes> after; // alice's record
    } meanwhile[] = {
        {"Old password:", {"-user", "alice", "Admin-set1"}, record_of("Admin-set1", "alice-scram")},
        {New, {"-delete", "alice"}, std::nullopt},
        {New, {"-user", "alice", "*"}, record_of("", "alice-scram")},
    };
    for (const Meanwhile &m : meanwhile) {
        prepare();
        double admin_took = -1;
        auto admin = [&](pid_t, int) {
            auto began = Clock::now();
            EXPECT_EQ(run_as(root, m.admin).status, 0);
            admin_took = seconds_since(began);
        };
        std::vector<Exchange> dialogue = {
            {"Old password:", "Old-pass1"}, {New, "New-pass2"}, {Again, "New-pass2"}};
        (m.prompt == New ? dialogue[1] : dialogue[0]).action = admin;
        RunResult r = run(alice, {}, dialogue);
        std::string what = m.admin[0] + " " + m.admin.back();
        EXPECT_LT(admin_took, 5) << what;
        EXPECT_EQ(r.status, 1) << what;
        EXPECT_TRUE(r.err.ends_with(fetched_at_old)) << r.err;
        EXPECT_EQ(get(key("alice")), m.after) << what;
    }

    // An old secret, wrong or right, is followed by a pause that shows
    // nothing (a wrong one is logged before it) and holds no lock on the
    // database: a writer goes through meanwhile. A wrong one is refused after
    // it.
    std::vector<std::string> seen;
    for (const std::string answer : {"Guess", "Old-pass1"}) {
        prepare();
        fs::remove(file("syslog"));
        Running guesser = start(RunSpec{.caller = alice, .dialogue = {{"Old password:", answer}}});
        RunResult guessed;
        std::thread answering([&] { guessed = finish(guesser); });
        Reaper guesser_reaper(guesser, &answering);
        pid_t pausing = pausing_for(guesser.pid);
        ASSERT_GT(pausing, 0) << answer;
        seen.push_back(descriptors_of(guesser.pid) + descriptors_of(pausing));
        EXPECT_EQ(syslog().size(), answer == "Guess" ? 1u : 0u);
        EXPECT_EQ(read_file("/proc/locks").find(" " + std::to_string(guesser.pid) + " "),
                  std::string::npos);
        EXPECT_EQ(run_as(root, {"-user", "bob", "Admin-set1"}).status, 0);
        EXPECT_EQ(get(key("bob")), record_of("Admin-set1", "bob-scram"));
        if (answer == "Guess") {
            answering.join();
            EXPECT_EQ(guessed.status, 1);
            EXPECT_TRUE(guessed.err.ends_with(": Sorry, password entered incorrectly\n\n"))
                << guessed.err;
        }
    }
    EXPECT_EQ(seen[0], seen[1]);

    // Guesses for one entry are checked one at a time, each through the whole
    // pause: a second guess waits out the first one's, also when the first
    // run is killed in it.
    prepare();
    fs::remove(file("syslog"));
    std::atomic<bool> killed = false;
    std::atomic<Clock::time_point> sent;
    Running first = start(RunSpec{
        .caller = alice,
        .dialogue = {{"Old password:", "Guess", [&](pid_t, int) { sent = Clock::now(); }}}});
    Running second =
        start(RunSpec{.caller = alice, .dialogue = {{"Old password:", "Guess", [&](pid_t, int) {
                                                         for (int i = 0; !killed && i < 10000; ++i)
                                                             usleep(1000);
                                                     }}}});
    RunResult ended[2];
    std::jthread answering[] = {std::jthread([&] { ended[0] = finish(first); }),
                                std::jthread([&] { ended[1] = finish(second); })};
    EXPECT_GT(pausing_for(first.pid), 0);
    kill(first.pid, SIGKILL);
    killed = true;
    answering[1].join();
    EXPECT_GE(seconds_since(sent), 2 * TEST_PAUSE_MS / 1000.0);
    answering[0].join();
    EXPECT_EQ(ended[0].status, 128 + SIGKILL);
    EXPECT_TRUE(ended[1].err.ends_with(": Sorry, password entered incorrectly\n\n"))
        << ended[1].err;
    EXPECT_EQ(syslog().size(), 2u);

    // -init waits for a reader before it replaces the file; a writer that
    // waited for -init's lock takes the new file's lock before it writes.
    struct Behind {
        std::vector<std::string> args;
        int status;
        std::map<Bytes, Bytes> after;
    } behind[] = {
        {{"-user", "bob", "New-pass2"}, 0, {{key("bob"), record_of("New-pass2")}}},
        {{"-delete", "bob"}, 1, {}},
    };
    for (const Behind &b : behind) {
        prepare();
        int reader = open(db_file.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(flock(reader, LOCK_SH), 0);
        Running init = start(RunSpec{.args = {"-init"}, .input = "y\n"});
        Reaper init_reaper(init);
        EXPECT_TRUE(wait_until_blocked_on_lock(init.pid));
        Running writer = start(RunSpec{.args = b.args});
        Reaper writer_reaper(writer);
        EXPECT_TRUE(wait_until_blocked_on_lock(writer.pid));
        // Stopped, the writer cannot take the lock before -init does.
        kill(writer.pid, SIGSTOP);
        EXPECT_TRUE(get(key("bob")).has_value());
        close(reader);
        RunResult done = finish(init);
        EXPECT_EQ(done.status, 0) << done.err;
        // The writer now waits for the new file's lock, not the old one's.
        reader = open(db_file.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(flock(reader, LOCK_SH), 0);
        kill(writer.pid, SIGCONT);
        EXPECT_TRUE(wait_until_blocked_on_lock(writer.pid)) << b.args[0];
        EXPECT_TRUE(contents().empty()) << b.args[0];
        close(reader);
        RunResult w = finish(writer);
        EXPECT_EQ(w.status, b.status) << b.args[0] << w.err;
        EXPECT_EQ(contents(), b.after) << b.args[0];
    }

    // Something other than a file at db_file ends every action at once.
    fs::remove(db_file);
    ASSERT_EQ(mkfifo(db_file.c_str(), 0600), 0);
    const std::string invalid = "Invalid argument (22)";
    struct Case {
        std::vector<std::string> args;
        std::string err; // its end
    } fifo_cases[] = {
        {{"-delete", "bob"}, "DB: " + invalid + " [949]\n"},
        {{"-list", "bob"}, "DB:\n\t" + invalid + " [1075]\n"},
        {{"-user", "bob", "New-pass2"}, "DB:\n\t" + invalid + " [1075]\n"},
        {{"-only"}, "DB:\n\t" + invalid + " [1075]\n"}, // told by the dialogue's reader
    };
    for (const Case &c : fifo_cases) {
        auto began = Clock::now();
        RunResult r = run_as(root, c.args);
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_TRUE(r.err.ends_with(c.err)) << r.err;
        EXPECT_LT(seconds_since(began), 5);
    }
}

// A writer and a reader give up once the bound is out (15 seconds, a second
// in the tests' build), with the lock's message: one started with the alarm
// blocked, one held up past its alarm before it waits.
TEST_F(Locks, WaitsAreBounded)
{
    prepare();
    int holder = open(db_file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    auto began = Clock::now();
    Running writer = start(RunSpec{.args = {"-delete", "bob"}, .alarm_blocked = true});
    Running reader = start(RunSpec{.args = {"-list", "bob"},
                                   .env = {{"TOLMARK_FAULT_FILE", db_file},
                                           {"TOLMARK_FAULT_CALLS", "late"},
                                           {"TOLMARK_FAULT_LATE_MS", "1500"}}});
    RunResult w = finish(writer), r = finish(reader);
    double took = seconds_since(began);
    close(holder);
    const std::string timed_out = ": unable to lock POP authentication DB:\n\tResource temporarily "
                                  "unavailable (11) ";
    EXPECT_EQ(w.status, 1);
    EXPECT_TRUE(w.err.ends_with(db_file + timed_out + "[1088]\n")) << w.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, program_path + ": " + db_file + timed_out + "[1078]\n");
    const double bound = TEST_LOCK_WAIT_MS / 1000.0;
    EXPECT_GT(took, bound - 0.01);
    EXPECT_LT(took, bound + 3);
    EXPECT_TRUE(get(key("bob")).has_value());

    // So does an old secret's check, behind its entry's lock; a change is
    // refused before anything is asked where the journal is missing or is
    // no file.
    const std::string journal = db_path + ".journal";
    int held = open(journal.c_str(), O_RDWR | O_CLOEXEC);
    struct flock every_entry {
        .l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = off_t{1} << 62, .l_len = 0, .l_pid = 0
    };
    ASSERT_EQ(fcntl(held, F_OFD_SETLK, &every_entry), 0);
    const std::string refused = program_path + ": POP authentication DB " + db_file +
                                " not changed: its journal " + journal;
    const std::tuple<std::string, double> journals[] = {
        {journal + ": unable to lock POP authentication DB journal:\n\tResource temporarily "
                   "unavailable (11)\n",
         bound},
        {refused + " is missing; a run by root makes it\n", 0},
        {refused + " is not a private file of pop's\n", 0}}; // a FIFO
    for (const auto &[why, waited] : journals) {
        began = Clock::now();
        std::vector<Exchange> asked;
        if (waited > 0)
            asked = {{"Old password:", "Old-pass1"}};
        RunResult checked = run(alice, {}, asked);
        EXPECT_TRUE(checked.status == 1 && checked.err.ends_with(why)) << checked.err;
        EXPECT_NEAR(seconds_since(began), waited, 0.9);
        fs::remove(journal);
        if (why.ends_with("root makes it\n"))
            ASSERT_EQ(mkfifo(journal.c_str(), 0600), 0);
    }
    close(held);
}

// The trace file is a FIFO that the caller keeps full: the process holding
// the exclusive lock writes nothing to it, so others go on; the notice is on
// the system log before the FIFO is read; a ^C after the change was made no
// longer ends the process with a failure; out of the caller's reach, the run
// gives the FIFO up after the bound, and says so. Before, his own process
// waits on it, and no reader of pop's does. A stalled system log holds
// nobody up either.
TEST_F(Locks, StalledTraceFileHoldsNobodyUp)
{
    prepare();
    std::string fifo = file("trace");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int drain = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int fill = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fill, 0);
    auto fill_up = [&](pid_t, int) {
        std::string block(4096, 'x');
        while (write(fill, block.data(), block.size()) > 0)
            ;
    };
    Running changer = start(RunSpec{.caller = alice,
                                    .args = {"-trace", fifo},
                                    .dialogue = {{"Old password:", "Old-pass1"},
                                                 {New, "New-pass2", fill_up},
                                                 {Again, "New-pass2"}}});
    RunResult changed;
    std::thread answering([&] { changed = finish(changer); });
    Reaper reaper(changer, &answering);
    for (int waited = 0; get(key("alice")) != record_of("New-pass2", "alice-scram"); waited += 10) {
        ASSERT_LT(waited, 10000) << "the change was never stored";
        usleep(10000);
    }
    auto began = Clock::now();
    EXPECT_TRUE(wait_until_in_syscall(changer.pid, SYS_write));
    RunResult other = run_as(root, {"-delete", "carol"});
    EXPECT_EQ(other.status, 0) << other.err;
    EXPECT_LT(seconds_since(began), 5);
    const std::string notice = "tolmark: alice changed only APOP password for alice";
    std::vector<LogEntry> log = syslog();
    EXPECT_TRUE(!log.empty() && log[0].message == notice);
    kill(changer.pid, SIGINT);
    answering.join();
    EXPECT_LT(seconds_since(began), TEST_LOCK_WAIT_MS / 1000.0 + 2);
    EXPECT_EQ(changed.status, 0);
    EXPECT_TRUE(changed.err.ends_with(" bytes were not written to the trace file in time\n"))
        << changed.err;
    char buffer[65536];
    while (read(drain, buffer, sizeof buffer) > 0)
        ;
    int writer = open(db_file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(writer, LOCK_EX), 0);
    Running reading = start(RunSpec{.args = {"-trace", fifo, "-user", "bob"}});
    Reaper reading_reaper(reading);
    pid_t child = 0;
    for (int waited = 0; child <= 0 && waited < 5000; waited += 10, usleep(10000))
        child = atoi(children_of(reading.pid).c_str());
    EXPECT_TRUE(wait_until_blocked_on_lock(child));
    fill_up(0, 0);
    close(writer);
    EXPECT_TRUE(wait_until_in_syscall(reading.pid, SYS_write));
    EXPECT_EQ(children_of(reading.pid), "");
    close(drain);
    close(fill);

    // The log turns into a FIFO that nobody reads while a writer with debug
    // traces waits for the lock: it still deletes, and lets go of the lock.
    std::string stalled_log = file("log");
    int reader = open(db_file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(reader, LOCK_SH), 0);
    Running deleter = start(RunSpec{.args = {"-debug", "-delete", "bob"},
                                    .env = {{"TOLMARK_SYSLOG_CAPTURE", stalled_log}}});
    Reaper deleter_reaper(deleter);
    EXPECT_TRUE(wait_until_blocked_on_lock(deleter.pid));
    fs::remove(stalled_log);
    ASSERT_EQ(mkfifo(stalled_log.c_str(), 0600), 0);
    close(reader);
    for (int waited = 0; get(key("bob")).has_value(); waited += 10) {
        ASSERT_LT(waited, 10000) << "bob was never deleted";
        usleep(10000);
    }
    began = Clock::now();
    other = run_as(root, {"-list", "alice"});
    EXPECT_EQ(other.status, 0) << other.err;
    EXPECT_LT(seconds_since(began), 5);
    EXPECT_TRUE(wait_until_in_syscall(deleter.pid, SYS_openat)); // on the log
    int log_reader = open(stalled_log.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_EQ(finish(deleter).status, 0);
    close(log_reader);

    // A log that never takes the notice keeps a change waiting a few seconds
    // only; the run ends with the change's status, and says so, also when
    // an alarm sent meanwhile cuts the wait short; no other signal does. Meanwhile no copy of the
    // secret is left in its memory.
    const std::string lost = program_path + ": the system log did not take a message in time; it "
                                            "and those after it were not delivered\n";
    for (int sig : {0, SIGALRM, SIGINT}) {
        const std::string secret = "New-pass" + std::to_string(3 + sig);
        began = Clock::now();
        Running stalled = start(RunSpec{.args = {"-user", "bob", secret},
                                        .env = {{"TOLMARK_SYSLOG_CAPTURE", stalled_log}}});
        Reaper stalled_reaper(stalled);
        for (int waited = 0; get(key("bob")) != record_of(secret); waited += 10) {
            ASSERT_LT(waited, 10000) << "bob's secret was never stored";
            usleep(10000);
        }
        EXPECT_TRUE(wait_until_in_syscall(stalled.pid, SYS_openat)); // on the log
        EXPECT_FALSE(memory_holds(stalled.pid, secret));
        for (int i = 0; sig != 0 && i < 2; ++i) {
            usleep(50000);
            kill(stalled.pid, sig);
        }
        other = finish(stalled);
        EXPECT_EQ(other.status, 0);
        EXPECT_EQ(other.err, (sig == 0 ? "Adding" : "Changing") +
                                 std::string(" only APOP password for bob.\n") + lost);
        EXPECT_GT(seconds_since(began), sig != SIGALRM ? TEST_LOG_WAIT_MS / 1000.0 - 0.1 : 0);
        EXPECT_LT(seconds_since(began), TEST_LOG_WAIT_MS / 1000.0 + 3);
        EXPECT_EQ(get(key("bob")), record_of(secret));
    }
    // Given up for debug traces only, it is said once, however many follow.
    other = run(RunSpec{.args = {"-debug", "-list", "ALL"},
                        .env = {{"TOLMARK_SYSLOG_CAPTURE", stalled_log}}});
    EXPECT_EQ(other.status, 0);
    EXPECT_EQ(other.err, lost);
}

// A listing whose reader is away (a paused pager) holds no lock: it writes
// only once the lock is gone, and is whole when it is read at last.
TEST_F(Locks, PausedListingHoldsNobodyUp)
{
    prepare();
    for (int i = 0; i < 300; ++i)
        put(key(std::string(600, 'n') + std::to_string(i)), record_of("s"));
    RunResult whole = run_as(root, {"-list", "ALL"});
    ASSERT_GT(whole.out.size(), 2 * 65536u); // more than a pipe and a buffer hold
    std::string fifo = file("pager");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int pager = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    Running listing = start(RunSpec{.args = {"-list", "ALL"}, .out_path = fifo});
    int queued = 0;
    for (int waited = 0; queued < 65536 && waited < 10000; waited += 10) {
        usleep(10000);
        ioctl(pager, FIONREAD, &queued);
    }
    EXPECT_EQ(queued, 65536); // the pipe is full, the listing waits
    auto began = Clock::now();
    RunResult other = run_as(root, {"-delete", "carol"});
    EXPECT_EQ(other.status, 0) << other.err;
    EXPECT_LT(seconds_since(began), 5);
    fcntl(pager, F_SETFL, 0);
    std::string out;
    char buffer[65536];
    for (ssize_t n; (n = read(pager, buffer, sizeof buffer)) > 0;)
        out.append(buffer, static_cast<size_t>(n));
    close(pager);
    EXPECT_EQ(finish(listing).status, 0);
    EXPECT_TRUE(out == whole.out);

    // Outputs that refuse sendfile (a file opened to append, a device) take
    // it through a small buffer: whole, also when writes are cut short, or
    // with status 1, also when only one write fails.
    whole = run_as(root, {"-list", "ALL"}); // without carol
    const std::string appended = file("appended");
    std::ofstream(appended) << "before\n";
    RunResult r = run({.args = {"-list", "ALL"},
                       .env = {{"TOLMARK_FAULT_FILE", appended}, {"TOLMARK_FAULT_CALLS", "short"}},
                       .out_path = appended,
                       .out_append = true});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(appended) == "before\n" + whole.out);
    r = run({.args = {"-list", "ALL"},
             .env = {{"TOLMARK_FAULT_FILE", appended}, {"TOLMARK_FAULT_COUNT", "1"}},
             .out_path = appended,
             .out_append = true});
    EXPECT_TRUE(r.status == 1 && r.err.ends_with(": Input/output error (5)\n")) << r.err;
    r = run({.args = {"-list", "ALL"}, .out_path = "/dev/full", .out_append = true});
    EXPECT_TRUE(r.status == 1 && r.err.ends_with(": No space left on device (28)\n")) << r.err;

    // A file size limit does not apply to a pipe, nor to what is collected
    // in memory for it.
    for (unsigned long limit : {150000ul, 100000ul, 32768ul}) {
        r = run(RunSpec{.args = {"-list", "ALL"}, .limits = {{RLIMIT_FSIZE, limit, limit}}});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.out == whole.out) << limit << ": " << r.out.size() << " bytes";
    }
}

// Writers, readers and -init -safe at once: nothing is lost or damaged.
TEST_F(Locks, ConcurrentChanges)
{
    prepare();
    const int writers = 6, changes = 30;
    {
        std::ofstream passwd(file("passwd"), std::ios::app);
        for (int w = 0; w < writers; ++w)
            for (int u = 0; u < 3; ++u)
                passwd << "w" << w << "u" << u << ":x:" << 3000 + w * 3 + u << ":3000::/:/bin/sh\n";
    }
    for (int w = 0; w < writers; ++w)
        for (int u = 0; u < 3; ++u)
            put(key("w" + std::to_string(w) + "u" + std::to_string(u)), record_of("start", "s"));
    std::atomic<int> made = 0, failed = 0;
    // Each is joined however the test ends, a lister once asked to stop.
    std::vector<std::jthread> threads;
    for (int w = 0; w < writers; ++w)
        threads.emplace_back([&, w] {
            for (int i = 0; i < changes; ++i) {
                std::string user = "w" + std::to_string(w) + "u" + std::to_string(i % 3);
                if ((i == 9 || i == 19) && run_as(root, {"-delete", user}).status != 0)
                    ++failed;
                RunResult r = run_as(root, {"-user", user, "Pass-" + std::to_string(i)});
                (r.status == 0 ? made : failed)++;
            }
        });
    for (int l = 0; l < 2; ++l)
        threads.emplace_back([&](std::stop_token stop) {
            while (!stop.stop_requested())
                if (run_as(root, {"-list", "ALL"}).status != 0)
                    ++failed;
        });
    usleep(500000);
    RunResult init = run(RunSpec{.args = {"-init", "-safe"}});
    EXPECT_EQ(init.status, 0);
    for (int w = 0; w < writers; ++w)
        threads[static_cast<size_t>(w)].join();
    threads.clear(); // the listers are stopped and joined
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(made, writers * changes);
    EXPECT_EQ(system(("db_verify -q " + db_file + " >/dev/null 2>&1").c_str()), 0);
    for (int w = 0; w < writers; ++w)
        for (int u = 0; u < 3; ++u) {
            int last = changes - 3 + u; // the last change of this user
            std::string user = "w" + std::to_string(w) + "u" + std::to_string(u);
            // Users 0 and 1 were deleted and added again: no SCRAM text.
            EXPECT_EQ(get(key(user)), record_of("Pass-" + std::to_string(last), u == 2 ? "s" : ""))
                << user;
        }
    EXPECT_EQ(get(key("alice")), record_of("Old-pass1", "alice-scram"));
}

} // namespace
