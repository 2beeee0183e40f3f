#pragma once

#include <cstdint>
#include <string>
#include <string_view>

/// Small helpers of the reference service: clock, random identifiers, hashing
/// and the few text rules its validation needs.
namespace quarn::service {

/// Milliseconds since 1970-01-01 UTC, the unit of every time on the wire.
[[nodiscard]] std::int64_t nowMillis();

/// base64url without padding (43 characters for 32 bytes).
[[nodiscard]] std::string base64url(std::string_view bytes);

/// `count` bytes from the operating system's secure generator; throws when it fails,
/// so that no identifier or token is ever made from weaker randomness.
[[nodiscard]] std::string secureRandomBytes(std::size_t count);

/// `prefix` followed by base64url of `bytes` random bytes.
[[nodiscard]] std::string randomId(std::string_view prefix, std::size_t bytes = 16);

/// A device token: "tok_mail_" + 43 base64url characters.
[[nodiscard]] std::string newDeviceToken();

/// Raw SHA-256 digest (32 bytes).
[[nodiscard]] std::string sha256(std::string_view data);

/// Lower-case hex of SHA-256: how tokens and codes are kept at rest.
[[nodiscard]] std::string sha256Hex(std::string_view data);

/// Byte comparison whose time does not depend on where the texts differ.
[[nodiscard]] bool constantTimeEquals(std::string_view a, std::string_view b);

/// True when `s` is well-formed UTF-8.
[[nodiscard]] bool isValidUtf8(std::string_view s);

/// Number of code points of a well-formed UTF-8 text.
[[nodiscard]] std::size_t codePointCount(std::string_view s);

/// The first `count` code points of a well-formed UTF-8 text.
[[nodiscard]] std::string codePointPrefix(std::string_view s, std::size_t count);

/// Removes ASCII white space and U+3000 (ideographic space) at both ends.
[[nodiscard]] std::string trimmed(std::string_view s);

/// ASCII lower case; other bytes unchanged.
[[nodiscard]] std::string asciiLower(std::string_view s);

/// A plausible mail address: one "@", non-empty local part, a dot in the domain,
/// no white space or control characters, at most 320 bytes.
[[nodiscard]] bool isPlausibleAddress(std::string_view address);

/// The domain of an address (after the last "@"), lower-cased.
[[nodiscard]] std::string domainOf(std::string_view address);

/// The local part of an address (before the last "@").
[[nodiscard]] std::string localPartOf(std::string_view address);

/// Text escaped for HTML element content and attribute values.
[[nodiscard]] std::string htmlEscape(std::string_view s);

/// Percent-encoding of a query component (RFC 3986 unreserved characters kept).
[[nodiscard]] std::string percentEncode(std::string_view s);

} // namespace quarn::service
