// Setting, changing and removing a secret, as the callers see it on their
// terminal and as the database holds it afterwards.
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include "harness.h"

namespace
{

constexpr Caller carol{1003, 1003};

const std::string Old = "Old password:";
const std::string New = "New password:";
const std::string Again = "Retype new password:";
const std::string digits_hint = "Please use at least one non-numeric character.\n";
const std::string longer_hint = "Please use a longer password.\n";

std::string fatal(const std::string &message)
{
    return program_path + ": " + message + "\n";
}

std::string name_of(Caller who)
{
    const std::map<uid_t, std::string> names = {
        {0, "root"}, {110, "pop"}, {1001, "alice"}, {1002, "bob"}, {1003, "carol"}};
    return names.at(who.uid);
}

bool echo_on(int terminal)
{
    termios mode{};
    EXPECT_EQ(tcgetattr(terminal, &mode), 0);
    return (mode.c_lflag & ECHO) != 0;
}

// Waits until the process sits in read(), so that a signal interrupts the
// read rather than arriving between the prompt and the read.
bool wait_until_reading(pid_t pid)
{
    return wait_until_in_syscall(pid, SYS_read);
}

// A secret of the given length, good enough by every rule.
std::string long_secret(size_t length)
{
    std::string text;
    for (size_t i = 0; i < length; ++i)
        text += "aB3-"[i % 4];
    return text;
}

const Bytes bob_record = record_of("Bob-pass1", "bob-scram");
const Bytes alice_record = record_of("Old-pass1", "alice-scram");
const std::string incorrect = fatal("Sorry, password entered incorrectly\n");
const std::string unchanged = "Password unchanged.\n";
const std::string mismatch = "Mismatch -- password unchanged.\n";
constexpr std::nullopt_t none = std::nullopt;
const std::string no_ff = fatal("Sorry, a password may not contain the byte 0xff");

struct Row {
    const char *what;
    Caller who;
    std::string user;                  // -user NAME; empty: the caller's own
    std::optional<std::string> secret; // given after the name
    std::optional<Bytes> before;       // the target's record
    std::string dialogue;              // "old:ANSWER new:ANSWER again:ANSWER"
    int status;
    std::string out, err;       // err: after the announcement
    std::optional<Bytes> after; // unset: nothing written
    bool announced = true;
};

class Change : public Tolmark
{
  protected:
    // A database holding a bystander's record and the target's, if any.
    std::map<Bytes, Bytes> prepare(const std::string &target, const std::optional<Bytes> &record)
    {
        std::filesystem::remove(db_file);
        std::filesystem::remove(file("syslog"));
        create_db();
        put(key("bystander"), record_of("Other-pass1", "other-scram"));
        if (record)
            put(key(target), *record);
        return contents();
    }

    std::vector<std::string> notices() const
    {
        std::vector<std::string> found;
        for (const LogEntry &entry : syslog())
            found.push_back(std::to_string(entry.priority) + " " + entry.message);
        return found;
    }

    void check(const Row &row)
    {
        SCOPED_TRACE(row.what);
        std::string target = row.user.empty() ? name_of(row.who) : row.user;
        std::map<Bytes, Bytes> expected = prepare(target, row.before);
        std::vector<std::string> args;
        if (!row.user.empty())
            args = {"-user", row.user};
        if (row.secret)
            args.push_back(*row.secret);
        std::vector<Exchange> dialogue;
        std::string transcript;
        const std::map<std::string, std::string> prompts = {
            {"old", Old}, {"new", New}, {"again", Again}};
        std::istringstream steps(row.dialogue);
        for (std::string step; steps >> step;) {
            size_t colon = step.find(':');
            dialogue.push_back({prompts.at(step.substr(0, colon)), step.substr(colon + 1)});
            transcript += dialogue.back().prompt + "\r\n"; // the answer is not echoed
        }
        RunResult r = run(row.who, args, dialogue);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.out, row.out);
        std::string verb = row.before ? "Changing" : "Adding";
        std::string announcement = verb + " only APOP password for " + target + ".\n";
        EXPECT_EQ(r.err, (row.announced ? announcement : "") + row.err);
        EXPECT_EQ(r.terminal, transcript);
        if (row.after)
            expected[key(target)] = *row.after;
        EXPECT_EQ(contents(), expected);
        std::vector<std::string> notice;
        if (row.err == incorrect)
            notice.push_back("5 tolmark: \"" + name_of(row.who) +
                             "\" gave a wrong old APOP password for \"" + target + "\"");
        if (row.after)
            notice.push_back("5 tolmark: " + name_of(row.who) +
                             (row.before ? " changed" : " added") + " only APOP password for " +
                             target);
        EXPECT_EQ(notices(), notice);
    }
};

TEST_F(Change, TypedSecrets)
{
    const Bytes unencoded = Bytes("Old-pass1\0alice-scram\0", 22);
    const std::string proven = "old:Old-pass1 ";
    const std::string a99 = long_secret(99), a100 = long_secret(100);
    const Row rows[] = {
        {"own secret, old one proven", alice, "", none, alice_record,
         proven + "new:New-pass2 again:New-pass2", 0, "", "",
         record_of("New-pass2", "alice-scram")},
        {"old secret stored unencoded", alice, "", none, unencoded,
         proven + "new:New-pass2 again:New-pass2", 0, "", "",
         record_of("New-pass2", "alice-scram")},
        {"wrong old secret", alice, "", none, alice_record, "old:Old-pass2", 1, "", incorrect},
        {"wrong first character", alice, "", none, alice_record, "old:Xld-pass1", 1, "", incorrect},
        {"old secret too short", alice, "", none, alice_record, "old:Old-pass", 1, "", incorrect},
        {"old secret too long", alice, "", none, alice_record, "old:Old-pass12", 1, "", incorrect},
        {"empty old secret", alice, "", none, alice_record, "old:", 1, "", incorrect},
        {"no record: not asked", alice, "", none, none, "new:New-pass2 again:New-pass2", 0, "", "",
         record_of("New-pass2")},
        {"empty field: not asked", carol, "", none, record_of("", "carol-scram"),
         "new:New-pass2 again:New-pass2", 0, "", "", record_of("New-pass2", "carol-scram")},
        {"root's own", root, "", none, none, "new:New-pass2 again:New-pass2", 0, "", "",
         record_of("New-pass2")},
        {"root for alice: not asked", root, "alice", none, alice_record,
         "new:New-pass2 again:New-pass2", 0, "", "", record_of("New-pass2", "alice-scram")},
        {"pop for alice: not asked", pop, "alice", none, alice_record, "new:Old-p again:Old-p", 0,
         "", "", record_of("Old-p", "alice-scram")},
        {"empty new secret", alice, "", none, alice_record, proven + "new:", 1, "", unchanged},
        {"empty on the second attempt", alice, "", none, alice_record, proven + "new:abc new:", 1,
         longer_hint, unchanged},
        {"start of the old secret", alice, "", none, alice_record, proven + "new:Old-p", 1, "",
         unchanged},
        {"the old secret itself", alice, "", none, alice_record, proven + "new:Old-pass1", 1, "",
         unchanged},
        {"start of the old secret, second attempt", alice, "", none, alice_record,
         proven + "new:ab new:Old-pass", 1, longer_hint, unchanged},
        {"old secret with more after it", alice, "", none, alice_record,
         proven + "new:Old-pass12 again:Old-pass12", 0, "", "",
         record_of("Old-pass12", "alice-scram")},
        {"retyped differently", alice, "", none, alice_record,
         proven + "new:New-pass2 again:New-pass3", 1, "", mismatch},
        {"star removes the secret", root, "alice", none, alice_record, "new:* again:*", 0, "", "",
         record_of("", "alice-scram")},
        {"star by the owner", alice, "", none, alice_record, proven + "new:* again:*", 0, "", "",
         record_of("", "alice-scram")},
        {"star retyped differently", root, "alice", none, alice_record, "new:* again:**", 1, "",
         mismatch},
        {"star on the second attempt", root, "alice", none, alice_record, "new:abc new:* again:*",
         0, longer_hint, "", record_of("", "alice-scram")},
        {"99 characters", root, "alice", none, alice_record, "new:" + a99 + " again:" + a99, 0, "",
         "", record_of(a99, "alice-scram")},
        {"100 characters", root, "alice", none, alice_record, "new:" + a100 + " again:" + a100, 1,
         "", mismatch},
        {"byte 0xff", root, "alice", none, alice_record, "new:New-\xffpass2", 1, "", no_ff},
        {"byte 0xff by the owner", alice, "", none, alice_record, proven + "new:\xff", 1, "",
         no_ff},
    };
    for (const Row &row : rows)
        check(row);
}

TEST_F(Change, StrengthRules)
{
    struct Case {
        std::string first;
        std::string hint;   // empty: the first is good enough
        std::string second; // typed after the hint
    } cases[] = {
        {"12345678", digits_hint, "12345678"}, // accepted on the second attempt
        {"1234567890123", digits_hint, "abcdef"},
        {"abcde", longer_hint, "abcde"},
        {"abcdef", "", ""},
        {"ABCDE", longer_hint, "ABCDEF"},
        {"ABCDEF", "", ""},
        {"abc12", "", ""},
        {"ab12", longer_hint, "ab123"},
        {"AB123", "", ""},
        {"abCDE", "", ""},
        {"abCD", longer_hint, "ab1C"},
        {"ab1C", "", ""},
        {"a1C", longer_hint, "a1C"},
        {"ab.c", "", ""},
        {"ab.", longer_hint, "ab.c"},
        {"#+-!", "", ""},
    };
    for (const Case &c : cases) {
        std::string stored = c.hint.empty() ? c.first : c.second;
        std::string dialogue = "new:" + c.first + (c.hint.empty() ? "" : " new:" + c.second);
        check({c.first.c_str(), root, "bob", none, bob_record, dialogue + " again:" + stored, 0,
               c.hint, "", record_of(stored, "bob-scram")});
    }

    // The hint is written before the next prompt, also into a file.
    prepare("bob", bob_record);
    const std::string out = file("out");
    std::ofstream{out};
    std::string shown;
    auto look = [&](pid_t, int) { shown = read_file(out); };
    RunResult r = run(RunSpec{.args = {"-user", "bob"},
                              .dialogue = {{New, "abc"}, {New, "abc12", look}, {Again, "abc12"}},
                              .out_path = out});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(shown, longer_hint);
}

TEST_F(Change, SecretOnTheCommandLine)
{
    const Bytes big_scram = record_of("Bob-pass1", std::string(1000, 's'));
    const std::string s120 = long_secret(120), s22 = long_secret(22);
    const std::string too_long =
        fatal("POP authentication DB record for bob is too long to rewrite");
    const std::string refused =
        fatal("Only superuser or user \"pop\" can perform the requested function");
    const Row rows[] = {
        {"root", root, "bob", "New-pass2", bob_record, "", 0, "", "",
         record_of("New-pass2", "bob-scram")},
        {"pop, new user, no strength rules", pop, "carol", "1", none, "", 0, "", "",
         record_of("1")},
        {"first 99 characters kept", root, "bob", s120, bob_record, "", 0, "", "",
         record_of(s120.substr(0, 99), "bob-scram")},
        {"star removes the secret", root, "bob", "*", bob_record, "", 0, "", "",
         record_of("", "bob-scram")},
        {"empty word", pop, "bob", "", bob_record, "", 0, "", "", record_of("", "bob-scram")},
        {"record without a SCRAM part", root, "bob", "New-pass2", Bytes("\xbd\x90\x9d", 4), "", 0,
         "", "", record_of("New-pass2")},
        {"byte 0xff", root, "bob", "New\xff", bob_record, "", 1, "", no_ff},
        {"record of 1024 bytes", root, "bob", s22, big_scram, "", 0, "", "",
         record_of(s22, std::string(1000, 's'))},
        {"record of 1025 bytes", root, "bob", long_secret(23), big_scram, "", 1, "", too_long},
        {"record of 1032 bytes", root, "bob", long_secret(30), big_scram, "", 1, "", too_long},
        {"unknown user", root, "stranger", "New-pass2", none, "", 1, "",
         fatal("Sorry, don't know who user stranger is."), none, false},
        {"ordinary caller, own name", alice, "alice", "New-pass2", none, "", 1, "", refused, none,
         false},
        {"ordinary caller, other name", alice, "bob", none, bob_record, "", 1, "", refused, none,
         false},
    };
    for (const Row &row : rows)
        check(row);
}

TEST_F(Change, NoticeGoesToTheTraceFileWithoutTheSecret)
{
    prepare("bob", bob_record);
    std::string trace = file("trace");
    RunResult r = run(root, {"-trace", trace, "-user", "bob", "New-pass2", "-only"});
    EXPECT_EQ(r.status, 0);
    std::string text = read_file(trace);
    EXPECT_NE(text.find("] tolmark: root changed only APOP password for bob\n"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("New-pass2"), std::string::npos) << text;
    // Nor does the journal keep the secret written over.
    EXPECT_EQ(read_file(journal_file).find(record_of("Bob-pass1").substr(0, 9)), std::string::npos);
    EXPECT_TRUE(syslog().empty());
    EXPECT_EQ(get(key("bob")), record_of("New-pass2", "bob-scram"));

    // A trace file that takes nothing leaves the notice to the system log.
    r = run(root, {"-trace", "/dev/full", "-user", "bob", "New-pass3"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(notices(),
              std::vector<std::string>{"5 tolmark: root changed only APOP password for bob"});
}

// Another writer changes the record while the caller types: its SCRAM field
// is the one stored with the new secret, and the notice tells a change.
TEST_F(Change, ScramFieldWrittenMeanwhileIsKept)
{
    for (bool existed : {true, false}) {
        SCOPED_TRACE(existed ? "changed" : "added");
        prepare("bob", existed ? std::optional(bob_record) : std::nullopt);
        auto other_writer = [&](pid_t, int) { put(key("bob"), record_of("Bob-pass1", "scram-2")); };
        RunResult r =
            run(root, {"-user", "bob"}, {{New, "New-pass2", other_writer}, {Again, "New-pass2"}});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(get(key("bob")), record_of("New-pass2", "scram-2"));
        EXPECT_EQ(notices(),
                  std::vector<std::string>{"5 tolmark: root changed only APOP password for bob"});
    }
}

// With a controlling terminal, and with the terminal on standard input and
// error only (su -c, setsid): no secret is shown, also after a ^Z (or a stop
// that su passes on) at a prompt, which asks again; and echo comes back.
TEST_F(Change, EchoIsOffWhileSecretsAreTyped)
{
    for (bool controlling : {true, false}) {
        SCOPED_TRACE(controlling ? "controlling terminal" : "no controlling terminal");
        prepare("alice", record_of("Old-pass1"));
        std::vector<bool> echo;
        int kept = -1; // keeps the terminal for a look after the end
        auto look = [&](pid_t, int terminal) {
            echo.push_back(echo_on(terminal));
            if (kept < 0)
                kept = dup(terminal);
        };
        auto suspend = [](pid_t pid, int) {
            EXPECT_TRUE(wait_until_reading(pid));
            kill(pid, SIGTSTP);
        };
        RunResult r = run(RunSpec{.caller = alice,
                                  .dialogue = {{Old, "Old-pass1", look},
                                               {New, "", suspend, false},
                                               {New, "New-pass2", look},
                                               {Again, "New-pass2", look}},
                                  .no_controlling_terminal = !controlling});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(echo, (std::vector<bool>{false, false, false}));
        EXPECT_EQ(r.terminal.find("-pass"), std::string::npos) << r.terminal;
        EXPECT_TRUE(echo_on(kept));
        close(kept);
    }
}

TEST_F(Change, InterruptAtAPromptRestoresTheTerminal)
{
    const std::vector<std::pair<std::string, std::string>> steps = {
        {Old, "Old-pass1"}, {New, "New-pass2"}, {Again, "New-pass2"}};
    // Without a controlling terminal the keys send nothing: su passes a
    // hangup, a termination or a quit on.
    const std::tuple<bool, int> ways[] = {
        {true, SIGINT}, {false, SIGHUP}, {false, SIGTERM}, {false, SIGQUIT}};
    for (const auto &[controlling, sig] : ways)
        for (size_t stop = 0; stop < steps.size(); ++stop) {
            SCOPED_TRACE(steps[stop].first + " " + strsignal(sig));
            std::map<Bytes, Bytes> before = prepare("alice", record_of("Old-pass1", "alice-scram"));
            int kept = -1;
            std::vector<Exchange> dialogue;
            for (size_t i = 0; i < stop; ++i)
                dialogue.push_back({steps[i].first, steps[i].second});
            dialogue.push_back({steps[stop].first, "",
                                [&, sig](pid_t pid, int terminal) {
                                    kept = dup(terminal);
                                    EXPECT_TRUE(wait_until_reading(pid));
                                    kill(pid, sig);
                                },
                                false});
            RunResult r = run(RunSpec{.caller = alice,
                                      .dialogue = dialogue,
                                      .limits = {{RLIMIT_CORE, 0, 0}}, // no core of a quit
                                      .no_controlling_terminal = !controlling});
            EXPECT_EQ(r.status, 128 + sig);
            EXPECT_TRUE(echo_on(kept));
            close(kept);
            EXPECT_EQ(contents(), before);
            EXPECT_TRUE(syslog().empty());
        }
}

TEST_F(Change, SecretArgumentLeavesTheProcessListing)
{
    prepare("bob", bob_record);
    const std::string secret = long_secret(120); // the later, shorter one is bob's
    // Held exclusively, the database keeps the program waiting at its start.
    int held = open(db_file.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    RunSpec spec;
    spec.args = {"-user", "carol", secret, "-user", "bob", "Bob-pass2", "-only"};
    Running running = start(spec);
    EXPECT_TRUE(wait_until_blocked_on_lock(running.pid));
    std::string listing = read_file("/proc/" + std::to_string(running.pid) + "/cmdline");
    close(held);
    RunResult r = finish(running);
    // Nothing in it tells the secret's length either.
    const std::string shown = program_path + " -user carol -user bob -only";
    EXPECT_TRUE(listing == shown || listing == shown + '\0') << listing;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(get(key("bob")), record_of("Bob-pass2", "bob-scram"));

    // Nor while a switch after it is read: a full trace file holds the run
    // there, before a usage error.
    const std::string fifo = file("trace");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int drain = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int fill = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    while (write(fill, secret.data(), secret.size()) > 0)
        ;
    running = start(RunSpec{.args = {"-user", "bob", secret, "-trace", fifo, ""}});
    EXPECT_TRUE(wait_until_in_syscall(running.pid, SYS_write));
    listing = read_file("/proc/" + std::to_string(running.pid) + "/cmdline");
    EXPECT_TRUE(listing.starts_with(program_path) &&
                listing.find(std::string(2, '\0')) == std::string::npos)
        << listing;
    char buffer[65536];
    while (read(drain, buffer, sizeof buffer) > 0)
        ;
    EXPECT_EQ(finish(running).status, 1);
    close(fill);
    close(drain);
}

} // namespace
