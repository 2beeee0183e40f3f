#include "api/apiclient.h"

#include "core/async.h"
#include "core/error.h"
#include "model/json.h"
#include "model/mailtime.h"
#include "quarn/config.h"

#include <QCoreApplication>
#include <QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QUrlQuery>

#include <algorithm>
#include <memory>
#include <optional>

namespace quarn {

using nlohmann::ordered_json;

namespace {

// Unreserved characters stay as they are anyway; these are the rest of the
// characters allowed in a URL path. "/" is among them, so an identifier that
// contains one splits the path.
const QByteArray kPathAllowedExtras = QByteArrayLiteral("!$&'()*+,;=:@/");

QByteArray encodeIdentifier(const QString &identifier)
{
    // Qt normalises the path before sending, even percent-encoded dots: "."
    // and ".." segments are resolved, so an identifier holding them would
    // address another resource (a reply to "../x" goes elsewhere on the
    // service, token included), and Qt 6.4 also drops two-character segments
    // such as ".c" in mid-path. No identifier the service hands out and no
    // valid address has a segment that begins with a dot; one that does is
    // refused before anything is sent.
    for (const QStringView segment : QStringView(identifier).split(u'/')) {
        if (segment.startsWith(u'.'))
            throw EncodeError(
                QStringLiteral("identifier with a path segment that begins with a dot: %1").arg(identifier));
    }
    return QUrl::toPercentEncoding(identifier, kPathAllowedExtras);
}

// `encodedPath` begins with "/" and is already percent-encoded; it is taken
// as it is, so an encoded "%" is not encoded a second time.
QUrl endpoint(const QUrl &base, const QByteArray &encodedPath)
{
    QString basePath = base.path(QUrl::FullyEncoded);
    if (basePath.endsWith(u'/'))
        basePath.chop(1);
    QUrl url = base;
    url.setPath(basePath + QString::fromLatin1(encodedPath), QUrl::TolerantMode);
    return url;
}

QUrl withQuery(QUrl url, const QString &name, const QString &value)
{
    QUrlQuery query;
    query.addQueryItem(name, value);
    url.setQuery(query);
    return url;
}

QByteArray conversationPath(const QString &id, const char *suffix = "")
{
    return QByteArrayLiteral("/api/conversations/") + encodeIdentifier(id) + QByteArray(suffix);
}

/// What the network stack may hold unread at a time.
constexpr qint64 kReadBufferBytes = qint64(1) << 20;

struct DeleteLater
{
    void operator()(QObject *o) const { o->deleteLater(); }
};

struct Answer
{
    int status = 0;
    QByteArray body;
};

/// Moves what `reply` holds unread into `received`, never more than makes it
/// one byte longer than `bound` (enough to tell that the answer is too large).
/// The bytes are read straight into `received`: reading into a buffer sized
/// for the bound would allocate, and touch, far more than arrived.
void takeAvailable(QNetworkReply *reply, QByteArray &received, qint64 bound)
{
    const qint64 room = bound + 1 - received.size();
    const qint64 wanted = std::min(reply->bytesAvailable(), room);
    if (wanted <= 0)
        return;
    const qsizetype at = received.size();
    received.resize(at + qsizetype(wanted));
    const qint64 got = reply->read(received.data() + at, wanted);
    received.resize(at + qsizetype(std::max<qint64>(got, 0)));
}

bool isTransportFailure(QNetworkReply::NetworkError error)
{
    // Qt reports HTTP error statuses as errors too (codes 201 and up); those
    // are answers, and the status decides. Below 200 lie the connection,
    // TLS, timeout, cancellation and proxy failures.
    return error != QNetworkReply::NoError && int(error) < 200;
}

// The network stack writes header values as they are, so a CR or LF in a
// token would end the Authorization header and start another of the token's
// choosing. No valid token holds a control character; the service would
// reject it, so it is refused here as unauthorized, before anything is sent.
bool isSendableToken(const QString &token)
{
    return std::none_of(
        token.cbegin(), token.cend(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

QCoro::Task<Answer> send(
    QUrl url, QByteArray method, std::optional<QByteArray> body, QString token, APIClient::Limits limits)
{
    if (!isSendableToken(token))
        throw MailAPIError::unauthorized();

    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setRawHeader(QByteArrayLiteral("Authorization"), QByteArrayLiteral("Bearer ") + token.toUtf8());
    request.setRawHeader(QByteArrayLiteral("Accept"), QByteArrayLiteral("application/json"));
    if (body)
        request.setRawHeader(QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/json"));

    QNetworkAccessManager *manager = APIClient::networkAccessManager();
    std::unique_ptr<QNetworkReply, DeleteLater> reply(
        body ? manager->sendCustomRequest(request, method, *body) : manager->sendCustomRequest(request, method));
    QNetworkReply *const r = reply.get();
    // The stack keeps no more than this unread; what arrives is moved into
    // `received` at once and counted there.
    r->setReadBufferSize(kReadBufferBytes);

    struct Progress
    {
        QByteArray received;
        bool tooLarge = false;
        bool timedOut = false;
        bool unpackFailed = false;
    };
    const auto progress = std::make_shared<Progress>();
    const qint64 bound = limits.maximumAnswerBytes;
    // Aborting from inside one of the reply's own signals would finish it
    // while the stack is still in that signal; the abort is queued instead,
    // and nothing more is kept meanwhile.
    const auto cutOff = [r, progress] {
        progress->tooLarge = true;
        progress->received.clear();
        progress->received.squeeze();
        QMetaObject::invokeMethod(r, &QNetworkReply::abort, Qt::QueuedConnection);
    };
    QObject::connect(r, &QNetworkReply::metaDataChanged, r, [r, progress, bound, cutOff] {
        const QVariant length = r->header(QNetworkRequest::ContentLengthHeader);
        if (progress->tooLarge || !length.isValid())
            return;
        const qint64 declared = length.toLongLong();
        if (declared > bound)
            cutOff();
        else if (declared > progress->received.size())
            progress->received.reserve(qsizetype(declared));
    });
    QObject::connect(r, &QNetworkReply::readyRead, r, [r, progress, bound, cutOff] {
        if (progress->tooLarge) {
            (void)r->skip(r->bytesAvailable());
            return;
        }
        takeAvailable(r, progress->received, bound);
        if (progress->received.size() > bound)
            cutOff();
    });
    // A compressed answer the stack refuses to unpack (its own check against
    // archive bombs) is reported as an error, but when the answer's end is the
    // connection's end the reply never finishes: it would wait for the
    // deadline while the sender goes on. It is unreadable, and ends now.
    QObject::connect(r, &QNetworkReply::errorOccurred, r, [r, progress](QNetworkReply::NetworkError code) {
        const int status = r->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QByteArray encoding = r->rawHeader(QByteArrayLiteral("Content-Encoding")).trimmed().toLower();
        if (code != QNetworkReply::UnknownContentError || status < 200 || status > 299 || encoding.isEmpty()
            || encoding == "identity" || r->isFinished())
            return;
        progress->unpackFailed = true;
        progress->received.clear();
        progress->received.squeeze();
        QMetaObject::invokeMethod(r, &QNetworkReply::abort, Qt::QueuedConnection);
    });
    // One deadline for the whole request: a transfer timeout restarts with
    // every byte, so a trickling answer or an endless header would never end.
    auto *deadline = new QTimer(r);
    deadline->setSingleShot(true);
    QObject::connect(deadline, &QTimer::timeout, r, [r, progress] {
        progress->timedOut = true;
        r->abort();
    });
    deadline->start(limits.deadline);

    co_await r;
    deadline->stop();

    if (progress->tooLarge || progress->unpackFailed)
        throw MailAPIError::invalidResponse();
    if (progress->timedOut) {
        // The abort reaches the connection through the manager's network
        // thread, and that thread may never get to it: Qt reads a header a
        // byte at a time for as long as bytes keep coming, so a service
        // that sends an endless header holds the thread, and with it every
        // later request of this manager. The next request gets a new one.
        APIClient::retireNetworkAccessManager(manager);
        throw PlatformError(APIClient::timeoutMessage(), int(QNetworkReply::TimeoutError));
    }
    const QVariant status = r->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (isTransportFailure(r->error()) || (!status.isValid() && r->error() != QNetworkReply::NoError))
        throw PlatformError(r->errorString(), int(r->error()));
    if (!status.isValid())
        throw MailAPIError::invalidResponse();
    Answer answer;
    answer.status = status.toInt();
    if (answer.status != 401 && answer.status != 403) {
        takeAvailable(r, progress->received, bound);
        if (progress->received.size() > bound || r->bytesAvailable() > 0)
            throw MailAPIError::invalidResponse();
        answer.body = std::move(progress->received);
    }
    co_return answer;
}

/// Answers at least this large are decoded off the main thread.
constexpr qsizetype kDecodeOnWorkerBytes = 64 * 1024;

QString errorMessage(const QByteArray &body)
{
    try {
        const auto error = decodeJson<APIErrorBody>(body);
        if (error.message)
            return *error.message;
        if (error.reason)
            return *error.reason;
        if (error.error)
            return *error.error;
    } catch (const DecodeError &) { }
    return QStringLiteral("通信に失敗しました。");
}

/// The body of a successful answer; an unauthorised or other failing status
/// is thrown as the error it stands for.
QCoro::Task<QByteArray> answerBody(
    QUrl url, QByteArray method, std::optional<QByteArray> body, QString token, APIClient::Limits limits)
{
    auto sending = send(std::move(url), std::move(method), std::move(body), std::move(token), limits);
    const Answer answer = co_await std::move(sending);
    if (answer.status == 401 || answer.status == 403)
        throw MailAPIError::unauthorized();
    if (answer.status < 200 || answer.status > 299)
        throw MailAPIError::server(answer.status, errorMessage(answer.body));
    co_return answer.body;
}

template<typename T> QCoro::Task<T> decodeBody(QByteArray body)
{
    if (body.size() < kDecodeOnWorkerBytes) {
        try {
            co_return decodeJson<T>(body);
        } catch (const DecodeError &) {
            throw MailAPIError::invalidResponse();
        }
    }
    // A large answer (the state of a big mailbox is megabytes) is decoded on
    // a worker, so that the window keeps drawing meanwhile; a small one is
    // not worth the hop between threads.
    auto job = [body] { return decodeJson<T>(body); };
    auto decoding = runOn(QThreadPool::globalInstance(), std::move(job));
    std::optional<T> decoded;
    try {
        decoded.emplace(co_await std::move(decoding));
    } catch (const DecodeError &) {
        throw MailAPIError::invalidResponse();
    }
    co_return std::move(*decoded);
}

template<typename T>
QCoro::Task<T> request(
    QUrl url, QByteArray method, std::optional<QByteArray> body, QString token, APIClient::Limits limits)
{
    auto receiving = answerBody(std::move(url), std::move(method), std::move(body), std::move(token), limits);
    const QByteArray answer = co_await std::move(receiving);
    auto decoding = decodeBody<T>(answer);
    co_return co_await std::move(decoding);
}

QByteArray jsonBody(const ordered_json &object)
{
    return dumpJson(object);
}

const QByteArray kGet = QByteArrayLiteral("GET");
const QByteArray kPost = QByteArrayLiteral("POST");
const QByteArray kPut = QByteArrayLiteral("PUT");

} // namespace

QUrl APIClient::productionBaseURL()
{
    static const QUrl url = [] {
        QUrl u(QString::fromUtf8(config::kBaseUrl), QUrl::StrictMode);
        Q_ASSERT_X(u.isValid() && !u.host().isEmpty(), "APIClient", "the configured base URL is not a valid origin");
        return u;
    }();
    return url;
}

APIClient::APIClient(QUrl baseURL, Limits limits)
    : m_baseURL(std::move(baseURL))
    , m_limits(limits)
{ }

QString APIClient::timeoutMessage()
{
    return QStringLiteral("サービスが時間内に応答しませんでした。しばらくしてからもう一度試してください。");
}

namespace {

struct ManagerSlot
{
    QPointer<QNetworkAccessManager> manager;
    std::unique_ptr<QNetworkAccessManager> owned;
};

ManagerSlot &managerSlot()
{
    thread_local ManagerSlot slot;
    return slot;
}

/// Destroys `manager` on a thread of its own. Its destructor waits up to
/// five seconds for the manager's network thread, which may be the very
/// thread that could not let go of a connection; the window must not wait.
void destroyAside(QNetworkAccessManager *manager)
{
    auto *reaper = new QThread;
    reaper->setObjectName(QStringLiteral("Quarn network reaper"));
    manager->moveToThread(reaper);
    QObject::connect(reaper, &QThread::started, manager, [manager, reaper] {
        delete manager;
        reaper->quit();
    });
    // Deleted where it was made, once it has ended.
    QObject::connect(reaper, &QThread::finished, reaper, &QObject::deleteLater);
    reaper->start();
}

/// Destroys a retired manager once none of its replies is left; they are
/// its children, and each is deleted later by the request that made it.
void destroyWhenIdle(QNetworkAccessManager *manager)
{
    const QList<QNetworkReply *> replies = manager->findChildren<QNetworkReply *>(Qt::FindDirectChildrenOnly);
    if (replies.isEmpty()) {
        destroyAside(manager);
        return;
    }
    for (QNetworkReply *reply : replies) {
        // Queued: a reply is still among the children while it is destroyed.
        QObject::connect(
            reply, &QObject::destroyed, manager, [manager] { destroyWhenIdle(manager); },
            Qt::ConnectionType(Qt::SingleShotConnection | Qt::QueuedConnection));
    }
}

} // namespace

QNetworkAccessManager *APIClient::networkAccessManager()
{
    ManagerSlot &slot = managerSlot();
    if (!slot.manager) {
        QCoreApplication *app = QCoreApplication::instance();
        if (app && app->thread() == QThread::currentThread()) {
            // Destroyed with the application, while Qt is still up.
            slot.manager = new QNetworkAccessManager(app);
        } else {
            slot.owned = std::make_unique<QNetworkAccessManager>();
            slot.manager = slot.owned.get();
        }
    }
    return slot.manager;
}

void APIClient::retireNetworkAccessManager(QNetworkAccessManager *manager)
{
    ManagerSlot &slot = managerSlot();
    if (!manager || slot.manager != manager)
        return;
    if (slot.owned.get() == manager)
        (void)slot.owned.release();
    slot.manager = nullptr;
    manager->setParent(nullptr);
    destroyWhenIdle(manager);
}

// Each operation builds its URL and body before its first suspension (QCoro
// tasks start eagerly), so nothing refers to the client after that point.

QCoro::Task<MailState> APIClient::state(
    ConversationStatus status, QString token, std::shared_ptr<MailStateMemo> memo) const
{
    QUrl url = withQuery(endpoint(m_baseURL, "/api/state"), QStringLiteral("status"), rawValue(status));
    if (!memo)
        co_return co_await request<MailState>(std::move(url), kGet, std::nullopt, std::move(token), m_limits);

    auto receiving = answerBody(std::move(url), kGet, std::nullopt, std::move(token), m_limits);
    const QByteArray body = co_await std::move(receiving);
    // Returned as a copy made here: QCoro's promise moves from any lvalue
    // handed to co_return that is not const, which would empty the memo.
    if (memo->state && body == memo->body)
        co_return MailState(*memo->state);
    auto decoding = decodeBody<MailState>(body);
    MailState decoded = co_await std::move(decoding);
    memo->body = body;
    memo->state = decoded;
    co_return decoded;
}

QCoro::Task<ConversationDetail> APIClient::conversation(QString id, QString token) const
{
    QUrl url = endpoint(m_baseURL, conversationPath(id));
    co_return co_await request<ConversationDetail>(std::move(url), kGet, std::nullopt, std::move(token), m_limits);
}

QCoro::Task<PeopleResponse> APIClient::people(QString token) const
{
    QUrl url = endpoint(m_baseURL, "/api/people");
    co_return co_await request<PeopleResponse>(std::move(url), kGet, std::nullopt, std::move(token), m_limits);
}

QCoro::Task<PersonTimeline> APIClient::personTimeline(QString email, std::optional<qint64> before, QString token) const
{
    QUrl url = endpoint(m_baseURL, QByteArrayLiteral("/api/people/") + encodeIdentifier(email) + "/timeline");
    if (before)
        url = withQuery(std::move(url), QStringLiteral("before"), QString::number(*before));
    co_return co_await request<PersonTimeline>(std::move(url), kGet, std::nullopt, std::move(token), m_limits);
}

QCoro::Task<ConversationMutationResponse> APIClient::reply(QString conversationID, QString body, QString token) const
{
    QUrl url = endpoint(m_baseURL, conversationPath(conversationID, "/messages"));
    ordered_json object = ordered_json::object();
    object["body"] = toJson(body);
    co_return co_await request<ConversationMutationResponse>(
        std::move(url), kPost, jsonBody(object), std::move(token), m_limits);
}

QCoro::Task<OkResponse> APIClient::setStatus(ConversationStatus status, QString conversationID, QString token) const
{
    QUrl url = endpoint(m_baseURL, conversationPath(conversationID, "/status"));
    ordered_json object = ordered_json::object();
    object["status"] = toJson(status);
    co_return co_await request<OkResponse>(std::move(url), kPut, jsonBody(object), std::move(token), m_limits);
}

QCoro::Task<ConversationMutationResponse> APIClient::create(
    QStringList to, QString subject, QString body, std::optional<QDateTime> scheduledFor, QString token) const
{
    QUrl url = endpoint(m_baseURL, "/api/conversations");
    ordered_json object = ordered_json::object();
    object["to"] = toJson(QList<QString>(to));
    object["subject"] = toJson(subject);
    object["body"] = toJson(body);
    if (scheduledFor) {
        if (!scheduledFor->isValid())
            throw EncodeError(QStringLiteral("scheduledFor is not a valid date"));
        object["scheduledFor"] = toJson(timeFromDate(*scheduledFor));
    }
    co_return co_await request<ConversationMutationResponse>(
        std::move(url), kPost, jsonBody(object), std::move(token), m_limits);
}

QCoro::Task<MailboxResponse> APIClient::claimMailbox(QString localPart, QString displayName, QString token) const
{
    QUrl url = endpoint(m_baseURL, "/api/mailbox");
    ordered_json object = ordered_json::object();
    object["localPart"] = toJson(localPart);
    object["displayName"] = toJson(displayName);
    co_return co_await request<MailboxResponse>(std::move(url), kPost, jsonBody(object), std::move(token), m_limits);
}

QCoro::Task<AiStartResponse> APIClient::startAI(QString conversationID, QString token) const
{
    QUrl url = endpoint(m_baseURL, conversationPath(conversationID, "/ai/start"));
    co_return co_await request<AiStartResponse>(
        std::move(url), kPost, QByteArrayLiteral("{}"), std::move(token), m_limits);
}

QCoro::Task<AiCompleteResponse> APIClient::completeAI(
    QString conversationID, QString jobID, AiInsight insight, QString token) const
{
    QUrl url = endpoint(m_baseURL, conversationPath(conversationID, "/ai/complete"));
    ordered_json object = ordered_json::object();
    object["jobId"] = toJson(jobID);
    object["summary"] = toJson(insight.summary);
    if (insight.request)
        object["request"] = toJson(*insight.request);
    if (insight.deadline)
        object["deadline"] = toJson(*insight.deadline);
    object["suggestedStatus"] = toJson(insight.suggestedStatus);
    if (insight.draft)
        object["draft"] = toJson(*insight.draft);
    object["risk"] = toJson(insight.risk);
    co_return co_await request<AiCompleteResponse>(std::move(url), kPost, jsonBody(object), std::move(token), m_limits);
}

QCoro::Task<void> APIClient::failAI(QString conversationID, QString jobID, QString errorCode, QString token) const
{
    QUrl url = endpoint(m_baseURL, conversationPath(conversationID, "/ai/fail"));
    ordered_json object = ordered_json::object();
    object["jobId"] = toJson(jobID);
    object["errorCode"] = toJson(errorCode);
    (void)co_await request<OkResponse>(std::move(url), kPost, jsonBody(object), std::move(token), m_limits);
}

} // namespace quarn
