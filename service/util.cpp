#include "util.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <chrono>
#include <stdexcept>

namespace quarn::service {

std::int64_t nowMillis()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string base64url(std::string_view bytes)
{
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    out.reserve((bytes.size() * 4 + 2) / 3);
    std::size_t i = 0;
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned v = (byte(i) << 16) | (byte(i + 1) << 8) | byte(i + 2);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        const unsigned v = byte(i) << 16;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
    } else if (rest == 2) {
        const unsigned v = (byte(i) << 16) | (byte(i + 1) << 8);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
    }
    return out;
}

std::string secureRandomBytes(std::size_t count)
{
    std::string out(count, '\0');
    if (count > 0 && RAND_bytes(reinterpret_cast<unsigned char *>(out.data()), static_cast<int>(count)) != 1)
        throw std::runtime_error("secure random generator failed");
    return out;
}

std::string randomId(std::string_view prefix, std::size_t bytes)
{
    return std::string(prefix) + base64url(secureRandomBytes(bytes));
}

std::string newDeviceToken()
{
    return randomId("tok_mail_", 32);
}

std::string sha256(std::string_view data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    return std::string(reinterpret_cast<const char *>(digest), length);
}

std::string sha256Hex(std::string_view data)
{
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : sha256(data)) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

bool constantTimeEquals(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

bool isValidUtf8(std::string_view s)
{
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t extra = 0;
        char32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= s.size())
            return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
        if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000)
            || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return false;
        i += extra + 1;
    }
    return true;
}

std::size_t codePointCount(std::string_view s)
{
    std::size_t n = 0;
    for (const char c : s)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++n;
    return n;
}

std::string codePointPrefix(std::string_view s, std::size_t count)
{
    std::size_t seen = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            if (seen == count)
                return std::string(s.substr(0, i));
            ++seen;
        }
    }
    return std::string(s);
}

namespace {
bool isAsciiSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
constexpr std::string_view kIdeographicSpace = "\xE3\x80\x80";
} // namespace

std::string trimmed(std::string_view s)
{
    for (;;) {
        if (!s.empty() && isAsciiSpace(s.front()))
            s.remove_prefix(1);
        else if (s.starts_with(kIdeographicSpace))
            s.remove_prefix(kIdeographicSpace.size());
        else
            break;
    }
    for (;;) {
        if (!s.empty() && isAsciiSpace(s.back()))
            s.remove_suffix(1);
        else if (s.ends_with(kIdeographicSpace))
            s.remove_suffix(kIdeographicSpace.size());
        else
            break;
    }
    return std::string(s);
}

std::string asciiLower(std::string_view s)
{
    std::string out(s);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool isPlausibleAddress(std::string_view address)
{
    if (address.empty() || address.size() > 320)
        return false;
    for (const char c : address) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F)
            return false;
    }
    const auto at = address.find('@');
    if (at == std::string_view::npos || at == 0 || address.find('@', at + 1) != std::string_view::npos)
        return false;
    const auto domain = address.substr(at + 1);
    return domain.find('.') != std::string_view::npos && !domain.starts_with('.') && !domain.ends_with('.');
}

std::string domainOf(std::string_view address)
{
    const auto at = address.rfind('@');
    return at == std::string_view::npos ? std::string() : asciiLower(address.substr(at + 1));
}

std::string localPartOf(std::string_view address)
{
    const auto at = address.rfind('@');
    return std::string(at == std::string_view::npos ? address : address.substr(0, at));
}

std::string htmlEscape(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (const char c : s) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string percentEncode(std::string_view s)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '-' || u == '.'
            || u == '_' || u == '~') {
            out += c;
        } else {
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 15];
        }
    }
    return out;
}

} // namespace quarn::service
