#pragma once

#include <cstdint>
#include <string>

namespace quarn::service {

class MailStore;

/// Fills an empty store with a realistic mailbox for demonstrations: Japanese
/// and English mail, every status, group threads, chat in the service's own
/// domain, a failed and a scheduled delivery, an AI job in progress, and one
/// colleague whose timeline spans several pages (with messages of equal
/// times across a page boundary). Answers the demo user's id.
std::string seedDemoData(MailStore &store, std::int64_t now);

} // namespace quarn::service
