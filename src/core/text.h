#pragma once

#include <QString>

/// Text rules shared by several layers. "Characters" here are user-perceived
/// characters (extended grapheme clusters), so "é" written with a combining
/// mark counts once and a CR LF pair is one line break.
namespace quarn::text {

/// White space and line breaks: the Unicode separators (Zs, Zl, Zp), tab,
/// LF, VT, FF, CR and NEL.
[[nodiscard]] bool isWhiteSpace(char32_t c);

/// The text without white space or line breaks at either end.
[[nodiscard]] QString trimmed(const QString &s);

/// Number of user-perceived characters.
[[nodiscard]] qsizetype graphemeCount(const QString &s);

/// The first `count` user-perceived characters of `s` (all of it when shorter).
[[nodiscard]] QString graphemePrefix(const QString &s, qsizetype count);

/// The last `count` user-perceived characters of `s` (all of it when shorter).
[[nodiscard]] QString graphemeSuffix(const QString &s, qsizetype count);

} // namespace quarn::text
