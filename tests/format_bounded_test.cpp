// format_bounded: the printf subset that never writes past its buffer.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "authdb.h"

namespace
{

using Result = std::pair<std::string, int>; // text written, value returned

int fmt(char *buffer, size_t size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = format_bounded(buffer, size, format, args);
    va_end(args);
    return n;
}

// Formats into `size` bytes followed by guard bytes: the text must end inside
// the buffer and no guard byte may change.
template <typename... Args> Result render(size_t size, const char *format, Args... args)
{
    std::vector<char> buffer(size + 16, '\x5a');
    int n = fmt(buffer.data(), size, format, args...);
    for (size_t i = size; i < buffer.size(); ++i)
        EXPECT_EQ(buffer[i], '\x5a') << "byte " << i << " of " << size << " for " << format;
    const size_t len = strnlen(buffer.data(), size);
    EXPECT_LT(len, size) << "no NUL inside " << size << " bytes for " << format;
    return {std::string(buffer.data(), len), n};
}

template <typename T> struct Case {
    size_t size;
    const char *format;
    const char *text;
    int result;
    T value{};
};

template <typename T, size_t N> void check(const Case<T> (&cases)[N])
{
    for (const auto &c : cases)
        EXPECT_EQ(render(c.size, c.format, c.value), Result(c.text, c.result))
            << c.format << " in " << c.size;
}

} // namespace

TEST(FormatBounded, MissingArgumentsAndSizeOne)
{
    char buffer[8] = "zzzzzzz";
    EXPECT_EQ(fmt(nullptr, 8, "abc"), -1);
    EXPECT_EQ(fmt(buffer, 0, "abc"), -1);
    EXPECT_EQ(fmt(buffer, sizeof buffer, nullptr), -1);
    EXPECT_STREQ(buffer, "zzzzzzz");
    for (const char *format : {"", "x", "%d", "%s"})
        EXPECT_EQ(render(1, format, 5), Result("", *format == '\0' ? 0 : -1)) << format;
}

// Length letters, "n" and "$" never reach the platform formatter.
TEST(FormatBounded, TextAndIntConversions)
{
    const Case<int> fits[] = {
        {6, "ab%d", "ab123", 5, 12345},  {10, "%%%d", "%7", 2, 7}, {4, "abc", "abc", 3},
        {10, "%-5d", "3    ", 5, 3},     {10, "a%cb", "ab", 2, 0}, {10, "%c", "", 0, 0},
        {10, "%.9d", "000000005", 9, 5}, {10, "a*b", "a*b", 3},    {10, "", "", 0},
        {10, "%ld", "-42", 3, -42},      {10, "%nd", "42", 2, 42}, {10, "%5%", "%", 1},
        {10, "%hhd", "300", 3, 300},     {2, "%%", "%", 1},        {10, "a%5", "a", 1},
        {10, "%5$d", "   42", 5, 42},
    };
    const Case<int> refused[] = {
        {4, "abcd", "abc", -1},
        {3, "abc", "ab", -1},
        {2, "%%x", "%", -1},
        {6, "ab%dc", "ab123", -1, 12345},
        {10, "%.10d", "", -1, 5},
        {10, "%*d", "", -1, 5},
        {10, "%.5*d", "", -1, 5},
        {4096, "%1030d", "", -1, 5},
        {4096, "%.1025d", "", -1, 5},
        {4096, "%2147483647d", "", -1, 5}, // refused before it is padded out
    };
    check(fits);
    check(refused);
}

// Flags, width and precision reach the platform formatter unchanged.
TEST(FormatBounded, NumbersRenderLikeSnprintf)
{
    for (const char *format :
         {"%+d", "% d", "%05d", "%-6d|", "%#X", "%#o", "%.3u", "%.0d", "%8.3d", "%1000d"})
        for (int value : {0, -17, 2147483647}) {
            char expected[1100];
            int n = std::snprintf(expected, sizeof expected, format, value);
            EXPECT_EQ(render(2048, format, value), Result(expected, n)) << format << value;
        }
    EXPECT_EQ(render(32, "%.2f|%e", 1.5, 0.25), Result("1.50|2.500000e-01", 17));
}

TEST(FormatBounded, LimitsAndPrecisions)
{
    EXPECT_EQ(render(4096, "x%.1000f", 1e300), Result("x", -1));
    EXPECT_EQ(render(4096, "%1023d", 1).second, 1023);
    EXPECT_EQ(render(4096, "%1024d", 1).second, -1);
    EXPECT_EQ(render(4096, "%.1024d", 1).second, -1); // 1024 digits overflow the rendering
    // Up to sixty-three characters of conversion text.
    EXPECT_EQ(render(100, ("%" + std::string(61, '-') + "d").c_str(), 7), Result("7", 1));
    EXPECT_EQ(render(100, ("ab%" + std::string(62, '-') + "d").c_str(), 7), Result("ab", -1));
    EXPECT_EQ(render(100, ("%." + std::string(70, '0') + "5d").c_str(), 7).second, -1);
    // A precision may be as large as the room left, up to 1024.
    const std::string text(2000, 't');
    EXPECT_EQ(render(1025, "%.1024s", text.c_str()).second, 1024);
    EXPECT_EQ(render(1024, "%.1024s", text.c_str()).second, -1);
    EXPECT_EQ(render(4096, "%.1024s", text.c_str()).second, 1024);
    EXPECT_EQ(render(4096, "%.1025s", text.c_str()).second, -1);
    // A precision may come from the arguments.
    EXPECT_EQ(render(10, "%.*s", 2, "abcdef"), Result("ab", 2));
    EXPECT_EQ(render(10, "%.*d", 10, 7).second, -1);
    EXPECT_EQ(render(4096, "ab%.*s", -1, "abc"), Result("ab", -1)); // widens to a huge count
    // Digits after a precision never join it.
    EXPECT_EQ(render(10, "%.*0d", 9, 7), Result("000000007", 9));
    EXPECT_EQ(render(10, "%.1n0d", 7), Result("7", 1));
}

TEST(FormatBounded, StringConversions)
{
    const char *eight = "ssssssss", *nine = "nnnnnnnnn", *eleven = "abcdefghijk";
    // Without a precision the text must leave one byte of room spare.
    const Case<const char *> cases[] = {
        {10, "%s", "ssssssss", 8, eight},   {10, "%s", "", -1, nine},
        {10, "ab%sc", "ab", -1, "abcdefg"}, {10, "%.9s", "abcdefghi", 9, eleven},
        {10, "%.10s", "", -1, eleven},      {10, "%.3s", "ab", 2, "ab"},
        {10, "%.s", "", -1, nine},          {10, "%.s", "abc", 3, "abc"},
        {10, "%.0sx", "x", 1, "abc"},       {10, "%sx", "x", 1, nullptr},
        {10, "%.0sx", "x", 1, nullptr},     {10, "%5s|", "ab|", 3, "ab"},
    };
    check(cases);
}

// Every size from 1 up: nothing at or past the size changes, the text is the
// start of what a large buffer receives, and a count is its length.
TEST(FormatBounded, EverySize)
{
    using Call = Result (*)(size_t);
    const Call calls[] = {
        [](size_t n) { return render(n, "n=%d, %x [%-8d|%08d]!", -123456, 0xbeef, 42, -42); },
        [](size_t n) { return render(n, "%s %c%% %.5s/%.*s", "al", 'c', "abcdefg", 3, "xyz"); },
        [](size_t n) { return render(n, "%.2f and %p", 3.25, reinterpret_cast<void *>(0x1234)); },
        [](size_t n) { return render(n, "ab%*dcd", 3, 4); },
        [](size_t n) { return render(n, "ab%1500d", 4); },
    };
    for (size_t i = 0; i < std::size(calls); ++i) {
        const std::string whole = calls[i](4096).first;
        for (size_t size = 1; size <= whole.size() + 3; ++size) {
            const auto [text, n] = calls[i](size);
            EXPECT_EQ(whole.compare(0, text.size(), text), 0) << "case " << i << ": " << text;
            if (n != -1)
                EXPECT_EQ(n, static_cast<int>(text.size())) << "case " << i << ", size " << size;
        }
    }
}
