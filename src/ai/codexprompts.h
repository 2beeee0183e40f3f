#pragma once

#include "model/records.h"

#include <QByteArray>
#include <QList>
#include <QString>

/// What the client tells the Codex CLI and what it accepts back: the three
/// prompts, the two output schemas and the checks of the result files. Pure
/// functions: no file, process or clock is touched here, so the work folder,
/// the run and the size check before reading stay with `CodexRunner`.
///
/// All lengths count user-perceived characters (grapheme clusters), so a cut
/// never splits an accented letter or an emoji.
namespace quarn::codexprompts {

/// Messages of a conversation that a triage looks at (the most recent ones).
inline constexpr qsizetype kTriageMessageLimit = 40;
/// Characters of the joined transcript that a triage keeps (its end).
inline constexpr qsizetype kTriageTranscriptLimit = 60'000;
/// Characters of a new message body that a subject suggestion keeps (its end).
inline constexpr qsizetype kSubjectBodyLimit = 30'000;
/// Messages of an AI conversation that a chat turn looks at (the most recent ones).
inline constexpr qsizetype kChatMessageLimit = 24;
/// Characters of each chat message that a chat turn keeps (its beginning).
inline constexpr qsizetype kChatMessageContentLimit = 8'000;
/// Characters of the joined chat history that a chat turn keeps (its end).
inline constexpr qsizetype kChatTranscriptLimit = 80'000;

/// Largest result files read back, in bytes; a larger file is refused unread.
inline constexpr qint64 kTriageResultByteLimit = 65'536;
inline constexpr qint64 kSubjectResultByteLimit = 4'096;
inline constexpr qint64 kChatResultByteLimit = 65'536;

/// The triage prompt for a conversation: the instruction, its subject and
/// status, and the last messages fenced off as untrusted data.
[[nodiscard]] QString triagePrompt(const ConversationDetail &conversation);

/// The subject prompt for the body of a new message (the body is not trimmed).
[[nodiscard]] QString subjectPrompt(const QString &body);

/// The chat prompt for an AI conversation's messages, oldest first, the
/// user's new message last.
[[nodiscard]] QString chatPrompt(const QList<AIChatMessage> &messages);

/// Content of "insight.schema.json" (UTF-8, no final line feed).
[[nodiscard]] QByteArray triageSchema();

/// Content of "subject.schema.json" (UTF-8, no final line feed).
[[nodiscard]] QByteArray subjectSchema();

/// Decodes a triage result file's bytes and applies the acceptance rules.
/// Throws `CodexRunnerError::invalidOutput()` for anything not acceptable.
[[nodiscard]] AiInsight acceptTriage(const QByteArray &resultBytes);

/// Decodes a subject result file's bytes and returns the trimmed subject.
/// Throws `CodexRunnerError::invalidOutput()` for anything not acceptable.
[[nodiscard]] QString acceptSubject(const QByteArray &resultBytes);

/// Decodes a chat result file's bytes as UTF-8 and returns the trimmed reply.
/// Throws `CodexRunnerError::invalidOutput()` for anything not acceptable.
[[nodiscard]] QString acceptChat(const QByteArray &resultBytes);

} // namespace quarn::codexprompts
