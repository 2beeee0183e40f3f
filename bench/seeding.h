#pragma once

#include <string>

namespace quarn::bench {

/// Writes `count` conversations in `status` ("conv_<status>_<n>", newest
/// last, every other one with an AI summary) for `userId` — the service's
/// first account when empty — straight into the reference service's
/// database at `databasePath`: delivering them one by one would take
/// minutes. Returns what went wrong, or an empty string.
[[nodiscard]] std::string seedConversations(
    const std::string &databasePath, const std::string &status, int count, const std::string &userId = {});

} // namespace quarn::bench
