// format_bounded: the printf subset that never writes past its buffer.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "authdb.h"

namespace
{

constexpr char guard = '\x5a';
constexpr size_t guard_bytes = 16;

int fmt(char *buffer, size_t size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = format_bounded(buffer, size, format, args);
    va_end(args);
    return n;
}

struct Result {
    std::string text;
    int value;
};

// Runs fmt into `size` bytes followed by guard bytes, and checks that the
// output is terminated inside the buffer and nothing past it was touched.
template <typename... Args> Result render(size_t size, const char *format, Args... args)
{
    std::vector<char> buffer(size + guard_bytes, guard);
    int n = fmt(buffer.data(), size, format, args...);
    for (size_t i = size; i < buffer.size(); ++i)
        EXPECT_EQ(buffer[i], guard)
            << "byte " << i << " of a " << size << "-byte buffer, " << format;
    if (std::memchr(buffer.data(), '\0', size) == nullptr) {
        ADD_FAILURE() << "no NUL inside " << size << " bytes for " << format;
        return {"", n};
    }
    return {buffer.data(), n};
}

template <typename T> struct Case {
    size_t size;
    const char *format;
    T value;
    const char *text;
    int result;
};

template <typename T, size_t N> void check(const Case<T> (&cases)[N])
{
    for (const auto &c : cases) {
        Result r = render(c.size, c.format, c.value);
        EXPECT_EQ(r.text, c.text) << c.format << " in " << c.size;
        EXPECT_EQ(r.value, c.result) << c.format << " in " << c.size;
    }
}

} // namespace

TEST(FormatBounded, RefusesMissingBufferSizeOrFormat)
{
    char buffer[8] = "zzzzzzz";
    EXPECT_EQ(fmt(nullptr, 8, "abc"), -1);
    EXPECT_EQ(fmt(buffer, 0, "abc"), -1);
    EXPECT_STREQ(buffer, "zzzzzzz");
    EXPECT_EQ(fmt(buffer, sizeof buffer, nullptr), -1);
    EXPECT_STREQ(buffer, "zzzzzzz");
}

TEST(FormatBounded, SizeOneHoldsOnlyTheTerminator)
{
    for (const char *format : {"", "x", "%d", "%s"}) {
        Result r = render(1, format, 5);
        EXPECT_EQ(r.text, "") << format;
        EXPECT_EQ(r.value, *format == '\0' ? 0 : -1) << format;
    }
}

// Plain text takes no argument; the one passed here is never read.
TEST(FormatBounded, PlainText)
{
    const Case<int> cases[] = {
        {4, "abc", 0, "abc", 3},  {4, "abcd", 0, "abc", -1}, {3, "abc", 0, "ab", -1},
        {10, "", 0, "", 0},       {10, "a*b", 0, "a*b", 3},  {10, "%5%", 0, "%", 1},
        {2, "%%", 0, "%", 1},     {2, "%%x", 0, "%", -1},    {10, "a%5", 0, "a", 1},
        {10, "%%%%", 0, "%%", 2},
    };
    check(cases);
}

TEST(FormatBounded, IntConversions)
{
    const Case<int> cases[] = {
        {6, "ab%dc", 12345, "ab123", -1},
        {6, "ab%d", 12345, "ab123", 5},
        {10, "%%%d", 7, "%7", 2},
        {10, "%-5d", 3, "3    ", 5},
        {10, "%c", 0, "", 0},
        {10, "a%cb", 0, "ab", 2},
        {10, "%.9d", 5, "000000005", 9},
        {10, "%.10d", 5, "", -1},
        {10, "%*d", 5, "", -1},
        {10, "ab%-*d", 5, "ab", -1},
        {10, "%5*d", 5, "", -1},
        {10, "%.5*d", 5, "", -1},
        {4096, "%1030d", 5, "", -1},
        {4096, "%.1025d", 5, "", -1},
        // Length letters and other stray characters go no further.
        {10, "%nd", 42, "42", 2},
        {10, "%ld", -42, "-42", 3},
        {10, "%hhd", 300, "300", 3},
        {10, "%zd", 42, "42", 2},
        {10, "%'d", 1234567, "1234567", 7},
    };
    check(cases);
    Result r = render(10, "%5$d", 42); // no argument but the next one is taken
    EXPECT_NE(r.text.find("42"), std::string::npos) << r.text;
    EXPECT_EQ(r.value, static_cast<int>(r.text.size()));
}

// Flags, width and precision reach the platform formatter unchanged.
TEST(FormatBounded, NumbersRenderLikeSnprintf)
{
    const char *formats[] = {"%d",  "%+d",  "% d", "%05d", "%-6d|", "%x",    "%#X",
                             "%#o", "%.3u", "%c",  "%.0d", "%8.3d", "%1000d"};
    for (const char *format : formats) {
        for (int value : {0, 65, -17, 2147483647}) {
            char expected[1100];
            std::snprintf(expected, sizeof expected, format, value);
            Result r = render(2048, format, value);
            EXPECT_EQ(r.text, expected) << format << " of " << value;
            EXPECT_EQ(r.value, static_cast<int>(std::strlen(expected))) << format;
        }
    }
    EXPECT_EQ(render(32, "%.2f|%e", 1.5, 0.25).text, "1.50|2.500000e-01");
}

TEST(FormatBounded, RenderingThatDoesNotFitIsRefused)
{
    Result r = render(4096, "x%.1000f", 1e300);
    EXPECT_EQ(r.text, "x");
    EXPECT_EQ(r.value, -1);
    EXPECT_EQ(render(4096, "%.1025f", 1.0).value, -1);
    EXPECT_EQ(render(4096, "%.1025p", static_cast<void *>(nullptr)).value, -1);
    // A rendering of 1023 characters fits.
    EXPECT_EQ(render(4096, "%1023d", 1).value, 1023);
    EXPECT_EQ(render(4096, "%1024d", 1).value, -1);
}

TEST(FormatBounded, ConversionTextIsLimited)
{
    // Sixty-three characters of conversion text are accepted, not sixty-four.
    std::string fits = "%" + std::string(61, '-') + "d";
    std::string too_long = "%" + std::string(62, '-') + "d";
    EXPECT_EQ(render(100, fits.c_str(), 7).text, "7");
    Result r = render(100, ("ab" + too_long).c_str(), 7);
    EXPECT_EQ(r.text, "ab");
    EXPECT_EQ(r.value, -1);
    std::string long_precision = "%." + std::string(70, '0') + "5d";
    EXPECT_EQ(render(100, long_precision.c_str(), 7).value, -1);
}

TEST(FormatBounded, StarPrecision)
{
    EXPECT_EQ(render(10, "%.*s", 2, "abcdef").text, "ab");
    Result r = render(10, "%.*d|", 3, 7);
    EXPECT_EQ(r.text, "007|");
    EXPECT_EQ(r.value, 4);
    EXPECT_EQ(render(10, "%.*d", 10, 7).value, -1);
    // A negative count widens to a huge one.
    EXPECT_EQ(render(4096, "%.*s", -1, "abc").value, -1);
    EXPECT_EQ(render(4096, "ab%.*d", -1, 7).text, "ab");
    // Digits after a precision never join it: the precision rendered is the
    // one checked against the room.
    EXPECT_EQ(render(10, "%.*0d", 9, 7).text, "000000007");
    EXPECT_EQ(render(10, "%.1n0d", 7).text, "7");
}

TEST(FormatBounded, StringConversions)
{
    const std::string eight(8, 's'), nine(9, 'n'), eleven = "abcdefghijk";
    const Case<const char *> cases[] = {
        // Without precision the text must leave one byte of room spare.
        {10, "%s", eight.c_str(), "ssssssss", 8},
        {10, "%s", nine.c_str(), "", -1},
        {10, "ab%s", "abcdef", "ababcdef", 8},
        {10, "ab%sc", "abcdefg", "ab", -1},
        {10, "%.9s", eleven.c_str(), "abcdefghi", 9},
        {10, "%.10s", eleven.c_str(), "", -1},
        {10, "%.3s", "ab", "ab", 2},
        {10, "%.s", nine.c_str(), "", -1},
        {10, "%.s", "abc", "abc", 3},
        {10, "%.0sx", "abc", "x", 1},
        {10, "%sx", nullptr, "x", 1},
        {10, "%.0sx", nullptr, "x", 1},
        {10, "%5s|", "ab", "ab|", 3},
        {10, "%-5s|", "ab", "ab|", 3},
    };
    check(cases);
}

TEST(FormatBounded, PrecisionCapIsRoomOr1024)
{
    const std::string text(2000, 't');
    EXPECT_EQ(render(1025, "%.1024s", text.c_str()).value, 1024);
    EXPECT_EQ(render(4096, "%.1024s", text.c_str()).value, 1024);
    EXPECT_EQ(render(4096, "%.1025s", text.c_str()).value, -1);
    EXPECT_EQ(render(1024, "%.1024s", text.c_str()).value, -1);
}

// Every size from 1 up: no byte at or past the size is touched, the output is
// the start of what a large buffer receives, and a count is its length.
TEST(FormatBounded, NeverTouchesBytesPastTheSize)
{
    using Call = int (*)(char *, size_t);
    const Call calls[] = {
        [](char *b, size_t n) { return fmt(b, n, "plain text that overflows"); },
        [](char *b, size_t n) { return fmt(b, n, "n=%d, %x!", -123456, 0xbeef); },
        [](char *b, size_t n) { return fmt(b, n, "[%-8d|%08d]", 42, -42); },
        [](char *b, size_t n) { return fmt(b, n, "user %s (%d)", "alice", 7); },
        [](char *b, size_t n) { return fmt(b, n, "%.5s/%.*s/%s", "abcdefg", 3, "xyz", "t"); },
        [](char *b, size_t n) { return fmt(b, n, "%c%c%%%c", 'a', 'b', 'c'); },
        [](char *b, size_t n) {
            return fmt(b, n, "%.2f and %p", 3.25, reinterpret_cast<void *>(0x1234));
        },
        [](char *b, size_t n) { return fmt(b, n, "ab%*dcd", 3, 4); },
        [](char *b, size_t n) { return fmt(b, n, "ab%1500d", 4); },
    };
    for (size_t i = 0; i < std::size(calls); ++i) {
        std::vector<char> large(4096);
        calls[i](large.data(), large.size());
        const std::string whole = large.data();
        for (size_t size = 1; size <= whole.size() + 3; ++size) {
            std::vector<char> buffer(size + guard_bytes, guard);
            int n = calls[i](buffer.data(), size);
            for (size_t j = size; j < buffer.size(); ++j)
                ASSERT_EQ(buffer[j], guard) << "case " << i << ", size " << size;
            ASSERT_NE(std::memchr(buffer.data(), '\0', size), nullptr)
                << "case " << i << ", size " << size;
            const std::string text = buffer.data();
            EXPECT_EQ(whole.compare(0, text.size(), text), 0) << "case " << i << ": " << text;
            if (n != -1)
                EXPECT_EQ(n, static_cast<int>(text.size())) << "case " << i << ", size " << size;
        }
    }
}
