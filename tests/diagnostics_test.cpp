// Trace entries, printable escapes and the database state reports.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "authdb.h"

using namespace std::string_literals;

static bool memory_files_refused = false;

// The memory file that held output moves into; none while refused.
int memfd_create(const char *name, unsigned int flags) noexcept
{
    if (memory_files_refused) {
        errno = EMFILE;
        return -1;
    }
    return static_cast<int>(syscall(SYS_memfd_create, name, flags));
}

namespace
{

// Each test traces into a memory stream, in UTC.
class Diagnostics : public testing::Test
{
  protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        ASSERT_NE(file = open_memstream(&data, &size), nullptr);
    }
    void TearDown() override
    {
        trace_file = nullptr;
        debug_level = 0;
        fclose(file);
        free(data);
    }
    // The text traced since the last call.
    std::string traced()
    {
        fflush(file);
        std::string text(data + seen, size - seen);
        seen = size;
        return text;
    }
    // The lines traced since the last call, with "[pid] " and what precedes it
    // cut from first lines, and the lines that repeat their time stamp left out.
    std::vector<std::string> messages()
    {
        const std::string marker = "[" + std::to_string(getpid()) + "] ";
        std::vector<std::string> messages;
        std::istringstream in(traced());
        std::string stamp;
        for (std::string line; std::getline(in, line);) {
            if (size_t at = line.find(marker); at != std::string::npos) {
                stamp = line.substr(0, at);
                messages.push_back(line.substr(at + marker.size()));
            } else if (line != stamp) {
                messages.push_back(line);
            }
        }
        return messages;
    }
    FILE *file = nullptr;
    char *data = nullptr;
    size_t size = 0, seen = 0;
};

} // namespace

TEST_F(Diagnostics, TraceEntryLines)
{
    write_trace_entry(file, 1700000000, 123456, 4242, "hello world", nullptr);
    write_trace_entry(file, 1699056000, 0, 7, "user ", "user %s exists");
    EXPECT_EQ(traced(), "Nov 14 22:13:20.123 2023 [4242] hello world\n"
                        "Nov 14 22:13:20.123 2023 \n"
                        "Nov  4 00:00:00.000 2023 [7] user \n"
                        "Nov  4 00:00:00.000 2023 \n"
                        "Sat Nov  4 00:00:00 [7] Buffer size exceeded logging msg: user %s exists\n"
                        "Sat Nov  4 00:00:00 \n");
    // Milliseconds round, but stay below one thousand.
    const std::pair<long, const char *> cases[] = {{499, ".000"}, {500, ".001"}, {999999, ".999"}};
    for (const auto &[usec, ms] : cases) {
        write_trace_entry(file, 1700000000, usec, 1, "m", nullptr);
        const std::string stamp = "Nov 14 22:13:20"s + ms + " 2023 ";
        EXPECT_EQ(traced(), stamp + "[1] m\n" + stamp + "\n") << usec;
    }
}

TEST_F(Diagnostics, TraceLog)
{
    const std::string fits(2044, 'f'), format(3000, 'a'), name(3000, 'n');
    trace_log(file, LOG_DEBUG, "%s=%d", "count", 12);
    trace_log(file, LOG_DEBUG, "one\ntwo\tthree");
    trace_log(file, LOG_DEBUG, fits.c_str(), 0);
    trace_log(file, LOG_DEBUG, format.c_str(), 0);
    // An argument too long for the room ends the message before its conversion.
    trace_log(file, LOG_DEBUG, "user %s exists in db (%d/%d)", name.c_str(), 3, 4);
    const std::string overflow = "Buffer size exceeded logging msg: ";
    EXPECT_EQ(messages(),
              (std::vector<std::string>{"count=12", "one", "two\tthree", fits,
                                        format.substr(0, 2044), overflow + format, "user ",
                                        overflow + "user %s exists in db (%d/%d)"}));
}

// No data to render is traced, while debugging only.
TEST_F(Diagnostics, PrintableOfNothing)
{
    trace_file = file;
    EXPECT_EQ(printable(nullptr, 3), nullptr);
    EXPECT_TRUE(messages().empty());
    debug_level = 1;
    EXPECT_EQ(printable(nullptr, 3), nullptr);
    EXPECT_EQ(messages(), std::vector<std::string>{"printable passed NULL pointer"});
}

// With nothing held, output goes straight to its stream, NULs and all.
TEST_F(Diagnostics, EmitWritesThrough)
{
    emit(file, "%s=%d\n", "n", 1);
    emit_bytes(file, "a\0b\n", 4);
    EXPECT_EQ(traced(), "n=1\na\0b\n"s);
}

TEST_F(Diagnostics, ReportDbStateDecisionTable)
{
    const char *none = nullptr, *done = "DB %s succeeded: %s %d (%d: %s)",
               *quiet = "DB error on %s: %s %d (%d: %s)",
               *loud = "*** DB error on %s: %s %d (%d: %s) ***";
    // State, tolerant, debug level, and the format of the expected message.
    const std::tuple<int, bool, int, const char *> rows[] = {
        {0, false, 0, none},
        {0, true, 0, none},
        {0, false, 1, done},
        {0, true, 1, done},
        {-1, true, 0, none},
        {-1, true, 1, quiet},
        {-1, false, 0, loud},
        {-1, false, 1, loud},
        {256, true, 0, loud},
        {256, false, 1, loud},
        {DB_RUNRECOVERY, true, 0, loud},
    };
    trace_file = file;
    for (const auto &[state, tolerant, debug, trace] : rows) {
        SCOPED_TRACE(testing::Message() << state << " tolerant " << tolerant << " debug " << debug);
        debug_level = debug;
        testing::internal::CaptureStderr();
        report_db_state(state, ENOSPC, "store", tolerant);
        const std::string err = testing::internal::GetCapturedStderr();
        char expected[512] = "";
        if (trace != none)
            snprintf(expected, sizeof expected, trace, "store",
                     std::string(state < -1 ? db_strerror(state) : strerror(state)).c_str(), state,
                     ENOSPC, strerror(ENOSPC));
        EXPECT_EQ(messages(),
                  trace != none ? std::vector<std::string>{expected} : std::vector<std::string>{});
        EXPECT_EQ(err, trace == loud ? expected + "\n"s : "");
    }
}

// At most 1023 characters; a hex escape is charged five even when it prints
// four, and nothing follows an item that did not fit.
// A bounded wait's alarm ends a blocking call even where the caller blocked
// it, and leaves the signal's handler and mask as it found them.
TEST(AlarmScope, InterruptsAndRestores)
{
    sigset_t alarm, before, after;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    sigprocmask(SIG_BLOCK, &alarm, &before);
    struct sigaction ignore {
    }, found{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGALRM, &ignore, nullptr);
    {
        AlarmScope scope;
        AlarmScope::arm(20, 0);
        EXPECT_EQ(pause(), -1);
        AlarmScope::arm(0, 0);
    }
    sigprocmask(SIG_SETMASK, &before, &after);
    sigaction(SIGALRM, nullptr, &found);
    EXPECT_TRUE(sigismember(&after, SIGALRM));
    EXPECT_EQ(found.sa_handler, SIG_IGN);
}

TEST(Printable, EscapesWithinItsBudget)
{
    const std::pair<std::string, const char *> cases[] = {
        {"ab\tc\0"s, "ab\\tc\\0"}, {"\x03x", "\\0x3x"},
        {"\x1f", "\\0x1f"},        {"\xff", "\\0xff"},
        {"a\\b ~", "a\\b ~"},      {"\a\b\n\v\r\f\x7f\x80", "\\a\\b\\n\\v\\r\\0xc\\0x7f\\0x80"},
    };
    const auto print = [](const std::string &bytes) {
        std::vector<char> exact(bytes.begin(), bytes.end());
        return std::string(printable(exact.data(), static_cast<int>(exact.size())));
    };
    for (const auto &[bytes, text] : cases)
        EXPECT_EQ(print(bytes), text);
    // So many of a byte, then a tail: the length of the text.
    const std::tuple<char, int, const char *, size_t> budget[] = {
        {'A', 1100, "", 1023},     {'\0', 600, "", 1022},      {'A', 1018, "\x01", 1022},
        {'A', 1018, "\xff", 1023}, {'A', 1019, "\001B", 1019}, {'A', 1021, "\n", 1023},
        {'A', 1022, "\nB", 1022},
    };
    for (const auto &[fill, count, tail, length] : budget)
        EXPECT_EQ(print(std::string(count, fill) + tail).size(), length) << count << " + " << tail;
    EXPECT_STREQ(printable("abc", 0), "");
    EXPECT_STREQ(printable("abc", -5), "");
    EXPECT_EQ(printable(nullptr, 3), nullptr);
}

// Output held back under the lock comes out whole once it is let go: 2,048
// lines of 32 bytes fill the 64 KiB buffer to its last byte, and one more
// moves it into the memory file.
TEST(HeldOutput, LineEndingAtTheBufferEnd)
{
    std::string expected;
    testing::internal::CaptureStdout();
    hold_output();
    for (int i = 0; i <= 2048; ++i) {
        emit(stdout, "%31d\n", i);
        expected += std::string(31 - std::to_string(i).size(), ' ') + std::to_string(i) + '\n';
    }
    release_output();
    EXPECT_TRUE(testing::internal::GetCapturedStdout() == expected);
}

// Held trace and error output that cannot be collected (no memory file for
// it) ends with a note after the whole lines that were.
TEST(HeldOutput, DroppedOutputIsNoted)
{
    trace_file = tmpfile();
    ASSERT_NE(trace_file, nullptr);
    const std::string line = std::string(99, 'x') + '\n';
    testing::internal::CaptureStderr();
    memory_files_refused = true;
    hold_output();
    for (int i = 0; i < 100; ++i)
        for (FILE *file : {stderr, trace_file})
            emit(file, "%s", line.c_str());
    release_output();
    memory_files_refused = false;
    const std::string note = "\n(further messages were dropped)\n";
    EXPECT_TRUE(testing::internal::GetCapturedStderr().ends_with(line + note));
    rewind(trace_file);
    std::string traced;
    for (int c; (c = fgetc(trace_file)) != EOF;)
        traced += static_cast<char>(c);
    EXPECT_TRUE(traced.ends_with(line + note)) << traced.size();
    close_trace_file();
}
