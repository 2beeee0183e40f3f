#include "mailstore.h"

#include "util.h"

#include <algorithm>
#include <array>
#include <limits>
#include <set>

namespace quarn::service {

namespace {

constexpr int kTimelinePageSize = 50;
constexpr std::size_t kPreviewLength = 140;
constexpr std::size_t kMaxBodyLength = 100'000;
constexpr std::size_t kMaxSubjectLength = 500;
constexpr std::size_t kMaxRecipients = 50;

constexpr const char *kSchema = R"sql(
CREATE TABLE IF NOT EXISTS users(
  id TEXT PRIMARY KEY,
  name TEXT NOT NULL,
  email TEXT NOT NULL,
  mailbox_local TEXT UNIQUE,
  mailbox_display_name TEXT,
  created_at INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS tokens(
  token_hash TEXT PRIMARY KEY,
  user_id TEXT NOT NULL REFERENCES users(id),
  auth_code_hash TEXT,
  revoked INTEGER NOT NULL DEFAULT 0,
  created_at INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS conversations(
  id TEXT PRIMARY KEY,
  user_id TEXT NOT NULL REFERENCES users(id),
  subject TEXT NOT NULL,
  status TEXT NOT NULL CHECK(status IN ('needs_you','ai_working','waiting','scheduled','inbox','done')),
  transport TEXT NOT NULL CHECK(transport IN ('email','chat','mixed','ai')),
  participant_name TEXT NOT NULL,
  participant_address TEXT NOT NULL,
  preview TEXT NOT NULL DEFAULT '',
  last_message_at INTEGER NOT NULL DEFAULT 0,
  unread INTEGER NOT NULL DEFAULT 0,
  ai_summary TEXT, ai_request TEXT, ai_deadline TEXT, ai_draft TEXT, ai_risk TEXT,
  created_at INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS conversations_by_status
  ON conversations(user_id, status, last_message_at DESC, id DESC);
CREATE TABLE IF NOT EXISTS messages(
  id TEXT PRIMARY KEY,
  conversation_id TEXT NOT NULL REFERENCES conversations(id),
  sender_user_id TEXT,
  sender_email TEXT NOT NULL,
  sender_name TEXT NOT NULL,
  channel TEXT NOT NULL,
  body_text TEXT NOT NULL,
  delivery_status TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  scheduled_for INTEGER);
CREATE INDEX IF NOT EXISTS messages_by_conversation ON messages(conversation_id, created_at, id);
CREATE INDEX IF NOT EXISTS messages_by_sender ON messages(sender_email, created_at);
CREATE INDEX IF NOT EXISTS messages_by_delivery ON messages(delivery_status, scheduled_for);
CREATE TABLE IF NOT EXISTS recipients(
  message_id TEXT NOT NULL REFERENCES messages(id),
  position INTEGER NOT NULL,
  email TEXT NOT NULL,
  display_name TEXT NOT NULL,
  role TEXT NOT NULL,
  PRIMARY KEY(message_id, position));
CREATE INDEX IF NOT EXISTS recipients_by_email ON recipients(email);
CREATE TABLE IF NOT EXISTS ai_jobs(
  id TEXT PRIMARY KEY,
  conversation_id TEXT NOT NULL REFERENCES conversations(id),
  state TEXT NOT NULL CHECK(state IN ('open','completed','failed','superseded')),
  previous_status TEXT NOT NULL,
  error_code TEXT,
  created_at INTEGER NOT NULL,
  closed_at INTEGER);
CREATE INDEX IF NOT EXISTS ai_jobs_open ON ai_jobs(state, conversation_id);
CREATE TABLE IF NOT EXISTS auth_codes(
  code_hash TEXT PRIMARY KEY,
  user_id TEXT NOT NULL REFERENCES users(id),
  code_challenge TEXT NOT NULL,
  client_id TEXT NOT NULL,
  redirect_uri TEXT NOT NULL,
  expires_at INTEGER NOT NULL,
  used INTEGER NOT NULL DEFAULT 0);
)sql";

constexpr const char *kConversationColumns = "id, subject, status, transport, participant_name, participant_address, "
                                             "preview, last_message_at, unread, ai_summary, ai_request, ai_deadline, "
                                             "ai_draft, ai_risk";
constexpr const char *kMessageColumns = "m.id, m.conversation_id, m.sender_user_id, m.sender_email, m.sender_name, "
                                        "m.channel, m.body_text, m.delivery_status, m.created_at, m.scheduled_for";

ServiceError notFound()
{
    return ServiceError(404, "not_found", "会話が見つかりません。");
}

ServiceError mailboxRequired()
{
    return ServiceError(409, "mailbox_required", "先にQuarnアドレスを作成してください。");
}

ServiceError jobNotOpen()
{
    return ServiceError(409, "job_not_open", "このAIジョブは見つからないか、すでに終了しています。");
}

Conversation readConversation(const Statement &s)
{
    Conversation c;
    c.id = s.text(0);
    c.subject = s.text(1);
    c.status = s.text(2);
    c.transport = s.text(3);
    c.participantName = s.text(4);
    c.participantAddress = s.text(5);
    c.preview = s.text(6);
    c.lastMessageAt = s.integer(7);
    c.unread = s.integer(8) != 0;
    c.ai.summary = s.optionalText(9);
    c.ai.request = s.optionalText(10);
    c.ai.deadline = s.optionalText(11);
    c.ai.draft = s.optionalText(12);
    c.ai.risk = s.optionalText(13);
    return c;
}

Message readMessage(const Statement &s)
{
    Message m;
    m.id = s.text(0);
    m.conversationId = s.text(1);
    m.senderUserId = s.optionalText(2);
    m.senderEmail = s.text(3);
    m.senderName = s.text(4);
    m.channel = s.text(5);
    m.bodyText = s.text(6);
    m.deliveryStatus = s.text(7);
    m.createdAt = s.integer(8);
    m.scheduledFor = s.optionalInteger(9);
    return m;
}

std::string previewOf(const std::string &body)
{
    std::string collapsed;
    bool space = false;
    for (const char c : body) {
        if (c == ' ' || c == '\n' || c == '\r' || c == '\t') {
            space = !collapsed.empty();
            continue;
        }
        if (space)
            collapsed += ' ';
        space = false;
        collapsed += c;
    }
    return codePointPrefix(collapsed, kPreviewLength);
}

/// The subject without reply and forward prefixes, for threading incoming mail.
std::string threadSubject(std::string subject)
{
    for (;;) {
        subject = trimmed(subject);
        const std::string lower = asciiLower(subject.substr(0, 4));
        if (lower.starts_with("re:"))
            subject.erase(0, 3);
        else if (lower.starts_with("fw:"))
            subject.erase(0, 3);
        else if (lower.starts_with("fwd:"))
            subject.erase(0, 4);
        else if (subject.starts_with("Re\xEF\xBC\x9A")) // "Re：" with a full-width colon
            subject.erase(0, 5);
        else
            return subject;
    }
}

void requireText(const std::string &text, std::size_t maxLength, const char *emptyCode, const char *emptyMessage,
    const char *longMessage)
{
    if (trimmed(text).empty())
        throw ServiceError(422, emptyCode, emptyMessage);
    if (codePointCount(text) > maxLength)
        throw ServiceError(422, "too_long", longMessage);
}

bool isLocalPartChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
}

bool isAlnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

} // namespace

bool isStatus(const std::string &s)
{
    const auto &all = allStatuses();
    return std::find(all.begin(), all.end(), s) != all.end();
}

bool isUserSelectable(const std::string &s)
{
    return s == "needs_you" || s == "waiting" || s == "inbox" || s == "done";
}

MailStore::MailStore(const std::string &path, std::string mailDomain)
    : m_db(path)
    , m_mailDomain(asciiLower(mailDomain))
{
    m_db.exec(kSchema);
}

// --- accounts ---------------------------------------------------------------

std::optional<User> MailStore::userWhere(const std::string &where, const std::string &value)
{
    auto s = m_db.prepare("SELECT id, name, email, mailbox_local, mailbox_display_name FROM users WHERE " + where);
    if (!value.empty())
        s.bind(1, value);
    if (!s.step())
        return std::nullopt;
    return User { s.text(0), s.text(1), s.text(2), s.optionalText(3), s.optionalText(4) };
}

std::optional<Mailbox> MailStore::mailboxOf(const User &user) const
{
    if (!user.mailboxLocalPart)
        return std::nullopt;
    return Mailbox { *user.mailboxLocalPart + "@" + m_mailDomain, user.mailboxDisplayName.value_or(user.name) };
}

User MailStore::requireUser(const std::string &userId)
{
    auto user = userWhere("id = ?1", userId);
    if (!user)
        throw ServiceError(401, "unauthorized", "認証が必要です。");
    return *user;
}

User MailStore::createUser(const std::string &name, const std::string &email)
{
    std::lock_guard lock(m_mutex);
    Transaction t(m_db, true);
    User user { randomId("usr_", 12), name, asciiLower(email), std::nullopt, std::nullopt };
    m_db.prepare("INSERT INTO users(id, name, email, created_at) VALUES(?1, ?2, ?3, ?4)")
        .bind(1, user.id)
        .bind(2, user.name)
        .bind(3, user.email)
        .bind(4, nowMillis())
        .run();
    t.commit();
    return user;
}

std::optional<User> MailStore::ownerUser()
{
    std::lock_guard lock(m_mutex);
    return userWhere("1 ORDER BY rowid LIMIT 1", {});
}

std::optional<User> MailStore::userById(const std::string &id)
{
    std::lock_guard lock(m_mutex);
    return userWhere("id = ?1", id);
}

std::optional<User> MailStore::userForToken(const std::string &token)
{
    if (token.size() != 52 || !token.starts_with("tok_mail_"))
        return std::nullopt;
    std::lock_guard lock(m_mutex);
    auto s = m_db.prepare("SELECT user_id FROM tokens WHERE token_hash = ?1 AND revoked = 0");
    s.bind(1, sha256Hex(token));
    if (!s.step())
        return std::nullopt;
    return userWhere("id = ?1", s.text(0));
}

std::string MailStore::issueToken(const std::string &userId)
{
    std::lock_guard lock(m_mutex);
    Transaction t(m_db, true);
    requireUser(userId);
    const std::string token = newDeviceToken();
    m_db.prepare("INSERT INTO tokens(token_hash, user_id, created_at) VALUES(?1, ?2, ?3)")
        .bind(1, sha256Hex(token))
        .bind(2, userId)
        .bind(3, nowMillis())
        .run();
    t.commit();
    return token;
}

// --- reading ----------------------------------------------------------------

Conversation MailStore::loadConversation(const std::string &userId, const std::string &id)
{
    auto s = m_db.prepare(
        std::string("SELECT ") + kConversationColumns + " FROM conversations WHERE id = ?1 AND user_id = ?2");
    s.bind(1, id).bind(2, userId);
    if (!s.step())
        throw notFound();
    return readConversation(s);
}

std::vector<Recipient> MailStore::loadRecipients(const std::string &messageId)
{
    auto s = m_db.prepare("SELECT email, display_name, role FROM recipients WHERE message_id = ?1 ORDER BY position");
    s.bind(1, messageId);
    std::vector<Recipient> out;
    while (s.step())
        out.push_back({ s.text(0), s.text(1), s.text(2) });
    return out;
}

std::vector<Message> MailStore::loadMessages(const std::string &conversationId)
{
    auto s = m_db.prepare(std::string("SELECT ") + kMessageColumns
        + " FROM messages m WHERE m.conversation_id = ?1 ORDER BY m.created_at, m.id");
    s.bind(1, conversationId);
    std::vector<Message> out;
    while (s.step())
        out.push_back(readMessage(s));
    for (auto &m : out)
        m.recipients = loadRecipients(m.id);
    return out;
}

StateSnapshot MailStore::state(const std::string &userId, const std::string &status)
{
    if (!isStatus(status))
        throw ServiceError(422, "invalid_status", "不明な状態です。");
    std::lock_guard lock(m_mutex);
    Transaction t(m_db, false);
    StateSnapshot snapshot;
    snapshot.viewer = requireUser(userId);
    snapshot.mailbox = mailboxOf(snapshot.viewer);
    snapshot.status = status;
    for (const auto &s : allStatuses())
        snapshot.counts[s] = 0;
    auto counts = m_db.prepare("SELECT status, COUNT(*) FROM conversations WHERE user_id = ?1 GROUP BY status");
    counts.bind(1, userId);
    while (counts.step())
        snapshot.counts[counts.text(0)] = counts.integer(1);
    // A large list grows one allocation instead of moving itself a dozen times.
    snapshot.conversations.reserve(static_cast<std::size_t>(std::max<std::int64_t>(snapshot.counts[status], 0)));
    auto list = m_db.prepare(std::string("SELECT ") + kConversationColumns
        + " FROM conversations WHERE user_id = ?1 AND status = ?2"
          " ORDER BY last_message_at DESC, id DESC");
    list.bind(1, userId).bind(2, status);
    while (list.step())
        snapshot.conversations.push_back(readConversation(list));
    t.commit();
    return snapshot;
}

Conversation MailStore::conversation(const std::string &userId, const std::string &id, bool markRead)
{
    std::lock_guard lock(m_mutex);
    Transaction t(m_db, markRead);
    Conversation c = loadConversation(userId, id);
    if (markRead && c.unread) {
        m_db.prepare("UPDATE conversations SET unread = 0 WHERE id = ?1").bind(1, id).run();
        c.unread = false;
    }
    c.messages = loadMessages(id);
    t.commit();
    return c;
}

std::vector<Person> MailStore::collectPeople(const std::string &userId, const std::optional<std::string> &only)
{
    const User user = requireUser(userId);
    std::set<std::string> own { user.email };
    if (const auto mailbox = mailboxOf(user))
        own.insert(asciiLower(mailbox->address));

    const std::string senderFilter = only ? " AND m.sender_email = ?2" : "";
    const std::string recipientFilter = only ? " AND r.email = ?2" : "";
    auto s = m_db.prepare("SELECT m.id, m.conversation_id, m.sender_email, m.sender_name, m.created_at, c.status"
                          " FROM messages m JOIN conversations c ON c.id = m.conversation_id WHERE c.user_id = ?1"
        + senderFilter
        + " UNION ALL"
          " SELECT m.id, m.conversation_id, r.email, r.display_name, m.created_at, c.status"
          " FROM recipients r JOIN messages m ON m.id = r.message_id"
          " JOIN conversations c ON c.id = m.conversation_id WHERE c.user_id = ?1"
        + recipientFilter);
    s.bind(1, userId);
    if (only)
        s.bind(2, *only);

    struct Tally
    {
        std::string name;
        std::int64_t nameAt = std::numeric_limits<std::int64_t>::min();
        std::set<std::string> conversations, messages, needsYou, waiting;
        std::int64_t lastAt = std::numeric_limits<std::int64_t>::min();
    };
    std::map<std::string, Tally> tallies;
    while (s.step()) {
        const std::string email = s.text(2);
        if (own.contains(email))
            continue;
        Tally &tally = tallies[email];
        const std::string conversationId = s.text(1);
        const std::string name = s.text(3);
        const std::int64_t at = s.integer(4);
        const std::string status = s.text(5);
        tally.conversations.insert(conversationId);
        tally.messages.insert(s.text(0));
        tally.lastAt = std::max(tally.lastAt, at);
        if (!trimmed(name).empty() && at >= tally.nameAt) {
            tally.name = name;
            tally.nameAt = at;
        }
        if (status == "needs_you")
            tally.needsYou.insert(conversationId);
        else if (status == "waiting")
            tally.waiting.insert(conversationId);
    }
    std::vector<Person> people;
    for (auto &[email, tally] : tallies) {
        people.push_back({ email, tally.name.empty() ? localPartOf(email) : tally.name,
            static_cast<std::int64_t>(tally.conversations.size()), static_cast<std::int64_t>(tally.messages.size()),
            tally.lastAt, static_cast<std::int64_t>(tally.needsYou.size()),
            static_cast<std::int64_t>(tally.waiting.size()) });
    }
    std::sort(people.begin(), people.end(), [](const Person &a, const Person &b) {
        return a.lastMessageAt != b.lastMessageAt ? a.lastMessageAt > b.lastMessageAt : a.email < b.email;
    });
    return people;
}

std::vector<Person> MailStore::people(const std::string &userId)
{
    std::lock_guard lock(m_mutex);
    Transaction t(m_db, false);
    auto people = collectPeople(userId, std::nullopt);
    t.commit();
    return people;
}

TimelinePage MailStore::timeline(
    const std::string &userId, const std::string &email, std::optional<std::int64_t> before)
{
    const std::string person = asciiLower(email);
    std::lock_guard lock(m_mutex);
    Transaction t(m_db, false);
    auto people = collectPeople(userId, person);
    if (people.empty())
        throw ServiceError(404, "not_found", "この人とのやりとりは見つかりません。");

    TimelinePage page;
    page.person = people.front();
    const std::string involves = " FROM messages m JOIN conversations c ON c.id = m.conversation_id"
                                 " WHERE c.user_id = ?1 AND (m.sender_email = ?2"
                                 " OR m.id IN (SELECT message_id FROM recipients WHERE email = ?2))";
    const std::string columns = std::string("SELECT ") + kMessageColumns + ", c.subject, c.status";
    const auto readRows = [&](Statement &s) {
        while (s.step())
            page.messages.push_back({ readMessage(s), s.text(10), s.text(11) });
    };

    auto first = m_db.prepare(columns + involves
        + " AND (?3 IS NULL OR m.created_at < ?3)"
          " ORDER BY m.created_at DESC, m.id DESC LIMIT ?4");
    first.bind(1, userId).bind(2, person).bind(3, before).bind(4, std::int64_t { kTimelinePageSize });
    readRows(first);

    if (page.messages.size() == kTimelinePageSize) {
        // The cursor is a time, so a page never ends inside a run of messages
        // with the same time: the rest of that run joins this page, and the
        // next page starts strictly before it. Nothing is skipped or repeated.
        const Message &last = page.messages.back().message;
        const std::int64_t boundary = last.createdAt;
        auto rest = m_db.prepare(columns + involves + " AND m.created_at = ?3 AND m.id < ?4 ORDER BY m.id DESC");
        rest.bind(1, userId).bind(2, person).bind(3, boundary).bind(4, last.id);
        readRows(rest);
        auto older = m_db.prepare("SELECT EXISTS(SELECT 1" + involves + " AND m.created_at < ?3)");
        older.bind(1, userId).bind(2, person).bind(3, boundary);
        older.step();
        page.hasMore = older.integer(0) != 0;
        if (page.hasMore)
            page.nextBefore = boundary;
    }
    for (auto &m : page.messages)
        m.message.recipients = loadRecipients(m.message.id);
    std::reverse(page.messages.begin(), page.messages.end());
    t.commit();
    return page;
}

// --- writing ----------------------------------------------------------------

void MailStore::insertMessage(const Message &m)
{
    m_db.prepare(
            "INSERT INTO messages(id, conversation_id, sender_user_id, sender_email, sender_name, channel,"
            " body_text, delivery_status, created_at, scheduled_for) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)")
        .bind(1, m.id)
        .bind(2, m.conversationId)
        .bind(3, m.senderUserId)
        .bind(4, m.senderEmail)
        .bind(5, m.senderName)
        .bind(6, m.channel)
        .bind(7, m.bodyText)
        .bind(8, m.deliveryStatus)
        .bind(9, m.createdAt)
        .bind(10, m.scheduledFor)
        .run();
    std::int64_t position = 0;
    for (const auto &r : m.recipients) {
        m_db.prepare("INSERT INTO recipients(message_id, position, email, display_name, role)"
                     " VALUES(?1, ?2, ?3, ?4, ?5)")
            .bind(1, m.id)
            .bind(2, position++)
            .bind(3, asciiLower(r.email))
            .bind(4, r.displayName)
            .bind(5, r.role)
            .run();
    }
}

void MailStore::refreshSummary(const std::string &conversationId)
{
    auto s = m_db.prepare("SELECT body_text, created_at FROM messages WHERE conversation_id = ?1"
                          " ORDER BY created_at DESC, id DESC LIMIT 1");
    s.bind(1, conversationId);
    if (!s.step())
        return;
    m_db.prepare("UPDATE conversations SET preview = ?2, last_message_at = ?3 WHERE id = ?1")
        .bind(1, conversationId)
        .bind(2, previewOf(s.text(0)))
        .bind(3, s.integer(1))
        .run();
}

void MailStore::supersedeOpenJobs(const std::string &conversationId, std::int64_t now)
{
    m_db.prepare(
            "UPDATE ai_jobs SET state = 'superseded', closed_at = ?2 WHERE conversation_id = ?1 AND state = 'open'")
        .bind(1, conversationId)
        .bind(2, now)
        .run();
}

void MailStore::updateStatus(const std::string &conversationId, const std::string &status)
{
    m_db.prepare("UPDATE conversations SET status = ?2 WHERE id = ?1").bind(1, conversationId).bind(2, status).run();
}

Mutation MailStore::reply(const std::string &userId, const std::string &conversationId, const std::string &body)
{
    requireText(body, kMaxBodyLength, "empty_body", "本文を入力してください。", "本文が長すぎます。");
    std::lock_guard lock(m_mutex);
    Transaction t(m_db, true);
    const User user = requireUser(userId);
    Conversation c = loadConversation(userId, conversationId);
    const auto mailbox = mailboxOf(user);
    if (!mailbox)
        throw mailboxRequired();
    const std::string self = asciiLower(mailbox->address);

    // Reply to everyone of the latest message: its sender and its To as "to",
    // its Cc as "cc"; never to the account itself or to envelope-only copies.
    Message latest;
    {
        auto s = m_db.prepare(std::string("SELECT ") + kMessageColumns
            + " FROM messages m WHERE m.conversation_id = ?1"
              " ORDER BY m.created_at DESC, m.id DESC LIMIT 1");
        s.bind(1, conversationId);
        if (s.step())
            latest = readMessage(s);
    }
    std::vector<Recipient> recipients;
    std::set<std::string> seen { self, user.email };
    const auto add = [&](const std::string &email, const std::string &name, const std::string &role) {
        const std::string lower = asciiLower(email);
        if (seen.insert(lower).second)
            recipients.push_back({ lower, name, role });
    };
    if (!latest.id.empty()) {
        add(latest.senderEmail, latest.senderName, "to");
        for (const auto &r : loadRecipients(latest.id))
            if (r.role != "envelope_to")
                add(r.email, r.displayName, r.role == "cc" ? "cc" : "to");
    }
    if (recipients.empty())
        add(c.participantAddress, c.participantName, "to");

    const bool allInternal = std::all_of(
        recipients.begin(), recipients.end(), [&](const Recipient &r) { return domainOf(r.email) == m_mailDomain; });
    const std::string channel = allInternal ? "chat" : "email";
    std::string transport = c.transport;
    if (transport != "ai" && transport != "mixed" && transport != channel)
        transport = "mixed";

    const std::int64_t now = nowMillis();
    Message m;
    m.id = randomId("msg_");
    m.conversationId = conversationId;
    m.senderUserId = user.id;
    m.senderEmail = self;
    m.senderName = mailbox->displayName;
    m.channel = channel;
    m.bodyText = body;
    m.deliveryStatus = allInternal ? "delivered" : "queued";
    // Strictly after what the conversation already holds, so that order
    // within a conversation never depends on how ids compare.
    m.createdAt = std::max(now, c.lastMessageAt + 1);
    m.recipients = recipients;
    insertMessage(m);
    supersedeOpenJobs(conversationId, now);
    m_db.prepare("UPDATE conversations SET status = 'waiting', transport = ?2, unread = 0 WHERE id = ?1")
        .bind(1, conversationId)
        .bind(2, transport)
        .run();
    refreshSummary(conversationId);
    t.commit();
    return { conversationId, m.id, "waiting" };
}

void MailStore::setStatus(const std::string &userId, const std::string &conversationId, const std::string &status)
{
    if (!isStatus(status))
        throw ServiceError(422, "invalid_status", "不明な状態です。");
    if (!isUserSelectable(status))
        throw ServiceError(422, "status_not_selectable", "この状態は手動では選べません。");
    std::lock_guard lock(m_mutex);
    Transaction t(m_db, true);
    loadConversation(userId, conversationId);
    // The user's choice wins over a triage still running on the conversation.
    supersedeOpenJobs(conversationId, nowMillis());
    updateStatus(conversationId, status);
    t.commit();
}

Mutation MailStore::create(const std::string &userId, const std::vector<std::string> &to, const std::string &subject,
    const std::string &body, std::optional<std::int64_t> scheduledFor)
{
    if (to.empty())
        throw ServiceError(422, "no_recipient", "宛先を入力してください。");
    if (to.size() > kMaxRecipients)
        throw ServiceError(422, "too_many_recipients", "宛先が多すぎます。");
    std::vector<std::string> addresses;
    for (const auto &address : to) {
        const std::string lower = asciiLower(trimmed(address));
        if (!isPlausibleAddress(lower))
            throw ServiceError(422, "invalid_recipient", "宛先のメールアドレスが正しくありません。");
        if (std::find(addresses.begin(), addresses.end(), lower) == addresses.end())
            addresses.push_back(lower);
    }
    requireText(subject, kMaxSubjectLength, "empty_subject", "件名を入力してください。", "件名が長すぎます。");
    requireText(body, kMaxBodyLength, "empty_body", "本文を入力してください。", "本文が長すぎます。");

    std::lock_guard lock(m_mutex);
    Transaction t(m_db, true);
    const User user = requireUser(userId);
    const auto mailbox = mailboxOf(user);
    if (!mailbox)
        throw mailboxRequired();

    std::size_t internal = 0;
    std::vector<Recipient> recipients;
    for (const auto &address : addresses) {
        if (domainOf(address) == m_mailDomain)
            ++internal;
        const auto known = collectPeople(userId, address);
        recipients.push_back({ address, known.empty() ? localPartOf(address) : known.front().displayName, "to" });
    }
    const std::string transport = internal == addresses.size() ? "chat" : internal == 0 ? "email" : "mixed";
    const std::string channel = internal == addresses.size() ? "chat" : "email";
    const std::string status = scheduledFor ? "scheduled" : "waiting";
    const std::int64_t now = nowMillis();

    const std::string conversationId = randomId("conv_");
    m_db.prepare("INSERT INTO conversations(id, user_id, subject, status, transport, participant_name,"
                 " participant_address, created_at) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)")
        .bind(1, conversationId)
        .bind(2, userId)
        .bind(3, trimmed(subject))
        .bind(4, status)
        .bind(5, transport)
        .bind(6, recipients.front().displayName)
        .bind(7, recipients.front().email)
        .bind(8, now)
        .run();
    Message m;
    m.id = randomId("msg_");
    m.conversationId = conversationId;
    m.senderUserId = user.id;
    m.senderEmail = asciiLower(mailbox->address);
    m.senderName = mailbox->displayName;
    m.channel = channel;
    m.bodyText = body;
    m.deliveryStatus = scheduledFor ? "scheduled" : channel == "chat" ? "delivered" : "queued";
    m.createdAt = now;
    m.scheduledFor = scheduledFor;
    m.recipients = recipients;
    insertMessage(m);
    refreshSummary(conversationId);
    t.commit();
    return { conversationId, m.id, status };
}

Mailbox MailStore::claimMailbox(const std::string &userId, const std::string &localPart, const std::string &displayName)
{
    const std::string local = asciiLower(trimmed(localPart));
    const bool validChars = std::all_of(local.begin(), local.end(), isLocalPartChar);
    if (local.size() < 3 || local.size() > 30 || !validChars || !isAlnum(local.front()) || !isAlnum(local.back())
        || local.find("..") != std::string::npos) {
        throw ServiceError(422, "invalid_local_part",
            "アドレスには英小文字・数字・「.」「_」「-」だけを使い、3〜30文字で、"
            "英数字で始めて英数字で終えてください。");
    }
    const std::string name = trimmed(displayName);
    if (name.empty())
        throw ServiceError(422, "empty_display_name", "表示名を入力してください。");
    if (codePointCount(name) > 64)
        throw ServiceError(422, "display_name_too_long", "表示名は64文字以内にしてください。");
    static const std::set<std::string> reserved { "abuse", "admin", "administrator", "hostmaster", "info",
        "mailer-daemon", "no-reply", "noreply", "postmaster", "root", "security", "support", "webmaster" };
    if (reserved.contains(local))
        throw ServiceError(409, "address_taken", "このアドレスはすでに使われています。");

    std::lock_guard lock(m_mutex);
    Transaction t(m_db, true);
    const User user = requireUser(userId);
    if (user.mailboxLocalPart && *user.mailboxLocalPart != local)
        throw ServiceError(409, "mailbox_exists", "このアカウントにはすでにアドレスがあります。");
    auto taken = m_db.prepare("SELECT id FROM users WHERE mailbox_local = ?1 AND id != ?2");
    taken.bind(1, local).bind(2, userId);
    if (taken.step())
        throw ServiceError(409, "address_taken", "このアドレスはすでに使われています。");
    m_db.prepare("UPDATE users SET mailbox_local = ?2, mailbox_display_name = ?3 WHERE id = ?1")
        .bind(1, userId)
        .bind(2, local)
        .bind(3, name)
        .run();
    t.commit();
    return { local + "@" + m_mailDomain, name };
}

void MailStore::setMailbox(const std::string &userId, const std::string &localPart, const std::string &displayName)
{
    std::lock_guard lock(m_mutex);
    Transaction t(m_db, true);
    m_db.prepare("UPDATE users SET mailbox_local = ?2, mailbox_display_name = ?3 WHERE id = ?1")
        .bind(1, userId)
        .bind(2, asciiLower(localPart))
        .bind(3, displayName)
        .run();
    t.commit();
}

// --- AI jobs ----------------------------------------------------------------

std::pair<std::string, Conversation> MailStore::startAI(const std::string &userId, const std::string &conversationId)
{
    std::lock_guard lock(m_mutex);
    Transaction t(m_db, true);
    Conversation c = loadConversation(userId, conversationId);
    // A new job replaces one left open (a client that crashed mid-triage), and
    // inherits the status to go back to, so ai_working is never restored.
    std::string previous = c.status == "ai_working" ? "inbox" : c.status;
    auto open = m_db.prepare("SELECT previous_status FROM ai_jobs WHERE conversation_id = ?1 AND state = 'open'"
                             " ORDER BY created_at LIMIT 1");
    open.bind(1, conversationId);
    if (open.step())
        previous = open.text(0);
    const std::int64_t now = nowMillis();
    supersedeOpenJobs(conversationId, now);
    const std::string jobId = randomId("job_");
    m_db.prepare("INSERT INTO ai_jobs(id, conversation_id, state, previous_status, created_at)"
                 " VALUES(?1, ?2, 'open', ?3, ?4)")
        .bind(1, jobId)
        .bind(2, conversationId)
        .bind(3, previous)
        .bind(4, now)
        .run();
    updateStatus(conversationId, "ai_working");
    c.status = "ai_working";
    c.messages = loadMessages(conversationId);
    t.commit();
    return { jobId, c };
}

Conversation MailStore::completeAI(const std::string &userId, const std::string &conversationId,
    const std::string &jobId, const Insight &insight, const std::string &suggestedStatus)
{
    if (!isStatus(suggestedStatus))
        throw ServiceError(422, "invalid_status", "不明な状態です。");
    if (!isUserSelectable(suggestedStatus))
        throw ServiceError(422, "status_not_selectable", "AIが提案できない状態です。");
    const auto tooLong
        = [](const std::optional<std::string> &s, std::size_t max) { return s && codePointCount(*s) > max; };
    if (tooLong(insight.summary, 4000) || tooLong(insight.request, 4000) || tooLong(insight.deadline, 1000)
        || tooLong(insight.draft, 50000) || tooLong(insight.risk, 64))
        throw ServiceError(422, "too_long", "AIの結果が長すぎます。");

    std::lock_guard lock(m_mutex);
    Transaction t(m_db, true);
    loadConversation(userId, conversationId);
    auto job = m_db.prepare("SELECT 1 FROM ai_jobs WHERE id = ?1 AND conversation_id = ?2 AND state = 'open'");
    job.bind(1, jobId).bind(2, conversationId);
    if (!job.step())
        throw jobNotOpen();
    const std::int64_t now = nowMillis();
    m_db.prepare("UPDATE ai_jobs SET state = 'completed', closed_at = ?2 WHERE id = ?1")
        .bind(1, jobId)
        .bind(2, now)
        .run();
    m_db.prepare("UPDATE conversations SET status = ?2, ai_summary = ?3, ai_request = ?4, ai_deadline = ?5,"
                 " ai_draft = ?6, ai_risk = ?7 WHERE id = ?1")
        .bind(1, conversationId)
        .bind(2, suggestedStatus)
        .bind(3, insight.summary)
        .bind(4, insight.request)
        .bind(5, insight.deadline)
        .bind(6, insight.draft)
        .bind(7, insight.risk)
        .run();
    Conversation c = loadConversation(userId, conversationId);
    c.messages = loadMessages(conversationId);
    t.commit();
    return c;
}

void MailStore::failAI(const std::string &userId, const std::string &conversationId, const std::string &jobId,
    const std::string &errorCode)
{
    const bool codeOk
        = !errorCode.empty() && errorCode.size() <= 64 && std::all_of(errorCode.begin(), errorCode.end(), [](char c) {
              return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-'
                  || c == '.';
          });
    if (!codeOk)
        throw ServiceError(422, "invalid_error_code", "エラーコードが正しくありません。");
    std::lock_guard lock(m_mutex);
    Transaction t(m_db, true);
    loadConversation(userId, conversationId);
    auto job = m_db.prepare("SELECT previous_status FROM ai_jobs WHERE id = ?1 AND conversation_id = ?2"
                            " AND state = 'open'");
    job.bind(1, jobId).bind(2, conversationId);
    if (!job.step())
        throw jobNotOpen();
    const std::string previous = job.text(0);
    m_db.prepare("UPDATE ai_jobs SET state = 'failed', error_code = ?2, closed_at = ?3 WHERE id = ?1")
        .bind(1, jobId)
        .bind(2, errorCode)
        .bind(3, nowMillis())
        .run();
    updateStatus(conversationId, previous);
    t.commit();
}

// --- mail from outside --------------------------------------------------------

Mutation MailStore::deliverIncoming(const IncomingMail &mail)
{
    const std::string from = asciiLower(trimmed(mail.fromAddress));
    if (!isPlausibleAddress(from))
        throw ServiceError(422, "invalid_sender", "差出人のメールアドレスが正しくありません。");
    requireText(mail.subject, kMaxSubjectLength, "empty_subject", "件名を入力してください。", "件名が長すぎます。");
    requireText(mail.body, kMaxBodyLength, "empty_body", "本文を入力してください。", "本文が長すぎます。");
    for (const auto &r : mail.otherRecipients)
        if (!isPlausibleAddress(asciiLower(r.email)))
            throw ServiceError(422, "invalid_recipient", "宛先のメールアドレスが正しくありません。");

    std::lock_guard lock(m_mutex);
    Transaction t(m_db, true);
    const auto user
        = mail.userId.empty() ? userWhere("1 ORDER BY rowid LIMIT 1", {}) : userWhere("id = ?1", mail.userId);
    if (!user)
        throw ServiceError(404, "no_account", "届け先のアカウントがありません。");
    const auto mailbox = mailboxOf(*user);
    const std::string accountAddress = mailbox ? asciiLower(mailbox->address) : user->email;
    const std::string accountName = mailbox ? mailbox->displayName : user->name;
    const std::string channel = domainOf(from) == m_mailDomain ? "chat" : "email";
    const std::string fromName = trimmed(mail.fromName).empty() ? localPartOf(from) : trimmed(mail.fromName);
    const std::int64_t now = nowMillis();

    std::optional<Conversation> existing;
    if (mail.conversationId) {
        existing = loadConversation(user->id, *mail.conversationId);
    } else {
        const std::string wanted = threadSubject(mail.subject);
        auto s = m_db.prepare(std::string("SELECT ") + kConversationColumns
            + " FROM conversations WHERE user_id = ?1 AND participant_address = ?2"
              " ORDER BY last_message_at DESC, id DESC");
        s.bind(1, user->id).bind(2, from);
        while (s.step()) {
            Conversation c = readConversation(s);
            if (threadSubject(c.subject) == wanted) {
                existing = c;
                break;
            }
        }
    }

    std::string conversationId;
    if (existing) {
        conversationId = existing->id;
        std::string transport = existing->transport;
        if (transport != "ai" && transport != "mixed" && transport != channel)
            transport = "mixed";
        // New mail is new work: back to the inbox, where triage picks it up.
        supersedeOpenJobs(conversationId, now);
        m_db.prepare("UPDATE conversations SET status = 'inbox', unread = 1, transport = ?2 WHERE id = ?1")
            .bind(1, conversationId)
            .bind(2, transport)
            .run();
    } else {
        conversationId = randomId("conv_");
        m_db.prepare("INSERT INTO conversations(id, user_id, subject, status, transport, participant_name,"
                     " participant_address, unread, created_at) VALUES(?1, ?2, ?3, 'inbox', ?4, ?5, ?6, 1, ?7)")
            .bind(1, conversationId)
            .bind(2, user->id)
            .bind(3, trimmed(mail.subject))
            .bind(4, channel)
            .bind(5, fromName)
            .bind(6, from)
            .bind(7, now)
            .run();
    }

    Message m;
    m.id = randomId("msg_");
    m.conversationId = conversationId;
    if (channel == "chat") {
        auto sender = m_db.prepare("SELECT id FROM users WHERE mailbox_local = ?1");
        sender.bind(1, localPartOf(from));
        if (sender.step())
            m.senderUserId = sender.text(0);
    }
    m.senderEmail = from;
    m.senderName = fromName;
    m.channel = channel;
    m.bodyText = mail.body;
    m.deliveryStatus = "delivered";
    m.createdAt = mail.at ? *mail.at : std::max(now, existing ? existing->lastMessageAt + 1 : now);
    m.recipients.push_back({ accountAddress, accountName, mail.accountRole });
    for (const auto &r : mail.otherRecipients)
        m.recipients.push_back({ asciiLower(r.email), r.displayName, r.role });
    insertMessage(m);
    refreshSummary(conversationId);
    t.commit();
    return { conversationId, m.id, "inbox" };
}

std::optional<std::int64_t> MailStore::processDueWork(std::int64_t now, std::int64_t jobTimeoutMs)
{
    std::lock_guard lock(m_mutex);
    Transaction t(m_db, true);

    // Scheduled messages whose time has come go out.
    std::vector<std::array<std::string, 3>> due; // message, conversation, channel
    {
        auto s = m_db.prepare("SELECT id, conversation_id, channel FROM messages"
                              " WHERE delivery_status = 'scheduled' AND scheduled_for <= ?1");
        s.bind(1, now);
        while (s.step())
            due.push_back({ s.text(0), s.text(1), s.text(2) });
    }
    for (const auto &[message, conversationId, channel] : due) {
        m_db.prepare("UPDATE messages SET delivery_status = ?2 WHERE id = ?1")
            .bind(1, message)
            .bind(2, channel == "chat" ? "delivered" : "queued")
            .run();
        auto pending = m_db.prepare("SELECT EXISTS(SELECT 1 FROM messages WHERE conversation_id = ?1"
                                    " AND delivery_status = 'scheduled')");
        pending.bind(1, conversationId);
        pending.step();
        if (pending.integer(0) == 0) {
            m_db.prepare("UPDATE conversations SET status = 'waiting' WHERE id = ?1 AND status = 'scheduled'")
                .bind(1, conversationId)
                .run();
        }
    }

    // Queued e-mail is handed on. There is no outbound relay here: addresses in
    // the reserved ".invalid" domain bounce, so that a failed delivery can be shown.
    {
        auto s = m_db.prepare("SELECT id FROM messages WHERE delivery_status = 'queued'");
        std::vector<std::string> queued;
        while (s.step())
            queued.push_back(s.text(0));
        for (const auto &id : queued) {
            bool bounces = false;
            for (const auto &r : loadRecipients(id))
                bounces = bounces || domainOf(r.email).ends_with(".invalid") || domainOf(r.email) == "invalid";
            m_db.prepare("UPDATE messages SET delivery_status = ?2 WHERE id = ?1")
                .bind(1, id)
                .bind(2, bounces ? "failed" : "delivered")
                .run();
        }
    }

    // A job whose client went away must not hold its conversation in
    // ai_working for ever.
    {
        auto s = m_db.prepare("SELECT id, conversation_id, previous_status FROM ai_jobs"
                              " WHERE state = 'open' AND created_at <= ?1");
        s.bind(1, now - jobTimeoutMs);
        std::vector<std::array<std::string, 3>> stale;
        while (s.step())
            stale.push_back({ s.text(0), s.text(1), s.text(2) });
        for (const auto &[job, conversationId, previous] : stale) {
            m_db.prepare(
                    "UPDATE ai_jobs SET state = 'failed', error_code = 'job_expired', closed_at = ?2 WHERE id = ?1")
                .bind(1, job)
                .bind(2, now)
                .run();
            m_db.prepare("UPDATE conversations SET status = ?2 WHERE id = ?1 AND status = 'ai_working'")
                .bind(1, conversationId)
                .bind(2, previous)
                .run();
        }
    }

    std::optional<std::int64_t> next;
    auto s = m_db.prepare("SELECT MIN(t) FROM (SELECT MIN(scheduled_for) AS t FROM messages"
                          " WHERE delivery_status = 'scheduled' UNION ALL"
                          " SELECT MIN(created_at) + ?1 FROM ai_jobs WHERE state = 'open')");
    s.bind(1, jobTimeoutMs);
    if (s.step())
        next = s.optionalInteger(0);
    t.commit();
    return next;
}

// --- sign-in codes --------------------------------------------------------------

void MailStore::storeAuthCode(const std::string &code, const std::string &userId, const std::string &challenge,
    const std::string &clientId, const std::string &redirectUri, std::int64_t expiresAt)
{
    std::lock_guard lock(m_mutex);
    Transaction t(m_db, true);
    m_db.prepare("INSERT INTO auth_codes(code_hash, user_id, code_challenge, client_id, redirect_uri, expires_at)"
                 " VALUES(?1, ?2, ?3, ?4, ?5, ?6)")
        .bind(1, sha256Hex(code))
        .bind(2, userId)
        .bind(3, challenge)
        .bind(4, clientId)
        .bind(5, redirectUri)
        .bind(6, expiresAt)
        .run();
    t.commit();
}

CodeRedemption MailStore::redeemAuthCode(const std::string &code, const std::string &verifier,
    const std::string &clientId, const std::string &redirectUri, std::int64_t now)
{
    const std::string hash = sha256Hex(code);
    std::lock_guard lock(m_mutex);
    Transaction t(m_db, true);
    auto s = m_db.prepare("SELECT user_id, code_challenge, client_id, redirect_uri, expires_at, used"
                          " FROM auth_codes WHERE code_hash = ?1");
    s.bind(1, hash);
    if (!s.step())
        throw ServiceError(400, "invalid_grant", "認可コードが無効です。");
    const std::string userId = s.text(0);
    const std::string challenge = s.text(1);
    const bool clientMatches = s.text(2) == clientId && s.text(3) == redirectUri;
    const bool expired = now >= s.integer(4);
    const bool used = s.integer(5) != 0;

    // Whatever the outcome, a code is spent by its first exchange attempt, so
    // that a verifier cannot be guessed by trying again. A replay also revokes
    // what the first exchange gave out: the code has leaked.
    m_db.prepare("UPDATE auth_codes SET used = 1 WHERE code_hash = ?1").bind(1, hash).run();
    if (used)
        m_db.prepare("UPDATE tokens SET revoked = 1 WHERE auth_code_hash = ?1").bind(1, hash).run();

    const bool verifierForm
        = verifier.size() >= 43 && verifier.size() <= 128 && std::all_of(verifier.begin(), verifier.end(), [](char c) {
              return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.'
                  || c == '_' || c == '~';
          });
    const bool verifierMatches = verifierForm && constantTimeEquals(base64url(sha256(verifier)), challenge);

    std::string token;
    if (!used && !expired && clientMatches && verifierMatches) {
        token = newDeviceToken();
        m_db.prepare("INSERT INTO tokens(token_hash, user_id, auth_code_hash, created_at) VALUES(?1, ?2, ?3, ?4)")
            .bind(1, sha256Hex(token))
            .bind(2, userId)
            .bind(3, hash)
            .bind(4, now)
            .run();
    }
    t.commit();
    if (used)
        throw ServiceError(400, "invalid_grant", "この認可コードはすでに使われています。");
    if (expired)
        throw ServiceError(400, "invalid_grant", "認可コードの有効期限が切れています。");
    if (!clientMatches)
        throw ServiceError(400, "invalid_grant", "認可コードの発行先が一致しません。");
    if (!verifierMatches)
        throw ServiceError(400, "invalid_grant", "コード検証子が一致しません。");
    return { token };
}

// --- demo data --------------------------------------------------------------------

std::string MailStore::importConversation(const std::string &userId, Conversation c)
{
    std::lock_guard lock(m_mutex);
    Transaction t(m_db, true);
    requireUser(userId);
    if (c.id.empty())
        c.id = randomId("conv_");
    std::int64_t created = c.messages.empty() ? nowMillis() : c.messages.front().createdAt;
    for (const auto &m : c.messages)
        created = std::min(created, m.createdAt);
    m_db.prepare("INSERT INTO conversations(id, user_id, subject, status, transport, participant_name,"
                 " participant_address, unread, ai_summary, ai_request, ai_deadline, ai_draft, ai_risk, created_at)"
                 " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14)")
        .bind(1, c.id)
        .bind(2, userId)
        .bind(3, c.subject)
        .bind(4, c.status)
        .bind(5, c.transport)
        .bind(6, c.participantName)
        .bind(7, asciiLower(c.participantAddress))
        .bind(8, std::int64_t { c.unread ? 1 : 0 })
        .bind(9, c.ai.summary)
        .bind(10, c.ai.request)
        .bind(11, c.ai.deadline)
        .bind(12, c.ai.draft)
        .bind(13, c.ai.risk)
        .bind(14, created)
        .run();
    for (auto &m : c.messages) {
        if (m.id.empty())
            m.id = randomId("msg_");
        m.conversationId = c.id;
        m.senderEmail = asciiLower(m.senderEmail);
        insertMessage(m);
    }
    refreshSummary(c.id);
    t.commit();
    return c.id;
}

} // namespace quarn::service
