// A printf subset that never writes past the caller's buffer and reports with
// -1 every message that did not fit whole and every conversion it refuses.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "authdb.h"

namespace
{

enum class Reading { outside, before_point, after_point };

constexpr size_t conversion_max = 63; // characters of one conversion's text
constexpr size_t rendering_size = 1024;
constexpr size_t precision_cap = 1024;

struct Conversion {
    char text[conversion_max + 1];
    size_t len;
    Reading state;
    uint64_t precision;
    bool precision_given;
};

bool append(Conversion &conv, char c)
{
    if (conv.len >= conversion_max)
        return false;
    conv.text[conv.len++] = c;
    conv.text[conv.len] = '\0';
    return true;
}

bool precision_too_large(const Conversion &conv, size_t room)
{
    size_t cap = room < precision_cap ? room : precision_cap;
    return conv.precision_given && conv.precision > cap;
}

// Rebuilds the conversion for the platform formatter in the order it
// expects: flags, width, and the precision that was checked. Nothing else
// that the text collected reaches it: length letters, "n" or "$" could make
// it read or write arguments that were never passed, and digits after the
// precision would render a precision that was never checked. False for a
// width that can never fit the rendering area: the platform formatter would
// spend seconds padding it out before reporting it too long.
bool rendering_format(const Conversion &conv, char *out, size_t size)
{
    char flags[8];
    size_t flag_count = 0;
    char width[conversion_max];
    size_t width_len = 0;
    bool point = false;
    for (size_t i = 1; i + 1 < conv.len; ++i) {
        char c = conv.text[i];
        if (c == '.')
            point = true;
        else if (point)
            continue;
        else if ((c != '\0' && std::strchr("-+ #", c) != nullptr) || (c == '0' && width_len == 0)) {
            if (std::memchr(flags, c, flag_count) == nullptr)
                flags[flag_count++] = c;
        } else if (c >= '0' && c <= '9')
            width[width_len++] = c;
    }
    if (width_len > 4 || (width_len == 4 && std::memcmp(width, "1023", 4) > 0))
        return false;
    int n = std::snprintf(out, size, "%%%.*s%.*s", static_cast<int>(flag_count), flags,
                          static_cast<int>(width_len), width);
    size_t used = static_cast<size_t>(n);
    if (point && conv.precision_given)
        used += static_cast<size_t>(std::snprintf(out + used, size - used, ".%lu",
                                                  static_cast<unsigned long>(conv.precision)));
    else if (point)
        used += static_cast<size_t>(std::snprintf(out + used, size - used, "."));
    std::snprintf(out + used, size - used, "%c", conv.text[conv.len - 1]);
    return true;
}

} // namespace

int format_bounded(char *buffer, size_t size, const char *format, va_list args)
{
    if (buffer == nullptr || size == 0 || format == nullptr)
        return -1;
    size_t room = size - 1;
    char *out = buffer;
    if (room == 0) {
        *out = '\0';
        return *format == '\0' ? 0 : -1;
    }

    Conversion conv{};
    conv.state = Reading::outside;
    char rendering[rendering_size];
    char spec[128];

    for (const char *p = format;; ++p) {
        char c = *p;
        if (c == '\0') {
            *out = '\0';
            return static_cast<int>(size - 1 - room);
        }
        if (conv.state == Reading::outside) {
            if (c == '%') {
                conv.text[0] = '%';
                conv.text[1] = '\0';
                conv.len = 1;
                conv.state = Reading::before_point;
                conv.precision = 0;
                conv.precision_given = false;
            } else {
                *out++ = c;
                --room;
            }
        } else if (c >= '0' && c <= '9') {
            if (conv.state == Reading::after_point && !conv.precision_given) {
                uint64_t value = 0;
                for (; *p >= '0' && *p <= '9'; ++p) {
                    if (!append(conv, *p))
                        goto refuse;
                    value = value * 10 + static_cast<uint64_t>(*p - '0');
                    if (value > INT_MAX)
                        value = UINT64_MAX / 16; // too large for any conversion
                }
                --p;
                conv.precision = value;
                conv.precision_given = true;
            } else if (!append(conv, c)) {
                goto refuse;
            }
        } else if (c == '.') {
            if (!append(conv, c))
                goto refuse;
            conv.state = Reading::after_point;
        } else if (c == '*') {
            if (conv.state != Reading::after_point || conv.precision_given)
                goto refuse;
            // Widened with its sign, a negative value is a huge count.
            uint64_t value = static_cast<uint64_t>(static_cast<int64_t>(va_arg(args, int)));
            char digits[24];
            std::snprintf(digits, sizeof digits, "%lu", static_cast<unsigned long>(value));
            for (const char *d = digits; *d != '\0'; ++d)
                if (!append(conv, *d))
                    goto refuse;
            conv.precision = value;
            conv.precision_given = true;
        } else if (c == '%') {
            *out++ = '%';
            --room;
            conv.state = Reading::outside;
        } else if (std::strchr("diouxXceEfgGp", c) != nullptr) {
            if (precision_too_large(conv, room) || !append(conv, c))
                goto refuse;
            if (!rendering_format(conv, spec, sizeof spec))
                goto refuse;
            int rendered;
            if (std::strchr("eEfgG", c) != nullptr)
                rendered = std::snprintf(rendering, sizeof rendering, spec, va_arg(args, double));
            else if (c == 'p')
                rendered = std::snprintf(rendering, sizeof rendering, spec, va_arg(args, void *));
            else
                rendered = std::snprintf(rendering, sizeof rendering, spec, va_arg(args, int));
            if (rendered < 0 || static_cast<size_t>(rendered) >= sizeof rendering)
                goto refuse;
            for (const char *r = rendering; *r != '\0' && room > 0; ++r) {
                *out++ = *r;
                --room;
            }
            conv.state = Reading::outside;
        } else if (c == 's') {
            if (precision_too_large(conv, room))
                goto refuse;
            conv.state = Reading::outside;
            const char *text = va_arg(args, const char *);
            if (text == nullptr || (conv.precision_given && conv.precision == 0))
                continue;
            size_t len;
            if (conv.precision_given) {
                len = strnlen(text, static_cast<size_t>(conv.precision));
            } else {
                len = strnlen(text, room);
                if (len >= room)
                    goto refuse;
            }
            std::memcpy(out, text, len);
            out += len;
            room -= len;
        } else if (!append(conv, c)) {
            goto refuse;
        }

        if (room == 0) {
            *out = '\0';
            return p[1] == '\0' ? static_cast<int>(size - 1) : -1;
        }
    }

refuse:
    *out = '\0';
    return -1;
}
