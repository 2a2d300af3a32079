// libFuzzer entry points, one per binary (FUZZ_ENTRY names it): the bounded
// formatter, the printable rendering, the record and key readers, and the
// journal's reader. Each checks what its function promises and aborts when a
// promise is broken.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <iterator>
#include <string>
#include <unistd.h>
#include <string_view>
#include <vector>

#include "authdb.h"

#define CHECK(promise)                                                                             \
    ((promise) ? void() : (std::fprintf(stderr, "broken: %s\n", #promise), std::abort()))

namespace
{

constexpr size_t value_max = 6;
enum class Value { integer, real, text };
Value types[value_max]; // what the current format reads, in order
size_t value_count, value_seed;

const int integers[] = {0, 7, -1, 2, 1023, 1024, 1025, INT_MAX, INT_MIN, 'A', -42};
const double reals[] = {0.0, 3.25, -1.5, 1e300, -1e-300, HUGE_VAL, NAN, 0.1};
const std::string long_text(2000, 'L');
const char *const texts[] = {nullptr,          "", "abc", "%s%d%*.n", long_text.c_str() + 977,
                             long_text.c_str()};

int format_values(char *buffer, size_t size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = format_bounded(buffer, size, format, args);
    va_end(args);
    return n;
}

// Reading a value as another type than it was passed with is undefined, and
// the format decides which types are read. So the format is scanned first as
// the formatter reads it (one int per "*" inside a conversion, then one value
// per conversion), and the call passes exactly those types, drawn from a fixed
// stock. The formatter stops at its first refusal, so it reads a prefix of
// what was passed. A char pointer serves "%p" too: C lets it be read as void *.
template <typename... Values>
int call(char *buffer, size_t size, const char *format, Values... values)
{
    constexpr size_t i = sizeof...(Values);
    if constexpr (i < value_max) {
        const size_t k = value_seed + i;
        if (i < value_count && types[i] == Value::integer)
            return call(buffer, size, format, values..., integers[k % std::size(integers)]);
        if (i < value_count && types[i] == Value::real)
            return call(buffer, size, format, values..., reals[k % std::size(reals)]);
        if (i < value_count)
            return call(buffer, size, format, values..., texts[k % std::size(texts)]);
    }
    return format_values(buffer, size, format, values...);
}

// Cuts the format before a value past value_max, and before a fifth digit of
// a width: such a width is refused anyway, but glibc first pads it out, which
// takes up to seconds.
void scan(std::string &format)
{
    size_t width = 0;
    value_count = 0;
    bool inside = false, point = false;
    for (size_t i = 0; i < format.size(); ++i) {
        const char c = format[i];
        if (!inside || c == '%') {
            inside = !inside && c == '%';
            point = false;
            width = 0;
            continue;
        }
        point = point || c == '.';
        const bool wide = c >= '0' && c <= '9' && !point && (width > 0 || c != '0') && ++width > 4;
        const size_t kind = std::string_view("*diouxXceEfgGsp").find(c);
        if (wide || (kind != std::string_view::npos && value_count == value_max)) {
            format.resize(i);
            break;
        }
        if (kind == std::string_view::npos)
            continue;
        types[value_count++] = kind < 8 ? Value::integer : kind < 13 ? Value::real : Value::text;
        inside = c == '*';
    }
}

std::string render(const std::string &format, size_t size, int &result)
{
    std::vector<char> buffer(size + 32, '\x5a'); // 32 guard bytes
    result = call(buffer.data(), size, format.c_str());
    CHECK(std::all_of(buffer.data() + size, buffer.data() + buffer.size(),
                      [](char b) { return b == '\x5a'; }));
    CHECK(size > 0 || result == -1);
    const size_t len = strnlen(buffer.data(), size);
    CHECK(size == 0 || len < size);
    CHECK(result == -1 || static_cast<size_t>(result) == len);
    return std::string(buffer.data(), len);
}

// Input: two bytes of buffer size (0 to 4095), one that picks the values, the format.
[[maybe_unused]] void fuzz_format(const uint8_t *data, size_t size)
{
    if (size < 3)
        return;
    const char *text = reinterpret_cast<const char *>(data + 3);
    std::string format(text, strnlen(text, size - 3));
    scan(format);
    value_seed = data[2];
    const auto buffer_size = static_cast<size_t>(data[0] | (data[1] & 0x0f) << 8);
    // A smaller buffer holds a start of what a large one receives, and all of
    // it when the output ended with room to spare.
    int n, whole_n;
    const std::string part = render(format, buffer_size, n), whole = render(format, 8192, whole_n);
    CHECK(whole.compare(0, part.size(), part) == 0);
    CHECK(n == -1 || static_cast<size_t>(n) + 1 == buffer_size || (whole_n == n && whole == part));
}

std::string item(unsigned char b)
{
    static const char letters[] = "0\0\0\0\0\0\0abtnv\0r"; // short escapes of 0x00 to 0x0d
    static const char digits[] = "0123456789abcdef";
    if (b >= 0x20 && b <= 0x7e)
        return std::string(1, static_cast<char>(b));
    if (b <= 0x0d && letters[b] != '\0')
        return {'\\', letters[b]};
    std::string hex = "\\0x";
    if (b >= 0x10)
        hex += digits[b >> 4];
    return hex + digits[b & 15];
}

[[maybe_unused]] void fuzz_printable(const uint8_t *data, size_t size)
{
    std::string expected;
    int budget = 1023;
    for (size_t i = 0; i < size; ++i) {
        const std::string next = item(data[i]);
        const int cost = next.size() <= 2 ? static_cast<int>(next.size()) : 5;
        if (cost > budget)
            break;
        expected += next;
        budget -= cost;
    }
    const char *text = printable(data, static_cast<int>(size));
    CHECK(text != nullptr && std::strlen(text) <= 1023 && expected == text);
    CHECK(*printable(data, -1 - static_cast<int>(size)) == '\0');
}

[[maybe_unused]] void fuzz_record(const uint8_t *data, size_t size)
{
    const auto *bytes = reinterpret_cast<const char *>(data);
    const std::string_view all(bytes, size);
    // A field starts at `at`, holds no NUL, and ends at a NUL or the record's end.
    auto field = [&](std::string_view f, size_t at) {
        return f.empty() ||
               (at <= size && f.data() == bytes + at && f.size() <= size - at &&
                f.find('\0') == f.npos && (at + f.size() == size || all[at + f.size()] == '\0'));
    };
    const RecordFields fields = split_record(bytes, size);
    CHECK(field(fields.apop, 0) && field(fields.scram, fields.apop.size() + 1));
    AuthRecord record;
    load_record(fields, record);
    // Each field loaded whole or cut to 1023 bytes, NUL-terminated.
    CHECK(std::string_view(record.apop, record.apop_len + 1) ==
          std::string(fields.apop.substr(0, field_size - 1)) + '\0');
    CHECK(std::string_view(record.scram, record.scram_len + 1) ==
          std::string(fields.scram.substr(0, field_size - 1)) + '\0');

    DBT key{};
    key.data = const_cast<char *>(bytes);
    key.size = static_cast<u_int32_t>(size);
    const size_t len = key_length(key);
    // The key ends at its first NUL or its size, or is cut at 1023 bytes or more.
    CHECK(len <= size && all.substr(0, len).find('\0') == all.npos &&
          (len == size || all[len] == '\0' || len >= 1023));
}

// A journal as the input says, beside a small database: settled under the
// exclusive lock, it leaves the file as it was, or, when it is sealed (the
// right checksum and the file's id, which the fuzzer adds on request),
// writes only within the file's old size and leaves that size. The layout:
// a 64-byte header (magic, page size, count, old and new size, the file's id,
// a checksum), then per page an entry of 24 bytes and perhaps an old image.
std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

[[maybe_unused]] void fuzz_journal(const uint8_t *data, size_t size)
{
    static const std::string folder = [] {
        char pattern[] = "/tmp/tolmark-fuzz.XXXXXX";
        return std::string(mkdtemp(pattern));
    }();
    static const std::string db = folder + "/fuzz.db", journal = folder + "/fuzz.journal";
    static const std::string pristine = [&] {
        DB *made = nullptr;
        CHECK(db_create(&made, nullptr, 0) == 0 &&
              made->open(made, nullptr, db.c_str(), nullptr, DB_HASH, DB_CREATE, 0600) == 0);
        for (int i = 0; i < 200; ++i) {
            std::string k = "user" + std::to_string(i), v(40, 'v');
            DBT key{}, value{};
            key.data = k.data(), key.size = static_cast<u_int32_t>(k.size() + 1);
            value.data = v.data(), value.size = static_cast<u_int32_t>(v.size());
            CHECK(made->put(made, nullptr, &key, &value, 0) == 0);
        }
        CHECK(made->close(made, 0) == 0);
        atexit([] {
            unlink(db.c_str());
            unlink(journal.c_str());
            rmdir(folder.c_str());
        });
        return slurp(db);
    }();
    std::string bytes(reinterpret_cast<const char *>(data), size);
    const bool sealed = size >= 64 && (data[63] & 1) != 0;
    if (sealed) {
        memcpy(bytes.data(), "tolmjrn1", 8);
        pristine.copy(bytes.data() + 32, 20, 52); // the file's id
        memset(bytes.data() + 56, 0, 8);
        const auto *b = reinterpret_cast<const unsigned char *>(bytes.data());
        uint64_t sum = journal_sum(journal_sum(journal_sum_seed, b, 64), b + 64, size - 64);
        memcpy(bytes.data() + 56, &sum, 8);
    }
    std::ofstream(db, std::ios::binary | std::ios::trunc) << pristine;
    std::ofstream(journal, std::ios::binary | std::ios::trunc) << bytes;
    CHECK(chmod(journal.c_str(), 0600) == 0); // only a private journal is read
    int fd = open(db.c_str(), O_RDONLY | O_CLOEXEC);
    CHECK(fd >= 0);
    JournalState state = settle_journal(fd, true, db.c_str(), journal.c_str());
    close(fd);
    CHECK(state == JournalState::clean || state == JournalState::unrepaired);
    uint64_t old_size = 0;
    if (size >= 24)
        memcpy(&old_size, bytes.data() + 16, 8);
    // A repair that fails midway ends the run: what it left is no promise.
    const std::string after = slurp(db);
    CHECK(state == JournalState::unrepaired || after == pristine ||
          (sealed && after.size() == old_size));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FUZZ_ENTRY(data, size);
    return 0;
}
