#pragma once

#include "api/mailapierror.h"
#include "model/records.h"

#include <QCoroTask>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <memory>
#include <optional>

class QNetworkAccessManager;

namespace quarn {

/// How long a service request may take and how large its answer may be.
struct APIClientLimits
{
    /// From sending the request to the answer's last byte.
    std::chrono::milliseconds deadline = std::chrono::seconds(30);
    /// The largest answer body accepted; the state of a huge mailbox is a few
    /// megabytes.
    qint64 maximumAnswerBytes = qint64(64) << 20;
};

/// The last state answer a caller received and what it decoded to. Handed
/// to APIClient::state, it spares decoding an answer whose bytes are the same
/// as the last one's (the periodic reload of an unchanged list): that answer
/// is the state decoded before, shared rather than copied. Belongs to the
/// caller and is used on its thread only.
struct MailStateMemo
{
    QByteArray body;
    /// Present once `body` has been decoded.
    std::optional<MailState> state;
};

/// Client of the mail service's REST interface: one operation per endpoint.
///
/// An immutable, cheap value holding only the base URL; it keeps no token,
/// connection or other state, so copies are interchangeable. Each operation
/// takes the bearer token as its last argument, sends one request (never
/// retried, redirects not followed) and fails with MailAPIError for what the
/// service answered, or with PlatformError for a transport failure: the
/// network stack's own message, or ours for a request that ran out of time.
///
/// A service that misbehaves cannot hold the client: every request ends by
/// its deadline, counted from the start whatever arrives meanwhile, and an
/// answer larger than the bound is cut off while it arrives (the bytes are
/// read as they come and never kept beyond the bound) and fails as
/// `invalidResponse`.
///
/// Requests go through one QNetworkAccessManager per thread (created on first
/// use; on the application's thread it is a child of the application object).
/// A manager is not thread-safe, and sharing one per thread keeps HTTP
/// connections alive between requests. Operations are coroutines that must be
/// awaited on the thread that started them, as every operation here is.
class APIClient
{
public:
    using Limits = APIClientLimits;

    /// The description of a request that ran out of time.
    [[nodiscard]] static QString timeoutMessage();

    /// The service origin fixed at build time; there is no run-time override.
    [[nodiscard]] static QUrl productionBaseURL();

    explicit APIClient(QUrl baseURL, Limits limits = Limits());

    [[nodiscard]] QUrl baseURL() const { return m_baseURL; }
    [[nodiscard]] const Limits &limits() const { return m_limits; }

    /// GET /api/state?status=<raw value>. With a memo, an answer of the same
    /// bytes as the memo's is not decoded again, and a newly decoded one
    /// becomes the memo's.
    [[nodiscard]] QCoro::Task<MailState> state(
        ConversationStatus status, QString token, std::shared_ptr<MailStateMemo> memo = {}) const;
    /// GET /api/conversations/<id>
    [[nodiscard]] QCoro::Task<ConversationDetail> conversation(QString id, QString token) const;
    /// GET /api/people
    [[nodiscard]] QCoro::Task<PeopleResponse> people(QString token) const;
    /// GET /api/people/<email>/timeline, with ?before=<n> only when `before` is given.
    [[nodiscard]] QCoro::Task<PersonTimeline> personTimeline(
        QString email, std::optional<qint64> before, QString token) const;
    /// POST /api/conversations/<id>/messages {"body"}
    [[nodiscard]] QCoro::Task<ConversationMutationResponse> reply(
        QString conversationID, QString body, QString token) const;
    /// PUT /api/conversations/<id>/status {"status"}
    [[nodiscard]] QCoro::Task<OkResponse> setStatus(
        ConversationStatus status, QString conversationID, QString token) const;
    /// POST /api/conversations {"to","subject","body"[,"scheduledFor"]}. An
    /// invalid `scheduledFor` fails with EncodeError before anything is sent.
    [[nodiscard]] QCoro::Task<ConversationMutationResponse> create(
        QStringList to, QString subject, QString body, std::optional<QDateTime> scheduledFor, QString token) const;
    /// POST /api/mailbox {"localPart","displayName"}
    [[nodiscard]] QCoro::Task<MailboxResponse> claimMailbox(
        QString localPart, QString displayName, QString token) const;
    /// POST /api/conversations/<id>/ai/start with the body {}
    [[nodiscard]] QCoro::Task<AiStartResponse> startAI(QString conversationID, QString token) const;
    /// POST /api/conversations/<id>/ai/complete {"jobId", the insight's fields}
    [[nodiscard]] QCoro::Task<AiCompleteResponse> completeAI(
        QString conversationID, QString jobID, AiInsight insight, QString token) const;
    /// POST /api/conversations/<id>/ai/fail {"jobId","errorCode"}. The answer
    /// must still be an OkResponse, but nothing is handed back.
    [[nodiscard]] QCoro::Task<void> failAI(
        QString conversationID, QString jobID, QString errorCode, QString token) const;

    /// The network access manager of the calling thread (see the class comment).
    [[nodiscard]] static QNetworkAccessManager *networkAccessManager();
    /// Stops handing out `manager` (when it is still the calling thread's)
    /// and destroys it, off this thread, once its last reply is gone.
    static void retireNetworkAccessManager(QNetworkAccessManager *manager);

private:
    QUrl m_baseURL;
    Limits m_limits;
};

} // namespace quarn
