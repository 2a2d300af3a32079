// A write lands whole or is refused before anything is written, every
// outcome is told truly, and the audit trail names the program, not the
// caller's choice.
#include <csignal>
#include <filesystem>
#include <functional>
#include <fstream>
#include <optional>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "harness.h"

namespace
{

namespace fs = std::filesystem;

const std::string long_name(3000, 'n');

class Safety : public Tolmark
{
  protected:
    // Accounts to add, and a database of 300 others.
    std::map<Bytes, Bytes> prepare(const std::vector<std::string> &names)
    {
        std::ofstream passwd(file("passwd"), std::ios::app);
        for (size_t i = 0; i < names.size(); ++i)
            passwd << names[i] << ":x:" << 2000 + i << ":2000::/:/bin/sh\n";
        create_db();
        for (int i = 0; i < 300; ++i)
            put(key("user" + std::to_string(i)), record_of("Secret" + std::to_string(i), "scram"));
        return contents();
    }

    // Each change stored its record whole with status 0, or was refused with
    // status 1 and no notice; nobody else's record moved.
    void add_each(const std::vector<std::string> &names, std::map<Bytes, Bytes> expected,
                  std::vector<std::array<unsigned long, 3>> limits, int want_status)
    {
        for (const std::string &name : names) {
            fs::remove(file("syslog"));
            RunSpec spec;
            spec.args = {"-user", name, "Secret-1"};
            spec.limits = limits;
            RunResult r = run(spec);
            EXPECT_EQ(r.status, want_status) << name.size() << r.err;
            if (r.status == 0)
                expected[key(name)] = record_of("Secret-1");
            EXPECT_EQ(syslog().empty(), r.status != 0); // the notice
            EXPECT_EQ(contents(), expected);
        }
        EXPECT_TRUE(verifies());
    }

    static bool verifies()
    {
        return system(("db_verify -q " + db_file + " >/dev/null 2>&1").c_str()) == 0;
    }

    // The file as it was, with an empty journal.
    void restore(const std::string &pristine)
    {
        std::ofstream(db_file, std::ios::binary | std::ios::trunc) << pristine;
        empty_journal();
    }
};

TEST_F(Safety, FileSizeLimit)
{
    std::map<Bytes, Bytes> before = prepare({"newbie", long_name});
    unsigned long size = fs::file_size(db_file);
    add_each({"newbie", long_name}, before, {{RLIMIT_FSIZE, size, size}}, 1);
    // A doubling of the hash table makes the file as large again at once.
    unsigned long doubled = 2 * size + 256 * 1024;
    add_each({"newbie", long_name}, before, {{RLIMIT_FSIZE, doubled - 1, doubled - 1}}, 1);
    // The soft limit is raised to the hard one.
    add_each({"newbie", long_name}, before, {{RLIMIT_FSIZE, size, RLIM_INFINITY}}, 0);
}

// A small file system, filled up, in a private mount namespace.
TEST_F(Safety, FullFileSystem)
{
    fs::path folder = fs::path(db_path).parent_path();
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "needs root and a private mount namespace";
    std::vector<std::string> names;
    for (int i = 0; i < 6; ++i)
        names.push_back("new" + std::to_string(i));
    names.push_back(long_name);
    std::map<Bytes, Bytes> before = prepare(names);
    {
        std::ofstream filler(folder / "filler", std::ios::binary);
        std::string block(4096, 'f');
        while (filler.write(block.data(), block.size()))
            ;
    }
    add_each(names, before, {}, 1);
    fs::remove(folder / "filler");
    add_each(names, before, {}, 0);
    umount2(folder.c_str(), MNT_DETACH);
}

// A closed standard descriptor that /dev/null cannot fill (a socket stands
// there, in a private mount namespace) ends the run before anything is done.
TEST_F(Safety, StandardDescriptorThatCannotBeFilled)
{
    const std::string socket_path = file("socket");
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    socket_path.copy(address.sun_path, sizeof address.sun_path - 1);
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool bound = bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(s);
    if (geteuid() != 0 || !bound || unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(socket_path.c_str(), "/dev/null", nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "needs root and a private mount namespace";
    create_db();
    put(key("bob"), record_of("Bob-pass1"));
    RunResult r = run(RunSpec{.args = {"-delete", "bob"}, .close_stderr = true});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(get(key("bob")).has_value());
}

TEST_F(Safety, OutcomesAreToldTruly)
{
    create_db();
    put(key("bob"), record_of("Bob-pass1", "bob-scram"));
    put(key("alice"), record_of("Old-pass1"));
    const std::string full = program_path + ": unable to write standard output: No space left on "
                                            "device (28)\n";
    const std::string listing = file("listing");
    std::ofstream{listing};
    struct Case {
        const char *what;
        RunSpec spec;
        int status;
        std::string err;
        std::optional<std::string> out = {};
    } cases[] = {
        {"list to a full device", {.args = {"-list", "ALL"}, .out_path = "/dev/full"}, 1, full},
        {"one entry", {.args = {"-list", "bob"}, .out_path = "/dev/full"}, 1, full},
        {"own entry", {.caller = alice, .args = {"-list"}, .out_path = "/dev/full"}, 1, full},
        {"version", {.args = {"-version"}, .out_path = "/dev/full"}, 1, full},
        // Nothing is replaced on an answer to a question that was never shown.
        {"init's question", {.args = {"-init"}, .input = "y\n", .out_path = "/dev/full"}, 1, full},
        {"few descriptors",
         {.caller = alice, .args = {"-list"}, .limits = {{RLIMIT_NOFILE, 8, 8}}},
         1,
         program_path +
             ": too few free file descriptors (4 of 16) to open POP "
             "authentication DB " +
             db_file + "\n"},
        {"CPU time nearly used up",
         {.args = {"-user", "bob", "New-pass9"}, .limits = {{RLIMIT_CPU, 1, 1}}},
         1,
         "Changing only APOP password for bob.\n" + program_path + ": POP authentication DB " +
             db_file + " not changed: the CPU time limit is too low for the change\n"},
        {"delete with CPU time nearly used up",
         {.args = {"-delete", "bob"}, .limits = {{RLIMIT_CPU, 1, 1}}},
         1,
         "Warning: deleting user \"bob\"\n" + program_path + ": POP authentication DB " + db_file +
             " not changed: the CPU time limit is too low for the change\n"},
        {"started with SIGCHLD ignored",
         {.args = {"-user", "bob"},
          .dialogue = {{"New password:", "New-pass3"}, {"Retype new password:", "New-pass3"}},
          .child_signal_ignored = true},
         0,
         "Changing only APOP password for bob.\n"},
        {"list into a file under a file size limit of 0",
         {.args = {"-list", "ALL"}, .out_path = listing, .limits = {{RLIMIT_FSIZE, 0, 0}}},
         1,
         program_path + ": unable to write standard output: File too large (27)\n"},
        {"standard error closed",
         {.caller = pop, .args = {"-user", "bob", "New-pass2"}, .close_stderr = true},
         0,
         ""},
        {"soft descriptor limit below the hard one",
         {.args = {"-list", "ALL"}, .limits = {{RLIMIT_NOFILE, 8, 64}}},
         0,
         "",
         "alice           : APOP \nbob             : APOP SCRAM\n"},
    };
    for (Case &c : cases) {
        RunResult r = run(c.spec);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        if (c.out)
            EXPECT_EQ(r.out, *c.out) << c.what;
    }
    EXPECT_EQ(get(key("bob")), record_of("New-pass2", "bob-scram"));
    RunResult r = run(root, {"-list", "ALL"});
    EXPECT_EQ(r.status, 0) << r.err;

    // A journal that cannot be flushed: nothing is written.
    r = run({.args = {"-user", "bob", "New-pass5"},
             .env = {{"TOLMARK_FAULT_FILE", journal_file}, {"TOLMARK_FAULT_CALLS", "flushes"}}});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.ends_with(" not changed: the change could not be journaled: "
                                "Input/output error (5)\n") &&
                r.err.find("Unknown error") == std::string::npos)
        << r.err;
    EXPECT_EQ(get(key("bob")), record_of("New-pass2", "bob-scram"));

    // A forged argv[0] cannot forge a log line; the mode names the program.
    RunSpec forged;
    forged.args = {"-debug", "-user", "bob", "New-pass3"};
    forged.argv0 = program_named("ztolmark");
    forged.shown_argv0 = "x\nNov 24 18:22:48 host sshd[1]: forged/ztolmark";
    fs::remove(file("syslog"));
    r = run(forged);
    EXPECT_EQ(r.status, 0);
    for (const LogEntry &entry : syslog())
        EXPECT_EQ(entry.ident, "ztolmark") << entry.message;

    // An ordinary caller's notice reaches the system log despite -trace.
    fs::remove(file("syslog"));
    std::string trace = file("trace");
    r = run(alice, {"-trace", trace},
            {{"Old password:", "Old-pass1"},
             {"New password:", "New-pass2"},
             {"Retype new password:", "New-pass2"}});
    EXPECT_EQ(r.status, 0);
    const std::string notice = "tolmark: alice changed only APOP password for alice";
    EXPECT_NE(read_file(trace).find("] " + notice + "\n"), std::string::npos);
    std::vector<LogEntry> log = syslog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].priority, LOG_NOTICE);
    EXPECT_EQ(log[0].message, notice);

    // The file gone by the time of the store: the store's own open failure.
    r = run(root, {"-user", "bob"},
            {{"New password:", "New-pass4", [](pid_t, int) { fs::remove(db_file); }},
             {"Retype new password:", "New-pass4"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Changing only APOP password for bob.\n" + program_path + ": " + db_path +
                         ": unable to open POP authentication DB:\n\tNo such file or directory "
                         "(2) [1383]\n");
}

// A page or a flush that cannot be written is told, with no notice: the
// change undone ("not changed"), or, where the file would not take its old
// pages back either, left to the next run to undo ("may be corrupt");
// whichever write of a change fails first, the run ends so.
TEST_F(Safety, FailedWritesAreToldTruly)
{
    prepare({long_name});
    put(key("bob"), record_of("Bob-pass1"));
    const std::string cut_away(3000, 'c'); // its key's page is the last: a delete cuts the file
    put(key(cut_away), record_of("Cut-pass1"));
    const std::map<Bytes, Bytes> before = contents();
    const std::string pristine = read_file(db_file);
    const std::string corrupt =
        program_path + ": POP authentication DB " + db_file + " may be corrupt?!?\n";
    const std::string failed = db_file + ".failed"; // made by the first failure
    const std::string undone = " not changed: a page could not be written, and the change was "
                               "undone: Input/output error (5)\n";
    // A new user with a long name: the store writes several pages.
    struct Case {
        std::vector<std::string> args;
        std::string name;
        std::optional<Bytes> after; // the name's record once the change is made
    } cases[] = {
        {{"-user", long_name, "New-pass3"}, long_name, record_of("New-pass3")},
        {{"-user", "bob", "New-pass2"}, "bob", record_of("New-pass2")},
        {{"-delete", "bob"}, "bob", std::nullopt},
        {{"-delete", cut_away}, cut_away, std::nullopt},
    };
    // Failing for good, or once.
    const std::pair<std::string, std::string> faults[] = {
        {"writes", "-1"}, {"flushes", "-1"}, {"writes", "1"}};
    for (const Case &c : cases)
        for (const auto &[calls, count] : faults)
            for (int after = 0;; ++after) {
                std::string label = c.args[0] + " " + c.name.substr(0, 8) + ", " + calls +
                                    " failing " + count + " from " + std::to_string(after) + ": ";
                ASSERT_LT(after, 50) << label;
                restore(pristine);
                fs::remove(failed);
                fs::remove(file("syslog"));
                RunResult r = run({.args = c.args,
                                   .env = {{"TOLMARK_FAULT_FILE", db_file},
                                           {"TOLMARK_FAULT_CALLS", calls},
                                           {"TOLMARK_FAULT_AFTER", std::to_string(after)},
                                           {"TOLMARK_FAULT_COUNT", count}}});
                bool hit = fs::exists(failed);
                EXPECT_EQ(r.status, hit ? 1 : 0) << label << r.err;
                EXPECT_EQ(syslog().empty(), hit) << label; // the notice
                if (hit) {
                    EXPECT_TRUE(r.err.ends_with(count == "1" ? undone : corrupt)) << label << r.err;
                    // The next run finds the file as it was.
                    EXPECT_EQ(run(root, {"-list", "ALL"}).status, 0) << label;
                    EXPECT_TRUE(contents() == before && verifies()) << label;
                    continue;
                }
                std::map<Bytes, Bytes> expected = before;
                if (c.after)
                    expected[key(c.name)] = *c.after;
                else
                    expected.erase(key(c.name));
                EXPECT_TRUE(contents() == expected) << label;
                EXPECT_TRUE(verifies()) << label;
                break;
            }

    // Every page of a change is written before the lock is let go: a write
    // made without it fails.
    for (const Case &c : cases) {
        restore(pristine);
        fs::remove(failed);
        RunResult r =
            run({.args = c.args,
                 .env = {{"TOLMARK_FAULT_FILE", db_file}, {"TOLMARK_FAULT_CALLS", "unlocked"}}});
        EXPECT_EQ(r.status, 0) << c.args[0] << " " << c.name.substr(0, 8) << r.err;
        EXPECT_FALSE(fs::exists(failed)) << c.args[0] << " " << c.name.substr(0, 8);
    }

    // A page that cannot be read is no missing entry, nor a listing's end:
    // status 1, nothing written, no notice.
    for (auto args : {std::vector<std::string>{"-list", "ALL"},
                      {"-list", "bob"},
                      {"-user", "bob", "New-pass2"},
                      {"-delete", "bob"}})
        for (int after = 0;; ++after) {
            std::string label =
                args[0] + " " + args[1] + ", reads failing from " + std::to_string(after) + ": ";
            ASSERT_LT(after, 50) << label;
            restore(pristine);
            fs::remove(failed);
            fs::remove(file("syslog"));
            RunResult r = run({.args = args,
                               .env = {{"TOLMARK_FAULT_FILE", db_file},
                                       {"TOLMARK_FAULT_CALLS", "reads"},
                                       {"TOLMARK_FAULT_AFTER", std::to_string(after)}}});
            if (!fs::exists(failed))
                break;
            EXPECT_EQ(r.status, 1) << label << r.err;
            EXPECT_TRUE(r.err.ends_with(corrupt) ||
                        r.err.find("unable to open POP authentication DB") != std::string::npos ||
                        r.err.find(" not changed: the change could not be journaled: Input/output "
                                   "error (5)\n") != std::string::npos)
                << label << r.err;
            for (const LogEntry &entry : syslog())
                EXPECT_FALSE(entry.message.starts_with("tolmark: ")) << label; // no notice
            EXPECT_TRUE(read_file(db_file) == pristine) << label;
        }
}

// A change cut short (kill -9, or a power cut) between its journal and its
// pages: the next run of every kind, by any caller, finds the file as it was,
// or whole after the change, and says so. A damaged journal, or one of
// another file, is never applied, nor one that is no private file of pop's
// read; without a journal only root's run goes on, and nothing is asked.
TEST_F(Safety, ChangeCutShortIsSettledByTheNextRun)
{
    prepare({long_name});
    for (const char *name : {"alice", "bob", "carol"})
        put(key(name), record_of("Old-pass1"));
    const std::map<Bytes, Bytes> before = contents();
    const std::string pristine = read_file(db_file);
    auto notice = [](const std::string &who, const std::string &what) {
        return "tolmark: user \"" + who + "\" " + what;
    };
    const std::string rolled = "rolled back an interrupted change of db \"" + db_path + "\"";
    auto flip = [] {
        std::fstream journal(journal_file, std::ios::in | std::ios::out | std::ios::binary);
        journal.seekp(200);
        journal.put('!');
    };
    std::string kept; // a journal that holds a change, for another file
    auto swap_file = [&] {
        kept = read_file(journal_file);
        fs::remove(db_file);
        create_db();
        std::ofstream(journal_file, std::ios::binary | std::ios::trunc) << kept;
    };
    const std::string missing = program_path + ": POP authentication DB " + db_file +
                                " not changed: its journal " + journal_file +
                                " is missing; a run by root makes it\n";
    const std::string unfit = "tolmark: the journal \"" + journal_file + "\" of db \"" + db_path +
                              "\" is not a private file of pop's; it was not read";
    const std::string unfit_change = program_path + ": POP authentication DB " + db_file +
                                     " not changed: its journal " + journal_file +
                                     " is not a private file of pop's\n";
    struct Case {
        const char *what;
        RunSpec next;
        std::string notice; // the run's first on the system log
        int status = 0;
        std::string cut_in = db_file; // the change was killed at its second write there
        std::function<void()> tamper = nullptr;
        bool undone = true; // else the file stays as the tampering left it
        std::string err = "";
        unsigned journal_mode = 0600; // as the run leaves it
    } cases[] = {
        {"root lists all", {.args = {"-list", "ALL"}}, notice("root", rolled)},
        {"an ordinary user lists", {.caller = alice, .args = {"-list"}}, notice("alice", rolled)},
        {"root lists to a trace file",
         {.args = {"-trace", file("trace"), "-list", "ALL"}},
         notice("root", rolled)},
        {"an ordinary user's dialogue",
         {.caller = alice,
          .dialogue = {{"Old password:", "Old-pass1"},
                       {"New password:", "New-pass2"},
                       {"Retype new password:", "New-pass2"}}},
         notice("alice", rolled)},
        {"root changes", {.args = {"-user", "bob", "New-pass2"}}, notice("root", rolled)},
        {"pop deletes", {.caller = pop, .args = {"-delete", "carol"}}, notice("pop", rolled)},
        {"-init -safe", {.args = {"-init", "-safe"}}, notice("root", rolled)},
        {"the file took the whole change",
         {.args = {"-list", "bob"}},
         notice("root", "found the interrupted change of db \"" + db_path +
                            "\" whole; its journal was emptied"),
         0,
         journal_file},
        {"a damaged journal",
         {.args = {"-list", "bob"}},
         notice("root",
                "found the journal of db \"" + db_path + "\" damaged; it was emptied, not applied"),
         0,
         db_file,
         flip,
         false},
        {"a journal of another file",
         {.args = {"-list", "ALL"}},
         notice("root", "found a journal of another file beside db \"" + db_path +
                            "\"; it was emptied, not applied"),
         0,
         db_file,
         swap_file,
         false},
        {"no journal: pop changes nothing",
         {.caller = pop, .args = {"-user", "bob", "New-pass2"}},
         "",
         1,
         "",
         [] { fs::remove(journal_file); },
         false,
         missing},
        {"no journal: a user's dialogue asks nothing",
         {.caller = alice},
         "",
         1,
         "",
         [] { fs::remove(journal_file); },
         false,
         missing},
        {"no journal: root's run makes it",
         {.args = {"-list", "bob"}},
         notice("root", "made the journal \"" + journal_file + "\" of db \"" + db_path + "\""),
         0,
         "",
         [] { fs::remove(journal_file); },
         false},
        {"an unfinished journal of root's: root's run finishes it",
         {.args = {"-list", "bob"}},
         notice("root", "made the journal \"" + journal_file + "\" of db \"" + db_path + "\""),
         0,
         "",
         [] { EXPECT_EQ(chown(journal_file.c_str(), 0, 0), 0); },
         false},
        {"a journal of root's: pop changes nothing",
         {.caller = pop, .args = {"-user", "bob", "New-pass2"}},
         unfit,
         1,
         "",
         [] { EXPECT_EQ(chown(journal_file.c_str(), 0, 0), 0); },
         false,
         unfit_change,
         0},
        {"-init -safe keeps a journal that is not fit, and says so",
         {.args = {"-init", "-safe"}},
         "",
         1,
         "",
         [] { fs::permissions(journal_file, fs::perms(0640)); },
         false,
         program_path + ": POP authentication DB " + db_file + " not initialized (exists), and " +
             "its journal " + journal_file + " is not a private file of pop's: give it to pop, " +
             "mode 0600, and run ztolmark -list ALL\n",
         0640},
        // Last: the next one would find the journal's name as these leave it.
        {"a journal that others may read: pop changes nothing",
         {.caller = pop, .args = {"-user", "bob", "New-pass2"}},
         unfit,
         1,
         "",
         [] { fs::permissions(journal_file, fs::perms(0640)); },
         false,
         unfit_change,
         0640},
        {"a journal that is no file: nobody waits on it",
         {.args = {"-list", "bob"}},
         unfit,
         0,
         "",
         [] {
             fs::remove(journal_file);
             EXPECT_EQ(mkfifo(journal_file.c_str(), 0600), 0);
             EXPECT_EQ(chown(journal_file.c_str(), pop.uid, pop.gid), 0);
         },
         false},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.what);
        restore(pristine);
        if (!c.cut_in.empty()) {
            RunResult cut = run({.args = {"-user", long_name, "New-pass3"},
                                 .env = {{"TOLMARK_FAULT_FILE", c.cut_in},
                                         {"TOLMARK_FAULT_CALLS", "kill"},
                                         {"TOLMARK_FAULT_AFTER", "1"}}});
            ASSERT_EQ(cut.status, 128 + SIGKILL) << cut.err;
        }
        if (c.tamper)
            c.tamper();
        const std::string left = read_file(db_file);
        fs::remove(file("syslog"));
        fs::remove(file("calls"));
        c.next.env["TOLMARK_CALL_LOG"] = file("calls");
        RunResult r = run(c.next);
        EXPECT_EQ(r.status, c.status) << r.err;
        if (c.status != 0)
            EXPECT_EQ(r.err, c.err);
        std::vector<LogEntry> log = syslog();
        EXPECT_EQ(log.empty() ? "" : log[0].message, c.notice);
        // A repair is on the disk before the journal is emptied.
        if (c.notice.find(" whole; ") != std::string::npos || c.notice.ends_with(rolled))
            EXPECT_NE(read_file(file("calls")).find("fdatasync\t" + db_file + "\n"),
                      std::string::npos);
        struct stat st;
        EXPECT_TRUE(c.journal_mode == 0 ||
                    (stat(journal_file.c_str(), &st) == 0
                         ? st.st_uid == pop.uid && (st.st_mode & 07777) == c.journal_mode
                         : c.status != 0));
        if (!c.undone) {
            EXPECT_TRUE(read_file(db_file) == left);
            continue;
        }
        EXPECT_TRUE(verifies());
        std::map<Bytes, Bytes> now = contents();
        EXPECT_EQ(now.count(key(long_name)), c.cut_in == journal_file ? 1u : 0u);
        for (const auto &[k, v] : before) // nobody else's entry is lost
            if (k.starts_with("user"))
                EXPECT_TRUE(now.count(k) == 1 && now[k] == v) << k;
    }
}

} // namespace
