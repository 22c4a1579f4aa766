#include "PlistText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace plist {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
    return s;
}

}  // namespace

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + std::int64_t(doe) - 719468;
}

void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = std::int64_t(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

bool digits(std::string_view s, std::size_t at, std::size_t n, int& out) {
    if (at + n > s.size()) return false;
    out = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        out = out * 10 + (s[i] - '0');
    }
    return true;
}

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::string_view decodeEntities(std::string_view text, std::string& out) {
    out.clear();
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char c = text[i];
        if (c != '&') {
            // The plain run up to the next reference, in one piece.
            std::size_t next = text.find('&', i);
            if (next == std::string_view::npos) next = text.size();
            out.append(text.data() + i, next - i);
            i = next;
            continue;
        }
        std::size_t semi = text.find(';', i + 1);
        if (semi == std::string_view::npos || semi - i > 12) {
            out += c;
            ++i;
            continue;
        }
        std::string_view name = text.substr(i + 1, semi - i - 1);
        bool done = true;
        if (name == "amp") out += '&';
        else if (name == "lt") out += '<';
        else if (name == "gt") out += '>';
        else if (name == "quot") out += '"';
        else if (name == "apos") out += '\'';
        else if (name.size() >= 2 && name[0] == '#') {
            bool hex = name[1] == 'x' || name[1] == 'X';
            std::string_view num = name.substr(hex ? 2 : 1);
            std::uint32_t cp = 0;
            bool ok = !num.empty();
            for (char d : num) {
                int v = (d >= '0' && d <= '9') ? d - '0' : hex && (d | 0x20) >= 'a' && (d | 0x20) <= 'f' ? (d | 0x20) - 'a' + 10 : -1;
                if (v < 0 || cp > 0x10FFFF) {
                    ok = false;
                    break;
                }
                cp = cp * (hex ? 16 : 10) + std::uint32_t(v);
            }
            if (ok && cp > 0 && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF)) appendUtf8(out, cp);
            else done = false;
        } else {
            done = false;
        }
        if (done) {
            i = semi + 1;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

std::optional<std::int64_t> parseInteger(std::string_view text) {
    std::string_view s = trimmed(text);
    if (s.empty()) return std::nullopt;
    bool negative = false;
    if (s[0] == '-' || s[0] == '+') {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        std::uint64_t next = value * 10 + std::uint64_t(c - '0');
        if (next / 10 != value) return std::nullopt;  // overflow
        value = next;
    }
    if (negative) {
        if (value > std::uint64_t(INT64_MAX) + 1) return std::nullopt;
        return std::int64_t(0 - value);
    }
    // Unsigned 64-bit values written by some tools keep their bits.
    return std::int64_t(value);
}

std::optional<double> parseReal(std::string_view text) {
    std::string_view s = trimmed(text);
    if (s.empty() || s.size() > 64) return std::nullopt;
    char buf[65];
    std::memcpy(buf, s.data(), s.size());
    buf[s.size()] = '\0';
    char* end = nullptr;
    double d = std::strtod(buf, &end);
    if (end != buf + s.size()) return std::nullopt;
    return d;
}

std::optional<Date> parseDate(std::string_view text) {
    std::string_view s = trimmed(text);
    int y, mo, d, h = 0, mi = 0, sec = 0;
    if (!digits(s, 0, 4, y) || s.size() < 10 || s[4] != '-' || !digits(s, 5, 2, mo) || s[7] != '-' || !digits(s, 8, 2, d)) return std::nullopt;
    std::size_t at = 10;
    if (at < s.size() && s[at] == 'T') {
        if (!digits(s, 11, 2, h) || s.size() < 19 || s[13] != ':' || !digits(s, 14, 2, mi) || s[16] != ':' || !digits(s, 17, 2, sec)) return std::nullopt;
        at = 19;
    }
    if (at < s.size() && s[at] == 'Z') ++at;
    if (at != s.size()) return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60) return std::nullopt;
    std::int64_t days = daysFromCivil(y, unsigned(mo), unsigned(d));
    return Date{double(days * 86400 + h * 3600 + mi * 60 + sec)};
}

std::optional<std::string_view> decodeBase64(std::string_view text, std::string& out) {
    out.clear();
    std::uint32_t acc = 0;
    int bits = 0;
    bool padding = false;
    for (char c : text) {
        if (isSpace(c)) continue;
        if (c == '=') {
            padding = true;
            continue;
        }
        int v = base64Value(c);
        if (v < 0 || padding) return std::nullopt;
        acc = (acc << 6) | std::uint32_t(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += char((acc >> bits) & 0xFF);
        }
    }
    return std::string_view(out);
}

std::string formatDate(Date d) {
    double t = std::floor(d.secondsSince1970);
    if (!std::isfinite(t)) t = 0;
    // Years 0000 to 9999: the only ones parseDate reads back, and it keeps
    // the conversion to an integer defined (binary files can hold any double).
    t = std::clamp(t, -62167219200.0, 253402300799.0);
    auto secs = std::int64_t(t);
    std::int64_t days = secs >= 0 ? secs / 86400 : (secs - 86399) / 86400;
    std::int64_t rem = secs - days * 86400;
    std::int64_t y;
    unsigned m, dd;
    civilFromDays(days, y, m, dd);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02d:%02d:%02dZ", (long long)y, m, dd, int(rem / 3600), int(rem / 60 % 60), int(rem % 60));
    return buf;
}

std::string encodeBase64(std::string_view bytes) {
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        std::uint32_t v = (std::uint8_t(bytes[i]) << 16) | (std::uint8_t(bytes[i + 1]) << 8) | std::uint8_t(bytes[i + 2]);
        out += table[v >> 18];
        out += table[(v >> 12) & 63];
        out += table[(v >> 6) & 63];
        out += table[v & 63];
    }
    if (i < bytes.size()) {
        std::uint32_t v = std::uint8_t(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= std::uint8_t(bytes[i + 1]) << 8;
        out += table[v >> 18];
        out += table[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? table[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

namespace {

// XML 1.0 holds no control character but tab, line feed and carriage
// return, not even as a reference.
bool outsideXml(unsigned char c) { return c < 0x20 && c != '\t' && c != '\n' && c != '\r'; }

constexpr char32_t kControlBase = 0xF000;

}  // namespace

void appendEscaped(std::string& out, std::string_view text) {
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        // Readers turn a bare carriage return into a line feed.
        case '\r': out += "&#13;"; break;
        default:
            if (outsideXml(std::uint8_t(c))) appendUtf8(out, kControlBase + std::uint8_t(c));
            else out += c;
        }
    }
}

std::string withControlCharacters(std::string_view text) {
    std::string out;
    std::size_t from = 0;
    // U+F000 to U+F01F are EF 80 80 to EF 80 9F.
    for (std::size_t at = text.find("\xEF\x80"); at != std::string_view::npos && at + 2 < text.size(); at = text.find("\xEF\x80", at + 1)) {
        const unsigned char c = std::uint8_t(text[at + 2]) - 0x80;
        if (!outsideXml(c)) continue;
        out.append(text, from, at - from);
        out += char(c);
        from = at + 3;
    }
    if (from == 0) return std::string(text);
    out.append(text, from);
    return out;
}

}  // namespace plist
