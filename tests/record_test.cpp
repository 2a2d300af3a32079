// Record layout: complement-encoded secret, NUL, SCRAM field, NUL. Records and
// keys under test sit in heap blocks of exactly their size, so that the
// address sanitizer catches any read past the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "authdb.h"

using namespace std::string_literals;

namespace
{

bool within(std::string_view field, const std::vector<char> &bytes)
{
    return field.empty() || (field.data() >= bytes.data() &&
                             field.data() + field.size() <= bytes.data() + bytes.size());
}

} // namespace

// Whole records, one without its SCRAM part, fields of 1023 bytes and more,
// and damaged records: no NUL at all, no final NUL, bytes after the fields.
TEST(Record, SplitAndLoad)
{
    const std::string full(1023, 'f'), over(1024, 'o'), long_scram(3000, 's');
    // Record bytes, secret field, SCRAM field.
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"\x9e\x9d\x9c\0x\0"s, "\x9e\x9d\x9c", "x"},   {"\0"s, "", ""},
        {"\x9e\x9d\x9c\0"s, "\x9e\x9d\x9c", ""},       {"\0\0"s, "", ""},
        {full + '\0' + full + '\0', full, full},       {"abc", "abc", ""},
        {"x\0"s + long_scram + '\0', "x", long_scram}, {"ab\0xy"s, "ab", "xy"},
        {over + '\0' + "xyz\0"s, over, "xyz"},         {"ab\0xy\0zz\0"s, "ab", "xy"},
    };
    for (const auto &[bytes, apop, scram] : cases) {
        SCOPED_TRACE(testing::PrintToString(bytes.substr(0, 40)));
        std::vector<char> record(bytes.begin(), bytes.end());
        RecordFields fields = split_record(record.data(), record.size());
        EXPECT_EQ(fields.apop, apop);
        EXPECT_EQ(fields.scram, scram);
        EXPECT_TRUE(within(fields.apop, record) && within(fields.scram, record));
        // load_record keeps at most 1023 bytes of each field, NUL-terminated.
        AuthRecord loaded;
        std::memset(&loaded, 0x5a, sizeof loaded);
        load_record(fields, loaded);
        EXPECT_EQ(std::string(loaded.apop, loaded.apop_len + 1), apop.substr(0, 1023) + '\0');
        EXPECT_EQ(std::string(loaded.scram, loaded.scram_len + 1), scram.substr(0, 1023) + '\0');
    }
    const char byte = 'z';
    RecordFields empty = split_record(&byte, 0);
    EXPECT_TRUE(empty.apop.empty() && empty.scram.empty());
}

TEST(Record, Build)
{
    std::vector<char> out(1024, '\x5a');
    size_t len = 0;
    ASSERT_TRUE(build_record(out.data(), 16, "abc", 3, "x", &len));
    EXPECT_EQ(std::string(out.data(), len + 1), "\x9e\x9d\x9c\0x\0\x5a"s);
    ASSERT_TRUE(build_record(out.data(), 16, "", 0, "", &len));
    EXPECT_EQ(std::string(out.data(), len), "\0\0"s);
    // Every bit of the secret is flipped; the SCRAM field is carried over as is.
    ASSERT_TRUE(build_record(out.data(), 16, "p\0\x80\xff", 4, "s\x01\xfft", &len));
    EXPECT_EQ(std::string(out.data(), len), "\x8f\xff\x7f\0\0s\x01\xfft\0"s);

    // 99 + 921 + 2 bytes fit in exactly that many, and not in one fewer.
    const std::string secret(99, 'k'), big(921, 'c');
    std::fill(out.begin(), out.end(), '\x5a');
    EXPECT_FALSE(build_record(out.data(), 1021, secret.data(), secret.size(), big, &len));
    EXPECT_FALSE(build_record(out.data(), 1, "", 0, "", &len));
    EXPECT_EQ(std::count(out.begin(), out.end(), '\x5a'), 1024);
    EXPECT_TRUE(build_record(out.data(), 1022, secret.data(), secret.size(), big, &len));
    EXPECT_EQ(len, 1022u);
    EXPECT_EQ(out[1022], '\x5a');
}

TEST(Record, Keys)
{
    DBT key = make_key("bob");
    EXPECT_EQ(std::string(static_cast<char *>(key.data), key.size), "bob\0"s);
    EXPECT_EQ(make_key("").size, 1u);

    // A key's text ends at its first NUL, its size, or 1023 bytes.
    const std::pair<std::string, size_t> cases[] = {
        {"bob\0"s, 3}, {"bob", 3}, {"", 0}, {"ab\0cd"s, 2}, {std::string(2000, 'k'), 1023},
    };
    for (const auto &[bytes, length] : cases) {
        std::vector<char> block(bytes.begin(), bytes.end());
        char filler = 'z';
        DBT key{};
        key.data = block.empty() ? &filler : block.data();
        key.size = static_cast<u_int32_t>(block.size());
        EXPECT_EQ(key_length(key), length) << bytes.substr(0, 40);
    }
    DBT none{}; // no data at all
    EXPECT_EQ(key_length(none), 0u);
}
