#include "base/text.hpp"

#include <cstdio>
#include <cstring>

namespace zorvik::text {

std::string fill(std::string_view tmpl, std::initializer_list<std::string_view> args) {
    std::string out;
    out.reserve(tmpl.size() + 32);
    auto next = args.begin();
    for (std::size_t i = 0; i < tmpl.size(); ++i) {
        if (tmpl[i] == '{' && i + 1 < tmpl.size() && tmpl[i + 1] == '}' && next != args.end()) {
            out.append(*next++);
            ++i;
        } else {
            out.push_back(tmpl[i]);
        }
    }
    return out;
}

std::string os_error(int err) {
    char buf[256];
    // GNU strerror_r returns the description, which may not live in buf.
    const char* desc = strerror_r(err, buf, sizeof buf);
    return std::string(desc) + " (os error " + std::to_string(err) + ")";
}

char32_t next_code_point(std::string_view s, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(s[i]);
    const std::size_t len = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
    if (len == 0 || s.size() - i < len) {
        ++i;
        return kMalformed;
    }
    char32_t c = len == 1 ? lead : lead & (0x7Fu >> len);
    for (std::size_t k = 1; k < len; ++k) {
        const auto cont = static_cast<unsigned char>(s[i + k]);
        if ((cont >> 6) != 2) {
            ++i;
            return kMalformed;
        }
        c = (c << 6) | (cont & 0x3Fu);
    }
    constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kShortest[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++i;
        return kMalformed;
    }
    i += len;
    return c;
}

bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size())
        if (next_code_point(s, i) == kMalformed) return false;
    return true;
}

std::optional<std::uint64_t> parse_count(std::string_view t) {
    std::size_t i = t.size() > 0 && t[0] == '+' ? 1 : 0;
    if (i == t.size()) return std::nullopt;
    std::uint64_t v = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9') return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(t[i] - '0');
        if (v > (UINT64_MAX - digit) / 10) return std::nullopt;
        v = v * 10 + digit;
    }
    return v;
}

std::string dec(std::uint64_t v) { return std::to_string(v); }

std::string dec(format::u128 v) {
    if (v == 0) return "0";
    char buf[40];
    char* p = buf + sizeof buf;
    while (v != 0) {
        *--p = static_cast<char>('0' + static_cast<int>(v % 10));
        v /= 10;
    }
    return std::string(p, buf + sizeof buf);
}

std::string fixed(double v, int digits) {
    char buf[512];
    std::snprintf(buf, sizeof buf, "%.*f", digits, v);
    return buf;
}

std::string hex(std::span<const unsigned char> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(2 * bytes.size(), '0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 15];
    }
    return out;
}

}  // namespace zorvik::text
