#pragma once

#include "database.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quarn::service {

/// A refusal the service answers with: HTTP status, machine code and the
/// Japanese text shown to the user.
class ServiceError : public std::runtime_error
{
public:
    ServiceError(int status, std::string code, std::string message)
        : std::runtime_error(code)
        , m_status(status)
        , m_code(std::move(code))
        , m_message(std::move(message))
    { }
    [[nodiscard]] int status() const { return m_status; }
    [[nodiscard]] const std::string &code() const { return m_code; }
    [[nodiscard]] const std::string &message() const { return m_message; }

private:
    int m_status;
    std::string m_code;
    std::string m_message;
};

/// The six work states, in their fixed order.
inline const std::vector<std::string> &allStatuses()
{
    static const std::vector<std::string> statuses { "needs_you", "ai_working", "waiting", "scheduled", "inbox",
        "done" };
    return statuses;
}
[[nodiscard]] bool isStatus(const std::string &s);
/// The states a user may choose; "ai_working" and "scheduled" are the service's own.
[[nodiscard]] bool isUserSelectable(const std::string &s);

/// An account of the service.
struct User
{
    std::string id;
    std::string name;
    std::string email;
    std::optional<std::string> mailboxLocalPart;
    std::optional<std::string> mailboxDisplayName;
};

/// The claimed service address of a user.
struct Mailbox
{
    std::string address;
    std::string displayName;
};

/// One recipient of a message; `role` is "to", "cc" or "envelope_to".
struct Recipient
{
    std::string email;
    std::string displayName;
    std::string role;
};

/// One message as the service keeps it.
struct Message
{
    std::string id;
    std::string conversationId;
    std::optional<std::string> senderUserId;
    std::string senderEmail;
    std::string senderName;
    std::string channel;
    std::string bodyText;
    std::string deliveryStatus;
    std::int64_t createdAt = 0;
    std::optional<std::int64_t> scheduledFor;
    std::vector<Recipient> recipients;
};

/// The triage result kept on a conversation.
struct Insight
{
    std::optional<std::string> summary;
    std::optional<std::string> request;
    std::optional<std::string> deadline;
    std::optional<std::string> draft;
    std::optional<std::string> risk;
};

/// One conversation; `messages` is filled only where the detail is asked for.
struct Conversation
{
    std::string id;
    std::string subject;
    std::string status;
    std::string transport;
    std::string participantName;
    std::string participantAddress;
    std::string preview;
    std::int64_t lastMessageAt = 0;
    bool unread = false;
    Insight ai;
    std::vector<Message> messages;
};

/// One correspondent with counters over the user's conversations.
struct Person
{
    std::string email;
    std::string displayName;
    std::int64_t conversationCount = 0;
    std::int64_t messageCount = 0;
    std::int64_t lastMessageAt = 0;
    std::int64_t needsYouCount = 0;
    std::int64_t waitingCount = 0;
};

/// A message of a person timeline, with its conversation's subject and status.
struct TimelineMessage
{
    Message message;
    std::string subject;
    std::string conversationStatus;
};

/// One page of a person timeline, oldest first within the page.
struct TimelinePage
{
    Person person;
    std::vector<TimelineMessage> messages;
    bool hasMore = false;
    std::optional<std::int64_t> nextBefore;
};

/// The state answer: the list of one status and the counters of all.
struct StateSnapshot
{
    User viewer;
    std::optional<Mailbox> mailbox;
    std::string status;
    std::map<std::string, std::int64_t> counts;
    std::vector<Conversation> conversations;
};

/// What a reply or a new conversation produced.
struct Mutation
{
    std::string conversationId;
    std::string messageId;
    std::string status;
};

/// An incoming message from outside the account (the deliver command, demo data).
struct IncomingMail
{
    std::string userId; ///< empty: the service's owner account
    std::string fromAddress;
    std::string fromName;
    std::string subject;
    std::string body;
    std::vector<Recipient> otherRecipients; ///< besides the account itself
    std::optional<std::string> conversationId; ///< thread into this conversation
    std::optional<std::int64_t> at; ///< defaults to now
    std::string accountRole = "to"; ///< how the account itself is addressed
};

/// What a redeemed sign-in code yields.
struct CodeRedemption
{
    std::string token;
};

/// All data of the service in one SQLite file, and every rule that changes it.
/// Each operation runs in one transaction under one lock: it either happens
/// completely or not at all, and concurrent requests see consistent counts.
class MailStore
{
public:
    MailStore(const std::string &path, std::string mailDomain);

    [[nodiscard]] const std::string &mailDomain() const { return m_mailDomain; }

    // Accounts and tokens.
    User createUser(const std::string &name, const std::string &email);
    [[nodiscard]] std::optional<User> ownerUser();
    [[nodiscard]] std::optional<User> userById(const std::string &id);
    [[nodiscard]] std::optional<User> userForToken(const std::string &token);
    /// A new device token for the user; only its hash is kept.
    std::string issueToken(const std::string &userId);

    // The eleven endpoints.
    StateSnapshot state(const std::string &userId, const std::string &status);
    Conversation conversation(const std::string &userId, const std::string &id, bool markRead);
    std::vector<Person> people(const std::string &userId);
    TimelinePage timeline(const std::string &userId, const std::string &email, std::optional<std::int64_t> before);
    Mutation reply(const std::string &userId, const std::string &conversationId, const std::string &body);
    void setStatus(const std::string &userId, const std::string &conversationId, const std::string &status);
    Mutation create(const std::string &userId, const std::vector<std::string> &to, const std::string &subject,
        const std::string &body, std::optional<std::int64_t> scheduledFor);
    Mailbox claimMailbox(const std::string &userId, const std::string &localPart, const std::string &displayName);
    std::pair<std::string, Conversation> startAI(const std::string &userId, const std::string &conversationId);
    Conversation completeAI(const std::string &userId, const std::string &conversationId, const std::string &jobId,
        const Insight &insight, const std::string &suggestedStatus);
    void failAI(const std::string &userId, const std::string &conversationId, const std::string &jobId,
        const std::string &errorCode);

    // Mail from outside.
    Mutation deliverIncoming(const IncomingMail &mail);

    /// Sends what is due at `now`: scheduled messages, queued e-mail, and AI
    /// jobs left open longer than `jobTimeoutMs` (failed with "job_expired").
    /// Answers the next time something falls due, if any.
    std::optional<std::int64_t> processDueWork(std::int64_t now, std::int64_t jobTimeoutMs);

    // Sign-in codes.
    void storeAuthCode(const std::string &code, const std::string &userId, const std::string &challenge,
        const std::string &clientId, const std::string &redirectUri, std::int64_t expiresAt);
    /// Redeems a code once. Throws ServiceError(400, "invalid_grant") when the
    /// code is unknown, used, expired, issued for another client or redirect
    /// address, or the verifier does not match its challenge. A second use of
    /// a code also revokes the token its first use produced.
    CodeRedemption redeemAuthCode(const std::string &code, const std::string &verifier, const std::string &clientId,
        const std::string &redirectUri, std::int64_t now);

    /// Writes a conversation with its messages as given (demo data). Ids left
    /// empty are made here; summary fields are derived from the messages.
    std::string importConversation(const std::string &userId, Conversation conversation);
    /// Claims a mailbox without the checks of the endpoint (demo data).
    void setMailbox(const std::string &userId, const std::string &localPart, const std::string &displayName);

private:
    std::optional<User> userWhere(const std::string &where, const std::string &value);
    std::optional<Mailbox> mailboxOf(const User &user) const;
    User requireUser(const std::string &userId);
    Conversation loadConversation(const std::string &userId, const std::string &id);
    std::vector<Message> loadMessages(const std::string &conversationId);
    std::vector<Recipient> loadRecipients(const std::string &messageId);
    void insertMessage(const Message &message);
    void refreshSummary(const std::string &conversationId);
    void supersedeOpenJobs(const std::string &conversationId, std::int64_t now);
    void updateStatus(const std::string &conversationId, const std::string &status);
    std::vector<Person> collectPeople(const std::string &userId, const std::optional<std::string> &only);

    std::mutex m_mutex;
    Database m_db;
    std::string m_mailDomain;
};

} // namespace quarn::service
