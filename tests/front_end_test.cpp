// Invocation names, switches, usage and version, the trace file and the
// system log, as a user sees them.
#include <filesystem>
#include <fstream>
#include <regex>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "harness.h"

namespace
{

std::string usage(const std::string &name)
{
    return "usage: " + name +
           " [ -debug | -trace <tracefile> ] [ <action> ]\n"
           "<action>: -init [ -safe ] \n"
           "          -list [ <user> | ALL ] | -only\n"
           "          -user <user> [ <password> ]\n"
           "          -delete <user>\n"
           "          -help\n"
           "          -version\n";
}

using FrontEnd = Tolmark;

TEST_F(FrontEnd, VersionUnderEachNameAndUnknownNamesRefused)
{
    for (const char *name : {"ztolmark", "zvestmark", "zcrantmark"}) {
        RunSpec spec;
        spec.argv0 = program_named(name);
        spec.args = {"-version", "-no-such-switch", "stray"};
        RunResult r = run(spec);
        EXPECT_EQ(r.status, 0) << name;
        EXPECT_EQ(r.out, spec.argv0 + " v4.1.0\n");
        EXPECT_EQ(r.err, "");
    }
    RunSpec spec;
    spec.argv0 = program_named("tolmark-other");
    spec.args = {"-bogus"};
    RunResult r = run(spec);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, spec.argv0 + ": Unknown mode: tolmark-other\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(FrontEnd, ScramModeRefusedAfterTheSwitches)
{
    std::string name = program_named("zcrantmark");
    RunSpec spec;
    spec.argv0 = name;
    spec.args = {"-list"};
    RunResult r = run(spec);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, name + ": not compiled with SCRAM option\n");

    spec.args = {"-help"};
    r = run(spec);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, usage(name));

    spec.args = {"-user"};
    r = run(spec);
    EXPECT_EQ(r.err, name + ": missing argument for -user\n");
}

TEST_F(FrontEnd, UsageAndSwitchErrors)
{
    const std::string &p = program_path;
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-help"}, usage(p)},
        {{"--help"}, usage(p)},
        {{"-debug", "-help", "-init"}, usage(p)},
        {{"list"}, p + ": unrecognized switch \"list\"" + usage(p)},
        {{""}, p + ": unrecognized switch \"\"" + usage(p)},
        {{"-x"}, p + ": \"-x\" unknown option\n" + usage(p)},
        {{"-"}, p + ": \"-\" unknown option\n" + usage(p)},
        {{"-LIST"}, p + ": \"-LIST\" unknown option\n" + usage(p)},
        {{"-user"}, p + ": missing argument for -user\n"},
        {{"-user", "-list"}, p + ": missing argument for -user\n"},
        {{"-user", "bob", "-x"}, p + ": \"-x\" unknown option\n" + usage(p)},
        {{"-delete"}, p + ": missing argument for -delete\n"},
        {{"-trace", "-debug"}, p + ": missing argument for -trace\n"},
    };
    for (const Case &c : cases) {
        RunResult r = run(root, c.args);
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
        EXPECT_EQ(r.out, "") << c.args[0];
    }
}

TEST_F(FrontEnd, LastOfInitListDeleteWins)
{
    create_db();
    put(key("bob"), record_of("secret"));
    put(key("carol"), record_of("other"));

    // -init then -list lists (root has no entry); nothing is initialised.
    RunResult r = run(root, {"-init", "-list"});
    EXPECT_EQ(r.err, program_path + ": no entry for \"root\" in POP authentication DB\n");
    EXPECT_EQ(r.status, 1);

    // -delete bob -list lists bob, the name kept from -delete.
    r = run(root, {"-delete", "bob", "-list"});
    EXPECT_EQ(r.out, "bob             : APOP \n");
    EXPECT_EQ(r.status, 0);

    // -delete bob -user carol deletes carol.
    r = run(root, {"-delete", "bob", "-user", "carol"});
    EXPECT_EQ(r.err, "Warning: deleting user \"carol\"\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(get(key("bob")).has_value());
    EXPECT_FALSE(get(key("carol")).has_value());

    // A password belongs to the -user it follows: carol's is asked.
    r = run(root, {"-user", "bob", "New-pass2", "-user", "carol"},
            {{"New password:", "Carol-pass2"}, {"Retype new password:", "Carol-pass2"}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(get(key("carol")), record_of("Carol-pass2"));

    // -list -init initialises, here with -safe on the existing file.
    r = run(root, {"-list", "-init", "-safe"});
    EXPECT_EQ(r.err, "POP authentication DB not initialized (exists): " + db_file + "\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(FrontEnd, TraceFileIsPrivateAndHoldsItsEntries)
{
    std::string first = file("first.trace");
    std::string second = file("second.trace");
    RunResult r = run(root, {"-trace", first, "-trace", second, "-version"});
    EXPECT_EQ(r.status, 0);

    struct stat st;
    ASSERT_EQ(stat(first.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // Each entry: the message line, then the time stamp alone.
    std::string stamp = R"([A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d\.\d{3} \d{4})";
    std::regex entry(stamp + R"( \[\d+\] (.*)\n)" + stamp + " \n");
    auto messages = [&](const std::string &path) {
        std::vector<std::string> found;
        std::string text = read_file(path);
        for (std::sregex_iterator it(text.begin(), text.end(), entry), end; it != end; ++it)
            found.push_back((*it)[1]);
        EXPECT_EQ(std::regex_replace(text, entry, ""), "") << text;
        return found;
    };
    // The second -trace is still processed while the first file is current.
    EXPECT_EQ(messages(first),
              (std::vector<std::string>{"Trace and Debug destination is file \"" + first + "\"",
                                        "...processing switch '-trace'"}));
    EXPECT_EQ(messages(second),
              (std::vector<std::string>{"Trace and Debug destination is file \"" + second + "\"",
                                        "...processing switch '-version'"}));
    EXPECT_TRUE(syslog().empty());
}

TEST_F(FrontEnd, TraceFileThatCannotBeOpened)
{
    std::string missing = file("no/such/folder/trace");
    RunResult r = run(alice, {"-trace", missing, "-version"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, program_path + ": Unable to open trace file \"" + missing +
                         "\": No such file or directory (2)\n\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(FrontEnd, DebugTracesGoToTheSystemLog)
{
    RunResult r = run(root, {"-debug", "-version"});
    EXPECT_EQ(r.status, 0);
    std::vector<LogEntry> log = syslog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].priority, LOG_DEBUG);
    EXPECT_EQ(log[0].option, LOG_PID);
    EXPECT_EQ(log[0].facility, LOG_LOCAL0);
    EXPECT_EQ(log[0].ident, "ztolmark"); // the mode, never the caller's argv[0]
    EXPECT_EQ(log[0].message, "...processing switch '-version'");

    // A traced word is text, never a format.
    r = run(root, {"-debug", "-%d%x%s"});
    EXPECT_EQ(r.status, 1);
    log = syslog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].message, "...processing switch '-%d%x%s'");

    // Nor a log line of its own, nor a terminal's escape: what the caller
    // gives is traced printable, in traces, notices and fatal messages.
    const std::string forged = "x\nDec  9 12:00:00 host sshd[1]: Accepted\x1b[2J";
    const std::string shown = "x\\nDec  9 12:00:00 host sshd[1]: Accepted\\0x1b[2J";
    create_db();
    put(key(forged), record_of("s"));
    std::string trace = file("t");
    for (auto args : {std::vector<std::string>{"-debug", "-" + forged},
                      {"-debug", "-delete", forged},
                      {"-debug", "-list", forged},
                      {"-trace", trace, "-list", forged}})
        run(root, args);
    log = syslog();
    ASSERT_GT(log.size(), 3u);
    EXPECT_EQ(log[2].message, "...processing switch '-" + shown + "'");
    for (const std::string &text : {log.back().message, read_file(trace)})
        EXPECT_NE(text.find("no entry for \"" + shown + "\" in"), std::string::npos) << text;
    for (const LogEntry &entry : log)
        EXPECT_EQ(entry.message.find_first_of("\n\x1b"), std::string::npos) << entry.message;
    // Traces held back under the lock keep their level: only notices rise above debug.
    for (const LogEntry &entry : log)
        EXPECT_EQ(entry.priority, entry.message.starts_with("tolmark: ") ? LOG_NOTICE : LOG_DEBUG)
            << entry.message;
    EXPECT_EQ(read_file(trace).find(forged), std::string::npos);
}

TEST_F(FrontEnd, FatalErrorsAreTracedWhenDebugging)
{
    RunResult r = run(root, {"-debug", "-user"});
    EXPECT_EQ(r.status, 1);
    std::vector<LogEntry> log = syslog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].priority, LOG_DEBUG);
    EXPECT_EQ(log[0].message, "missing argument for -user");
    // Error and site numbers are converted too.
    r = run(root, {"-debug", "-list", "bob"}); // no database
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(syslog().back().message, "unable to open POP authentication DB " + db_path +
                                           ":\n\tNo such file or directory (2) [1063]");

    std::string trace = file("t");
    r = run(root, {"-trace", trace, "-x"});
    EXPECT_EQ(r.status, 1);
    std::string text = read_file(trace);
    EXPECT_NE(text.find("] ...processing switch '-x'\n"), std::string::npos) << text;
}

} // namespace

// Root completes a name that the pop account put in the database, in a real
// bash on a terminal, and runs the line: each name lands as one word, and
// nothing in it runs or expands. Only the database's own keys are offered, a
// name stored with a line end making no other, and a name may hold : or =.
TEST_F(FrontEnd, CompletionQuotesEveryName)
{
    const std::string library = "/usr/share/bash-completion/bash_completion";
    if (geteuid() != 0 || access(library.c_str(), R_OK) != 0)
        GTEST_SKIP() << "needs root and bash-completion";
    const std::string ran = file("ran"), args = file("args");
    // Each name as stored, what is typed before the tab, and the word run.
    const std::vector<std::array<std::string, 3>> rows = {
        {"a;touch " + ran, "a", "a;touch " + ran},
        {"b$(touch " + ran + ")", "b", "b$(touch " + ran + ")"},
        {"c`touch " + ran + "`", "c", "c`touch " + ran + "`"},
        {"d&touch " + ran, "d", "d&touch " + ran},
        {"e|touch " + ran, "e", "e|touch " + ran},
        {"f g", "f", "f g"},
        {"h*", "h", "h*"},
        {"i'q", "i", "i'q"},
        {"j:k", "j:", "j:k"},
        {"l=m", "l=", "l=m"},
        {"x\nroot", "r", "r"},
    };
    create_db();
    for (const auto &[name, typed, word] : rows)
        put(key(name), record_of("s"));
    // The program lists; whatever else the line runs is recorded.
    std::ofstream(file("ztolmark")) << "#!/bin/sh\n[ \"$1\" = -list ] && LD_PRELOAD=" UID_WRAPPER_SO
                                       ":" NSS_WRAPPER_SO ":" SYSLOG_CAPTURE_SO " exec "
                                    << program_path << " \"$@\"\nprintf '[%s]' \"$@\" >>" << args
                                    << "\necho >>" << args << "\n";
    chmod(file("ztolmark").c_str(), 0755);
    // An interactive bash prompts on standard error: the terminal's here.
    RunSpec spec{.args = {"-c", "PS1='READY> ' exec bash --norc --noprofile -i 2>/dev/tty"},
                 .argv0 = "/bin/bash"};
    spec.env = {{"LD_PRELOAD", ""}, {"PATH", dir + ":/usr/bin:/bin"}};
    spec.dialogue = {{"READY> ", "source " + library + "; source " COMPLETION_FILE}};
    std::string expected;
    for (const auto &[name, typed, word] : rows) {
        spec.dialogue.push_back({"READY> ", "ztolmark -delete " + typed + "\t"});
        expected += "[-delete][" + word + "]\n";
    }
    spec.dialogue.push_back({"READY> ", "exit"});
    RunResult r = run(spec);
    EXPECT_EQ(read_file(args), expected) << r.terminal;
    EXPECT_FALSE(std::filesystem::exists(ran));
}
