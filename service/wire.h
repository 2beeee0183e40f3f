#pragma once

#include "mailstore.h"

#include <nlohmann/json.hpp>

/// The JSON form of the service's answers, written here independently of the
/// client's record code.
namespace quarn::service::wire {

using Json = nlohmann::ordered_json;

[[nodiscard]] Json error(const std::string &code, const std::string &message);
[[nodiscard]] Json mailbox(const Mailbox &m);
[[nodiscard]] Json state(const StateSnapshot &s);
[[nodiscard]] Json listItem(const Conversation &c);
[[nodiscard]] Json detail(const Conversation &c);
[[nodiscard]] Json person(const Person &p);
[[nodiscard]] Json people(const std::vector<Person> &people);
[[nodiscard]] Json timeline(const TimelinePage &page);
[[nodiscard]] Json mutation(const Mutation &m);

/// Serialises without ever throwing: bytes that are not UTF-8 are replaced.
[[nodiscard]] std::string dump(const Json &j);

/// dump(state(s)), written straight into the text: a large mailbox's state
/// is the answer the clients ask for most, and building its tree first costs
/// several times the writing.
[[nodiscard]] std::string stateText(const StateSnapshot &s);

} // namespace quarn::service::wire
