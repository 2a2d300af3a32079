// Trace entries, printable escapes and the database state reports.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "authdb.h"

namespace
{

std::string contents(FILE *file)
{
    fflush(file);
    rewind(file);
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, n);
    return text;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "unterminated last line";
    return lines;
}

// The message of a first trace line: what follows "[pid] ".
std::string message_of(const std::string &line)
{
    const std::string marker = "[" + std::to_string(getpid()) + "] ";
    size_t at = line.find(marker);
    return at == std::string::npos ? "<no pid in: " + line + ">" : line.substr(at + marker.size());
}

class Diagnostics : public testing::Test
{
  protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        file = tmpfile();
        ASSERT_NE(file, nullptr);
        debug_level = 0;
        trace_file = nullptr;
    }
    void TearDown() override
    {
        trace_file = nullptr;
        debug_level = 0;
        fclose(file);
    }
    FILE *file = nullptr;
};

} // namespace

TEST_F(Diagnostics, TraceEntryLines)
{
    write_trace_entry(file, 1700000000, 123456, 4242, "hello world", nullptr);
    write_trace_entry(file, 1699056000, 0, 7, "user ", "user %s exists");
    EXPECT_EQ(contents(file), "Nov 14 22:13:20.123 2023 [4242] hello world\n"
                              "Nov 14 22:13:20.123 2023 \n"
                              "Nov  4 00:00:00.000 2023 [7] user \n"
                              "Nov  4 00:00:00.000 2023 \n"
                              "Sat Nov  4 00:00:00 [7] Buffer size exceeded logging msg: "
                              "user %s exists\n"
                              "Sat Nov  4 00:00:00 \n");
}

TEST_F(Diagnostics, MillisecondsRoundButStayBelowOneThousand)
{
    const struct {
        long usec;
        const char *ms;
    } cases[] = {{0, ".000"},      {123456, ".123"}, {499, ".000"},    {500, ".001"},
                 {999499, ".999"}, {999500, ".999"}, {999999, ".999"}, {1500, ".002"}};
    std::string expected;
    for (const auto &c : cases) {
        write_trace_entry(file, 1700000000, c.usec, 1, "m", nullptr);
        const std::string stamp = std::string("Nov 14 22:13:20") + c.ms + " 2023 ";
        expected += stamp + "[1] m\n" + stamp + "\n";
    }
    EXPECT_EQ(contents(file), expected);
}

TEST_F(Diagnostics, TraceLogFormatsIntoTheFile)
{
    trace_log(file, LOG_DEBUG, "%s=%d", "count", 12);
    trace_log(file, LOG_DEBUG, "one\ntwo\tthree");
    std::vector<std::string> lines = lines_of(contents(file));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(message_of(lines[0]), "count=12");
    EXPECT_EQ(message_of(lines[2]), "one");
    EXPECT_EQ(lines[3], "two\tthree");
    // The blank line repeats the first line's time stamp.
    EXPECT_EQ(lines[1], lines[0].substr(0, 25));
    EXPECT_EQ(lines[1].size(), 25u);
}

TEST_F(Diagnostics, TraceLogCutsAndQuotesAnOverlongMessage)
{
    const std::string fits(2044, 'f'), format(3000, 'a');
    trace_log(file, LOG_DEBUG, fits.c_str(), 0);
    trace_log(file, LOG_DEBUG, format.c_str(), 0);
    std::vector<std::string> lines = lines_of(contents(file));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(message_of(lines[0]), fits);
    EXPECT_EQ(message_of(lines[2]), format.substr(0, 2044));
    EXPECT_EQ(message_of(lines[4]), "Buffer size exceeded logging msg: " + format);
    EXPECT_EQ(lines[5], lines[4].substr(0, 19) + " ");
}

TEST_F(Diagnostics, TraceLogOverlongArgumentStopsBeforeTheConversion)
{
    const std::string name(3000, 'n');
    trace_log(file, LOG_DEBUG, "user %s exists in db (%d/%d)", name.c_str(), 3, 4);
    std::vector<std::string> lines = lines_of(contents(file));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(message_of(lines[0]), "user ");
    EXPECT_EQ(message_of(lines[2]),
              "Buffer size exceeded logging msg: user %s exists in db (%d/%d)");
}

TEST_F(Diagnostics, ReportDbStateDecisionTable)
{
    const char *none = nullptr, *done = "DB %s succeeded: %s %d (%d: %s)",
               *quiet = "DB error on %s: %s %d (%d: %s)",
               *loud = "*** DB error on %s: %s %d (%d: %s) ***";
    const struct {
        int state;
        bool tolerant;
        int debug;
        const char *trace; // the expected message's format
    } rows[] = {
        {0, false, 0, none},  {0, true, 0, none},    {0, false, 1, done},  {0, true, 1, done},
        {-1, true, 0, none},  {-1, true, 1, quiet},  {-1, false, 0, loud}, {-1, false, 1, loud},
        {256, true, 0, loud}, {256, false, 1, loud}, {EIO, true, 0, loud},
    };
    for (const auto &row : rows) {
        const std::string where = "state " + std::to_string(row.state) +
                                  (row.tolerant ? ", tolerant" : "") + (row.debug ? ", debug" : "");
        FILE *f = tmpfile();
        ASSERT_NE(f, nullptr);
        trace_file = f;
        debug_level = row.debug;
        testing::internal::CaptureStderr();
        report_db_state(row.state, ENOSPC, "store", row.tolerant);
        const std::string err = testing::internal::GetCapturedStderr();
        const std::string trace = contents(f);
        trace_file = nullptr;
        fclose(f);

        std::string expected;
        if (row.trace != none) {
            const std::string state_text = strerror(row.state);
            char text[512];
            snprintf(text, sizeof text, row.trace, "store", state_text.c_str(), row.state, ENOSPC,
                     strerror(ENOSPC));
            expected = text;
        }
        std::vector<std::string> lines = lines_of(trace);
        ASSERT_EQ(lines.size(), row.trace != none ? 2u : 0u) << where;
        if (row.trace != none)
            EXPECT_EQ(message_of(lines[0]), expected) << where;
        EXPECT_EQ(err, row.trace == loud ? expected + "\n" : "") << where;
    }
}

TEST(Printable, EscapesEachKindOfByte)
{
    const struct {
        std::string bytes;
        const char *text;
    } cases[] = {
        {std::string("ab\tc\0", 5), "ab\\tc\\0"},
        {"\x03x", "\\0x3x"},
        {"\x1f", "\\0x1f"},
        {"\xff", "\\0xff"},
        {"\x7f\x80", "\\0x7f\\0x80"},
        {"\a\b\n\v\r", "\\a\\b\\n\\v\\r"},
        {"\f\x1b", "\\0xc\\0x1b"},
        {"a\\b", "a\\b"},
        {" ~", " ~"},
    };
    for (const auto &c : cases) {
        std::vector<char> exact(c.bytes.begin(), c.bytes.end());
        EXPECT_STREQ(printable(exact.data(), static_cast<int>(exact.size())), c.text) << c.text;
    }
}

TEST(Printable, StopsBeforeAnItemThatDoesNotFit)
{
    const auto length_of = [](const std::string &bytes) {
        return std::strlen(printable(bytes.data(), static_cast<int>(bytes.size())));
    };
    EXPECT_EQ(length_of(std::string(1100, 'A')), 1023u);
    EXPECT_EQ(length_of(std::string(600, '\0')), 1022u);
    EXPECT_EQ(length_of(std::string(1022, 'A') + "\x01"), 1022u);
    // A hex escape is charged five characters even when it prints four.
    EXPECT_EQ(length_of(std::string(1018, 'A') + "\x01"), 1022u);
    EXPECT_EQ(length_of(std::string(1019, 'A') + "\x01" + "B"), 1019u);
    EXPECT_EQ(length_of(std::string(1018, 'A') + "\xff"), 1023u);
    EXPECT_EQ(length_of(std::string(1021, 'A') + "\n"), 1023u);
    EXPECT_EQ(length_of(std::string(1022, 'A') + "\nB"), 1022u);
}

TEST(Printable, EmptyNegativeAndMissing)
{
    const char bytes[] = "abc";
    EXPECT_STREQ(printable(bytes, 0), "");
    EXPECT_STREQ(printable(bytes, -5), "");
    EXPECT_EQ(printable(nullptr, 3), nullptr);
}
