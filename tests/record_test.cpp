// Record layout: complement-encoded secret, NUL, SCRAM field, NUL.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "authdb.h"

using namespace std::string_literals;

namespace
{

// Bytes in a heap block of exactly their size, so that a read past the end is
// caught by the address sanitizer.
std::vector<char> exact(const std::string &bytes)
{
    return std::vector<char>(bytes.begin(), bytes.end());
}

bool within(std::string_view field, const std::vector<char> &bytes)
{
    const char *begin = bytes.data(), *end = bytes.data() + bytes.size();
    return field.empty() || (field.data() >= begin && field.data() + field.size() <= end);
}

} // namespace

TEST(Record, ComplementEncodeFlipsEveryBit)
{
    char out[3];
    complement_encode(out, "abc", 3);
    EXPECT_EQ(std::string(out, 3), "\x9e\x9d\x9c"s);
    for (int b = 0; b < 256; ++b) {
        const char in = static_cast<char>(b);
        char encoded, decoded;
        complement_encode(&encoded, &in, 1);
        complement_encode(&decoded, &encoded, 1);
        EXPECT_EQ(static_cast<unsigned char>(encoded), 0xff ^ b);
        EXPECT_EQ(decoded, in);
    }
}

TEST(Record, SplitShapes)
{
    const struct {
        std::string bytes;
        std::string apop;
        std::string scram;
    } cases[] = {
        {"\x9e\x9d\x9c\0x\0"s, "\x9e\x9d\x9c", "x"},
        {"\x9e\x9d\x9c\0"s, "\x9e\x9d\x9c", ""},
        {"\0"s, "", ""},
        {"\0\0"s, "", ""},
        {"\0x\0"s, "", "x"},
        // Damaged records: no NUL at all, no final NUL, bytes after the fields.
        {"abc", "abc", ""},
        {"ab\0xy"s, "ab", "xy"},
        {"\0xyz"s, "", "xyz"},
        {"ab\0xy\0zz\0"s, "ab", "xy"},
    };
    for (const auto &c : cases) {
        std::vector<char> record = exact(c.bytes);
        RecordFields fields = split_record(record.data(), record.size());
        EXPECT_EQ(fields.apop, c.apop) << testing::PrintToString(c.bytes);
        EXPECT_EQ(fields.scram, c.scram) << testing::PrintToString(c.bytes);
        EXPECT_TRUE(within(fields.apop, record) && within(fields.scram, record));
    }
    const char byte = 'z';
    RecordFields empty = split_record(&byte, 0);
    EXPECT_TRUE(empty.apop.empty() && empty.scram.empty());
}

TEST(Record, LoadCutsFieldsTo1023Bytes)
{
    const struct {
        size_t apop;
        size_t scram;
    } sizes[] = {{0, 0}, {3, 1}, {1023, 1023}, {1024, 5}, {7, 1024}, {3000, 2000}};
    for (const auto &s : sizes) {
        std::vector<char> record =
            exact(std::string(s.apop, 'p') + '\0' + std::string(s.scram, 's') + '\0');
        AuthRecord loaded;
        std::memset(&loaded, 0x5a, sizeof loaded);
        load_record(split_record(record.data(), record.size()), loaded);
        const size_t apop = std::min<size_t>(s.apop, 1023), scram = std::min<size_t>(s.scram, 1023);
        EXPECT_EQ(loaded.apop_len, apop);
        EXPECT_EQ(loaded.scram_len, scram);
        EXPECT_EQ(std::string(loaded.apop), std::string(apop, 'p'));
        EXPECT_EQ(std::string(loaded.scram), std::string(scram, 's'));
    }
}

TEST(Record, BuildWritesEncodedSecretAndScram)
{
    char out[16];
    std::memset(out, 0x5a, sizeof out);
    size_t len = 0;
    ASSERT_TRUE(build_record(out, sizeof out, "abc", 3, "x", &len));
    EXPECT_EQ(len, 6u);
    EXPECT_EQ(std::string(out, len), "\x9e\x9d\x9c\0x\0"s);
    EXPECT_EQ(out[len], '\x5a');

    ASSERT_TRUE(build_record(out, sizeof out, "", 0, "", &len));
    EXPECT_EQ(std::string(out, len), "\0\0"s);

    // The SCRAM field is carried over byte for byte, and splitting gives it back.
    const std::string_view scram("s\x01\xfft", 4);
    ASSERT_TRUE(build_record(out, sizeof out, "pw", 2, scram, &len));
    std::vector<char> record(out, out + len);
    RecordFields fields = split_record(record.data(), record.size());
    EXPECT_EQ(fields.apop, "\x8f\x88");
    EXPECT_EQ(fields.scram, scram);
}

TEST(Record, BuildRefusesWhatDoesNotFit)
{
    const std::string secret(99, 'k'), scram(921, 'c');
    std::vector<char> out(1024, '\x5a');
    size_t len = 0;
    // 99 + 921 + 2 = 1022 bytes: fits in exactly that many.
    EXPECT_TRUE(build_record(out.data(), 1022, secret.data(), secret.size(), scram, &len));
    EXPECT_EQ(len, 1022u);
    EXPECT_EQ(out[1022], '\x5a');

    std::fill(out.begin(), out.end(), '\x5a');
    len = 77;
    EXPECT_FALSE(build_record(out.data(), 1021, secret.data(), secret.size(), scram, &len));
    EXPECT_EQ(std::count(out.begin(), out.end(), '\x5a'), 1024);
    EXPECT_FALSE(build_record(out.data(), 1, "", 0, "", &len));
}

TEST(Record, MakeKeyIncludesTheNul)
{
    const char name[] = "bob";
    datum key = make_key(name);
    EXPECT_EQ(key.dsize, 4);
    EXPECT_EQ(std::string(static_cast<char *>(key.dptr), 4), "bob\0"s);
    EXPECT_EQ(make_key("").dsize, 1);
}

TEST(Record, KeyTextStaysInsideKeyAndBuffer)
{
    const struct {
        std::string bytes;
        size_t out_size;
        const char *text;
    } cases[] = {
        {"bob\0"s, 16, "bob"},  {"bob", 16, "bob"}, // no NUL inside the key's size
        {"ab\0cd"s, 16, "ab"},  {"", 16, ""},          {"averyverylongusername\0"s, 6, "avery"},
        {"abcdef", 6, "abcde"}, {"abcde", 6, "abcde"}, {"x", 1, ""},
    };
    for (const auto &c : cases) {
        std::vector<char> bytes = exact(c.bytes);
        char filler = 'z';
        datum key{bytes.empty() ? &filler : bytes.data(), static_cast<int>(bytes.size())};
        std::vector<char> out(c.out_size + 8, '\x5a');
        key_text(key, out.data(), c.out_size);
        EXPECT_STREQ(out.data(), c.text) << testing::PrintToString(c.bytes);
        EXPECT_EQ(std::count(out.begin() + static_cast<long>(c.out_size), out.end(), '\x5a'), 8);
    }
    char out[8] = "zzzzzzz";
    key_text(datum{const_cast<char *>("abc"), -1}, out, sizeof out);
    EXPECT_STREQ(out, "");
}
