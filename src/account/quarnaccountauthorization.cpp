#include "account/quarnaccountauthorization.h"

#include "core/text.h"
#include "quarn/config.h"

#include <QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QScopeGuard>
#include <QTimer>
#include <QUrlQuery>

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <cerrno>
#include <string>

#include <sys/random.h>

using namespace Qt::StringLiterals;

namespace quarn {

namespace {

const QString kClientId = u"quarn-mail"_s;
const QString kRedirectUri = u"quarn-mail://auth"_s;
const QString kTokenPrefix = u"tok_mail_"_s;
constexpr int kRequestTimeoutMs = 30'000;

using Failure = QuarnAccountAuthorization::Failure;

QString base64url(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QByteArray sha256(const QByteArray &bytes)
{
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int length = 0;
    if (EVP_Digest(bytes.constData(), size_t(bytes.size()), reinterpret_cast<unsigned char *>(digest.data()), &length,
            EVP_sha256(), nullptr)
        != 1)
        throw PlatformError(u"SHA-256 digest failed"_s);
    digest.truncate(length);
    return digest;
}

/// The first item of that name; an item without a value or with an empty one
/// counts as absent, and later items of the same name are never looked at.
std::optional<QString> queryValue(const QList<std::pair<QString, QString>> &items, const QString &name)
{
    for (const auto &[key, value] : items) {
        if (key == name)
            return value.isEmpty() ? std::nullopt : std::optional<QString>(value);
    }
    return std::nullopt;
}

/// No early exit once the lengths agree, so the time taken does not tell how
/// much of a guessed state was right.
bool constantTimeEquals(const QString &a, const QString &b)
{
    const QByteArray x = a.toUtf8();
    const QByteArray y = b.toUtf8();
    if (x.size() != y.size())
        return false;
    unsigned char gathered = 0;
    for (qsizetype i = 0; i < x.size(); ++i)
        gathered |= static_cast<unsigned char>(x[i] ^ y[i]);
    return gathered == 0;
}

bool hasTokenPrefix(const QString &token)
{
    return text::graphemePrefix(token, kTokenPrefix.size()) == kTokenPrefix;
}

QCoro::Task<nlohmann::json> postJSON(
    QuarnAccountAuthorization::Transport transport, QUrl url, nlohmann::ordered_json body)
{
    HttpRequest request;
    request.method = "POST";
    request.request = QNetworkRequest(url);
    request.request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.request.setRawHeader("Accept", "application/json");
    request.request.setTransferTimeout(kRequestTimeoutMs);
    // The code and verifier go to the one configured endpoint and nowhere
    // else; a redirect is answered as the status it is.
    request.request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    // An encoder failure is passed on as it is.
    request.body = QByteArray::fromStdString(body.dump());

    // Tasks are awaited from named locals throughout: GCC 12 destroys some
    // temporaries of a co_await expression twice.
    HttpResponse response;
    bool reached = false;
    try {
        auto sending = transport(std::move(request));
        response = co_await std::move(sending);
        reached = true;
    } catch (...) {
        // The transport's own error is dropped on purpose.
    }
    if (!reached)
        throw Failure(Failure::Kind::unreachable);

    if (response.body.size() > QuarnAccountAuthorization::maximumResponseSize)
        throw Failure(Failure::Kind::responseTooLarge);
    if (!response.statusCode)
        throw Failure(Failure::Kind::malformedResponse);

    nlohmann::json answer = nlohmann::json::parse(response.body.cbegin(), response.body.cend(), nullptr, false);
    if (answer.is_discarded() || !answer.is_object())
        throw Failure(Failure::Kind::malformedResponse);

    const int status = *response.statusCode;
    if (status < 200 || status > 299) {
        for (const char *member : { "code", "error" }) {
            const auto it = answer.find(member);
            if (it != answer.end() && it->is_string())
                throw Failure::rejected(QString::fromStdString(it->get<std::string>()));
        }
        throw Failure::rejected(u"http_"_s + QString::number(status));
    }
    co_return answer;
}

QCoro::Task<QString> exchange(QuarnAccountAuthorization::Transport transport, QUrl callback, PendingSignIn pending)
{
    if (!QuarnAccountAuthorization::isAuthorizationCallback(callback) || !callback.isValid())
        throw Failure(Failure::Kind::malformedCallback);
    const auto items = QUrlQuery(callback).queryItems(QUrl::FullyDecoded);

    // The state is settled before anything else in the callback is believed.
    const auto state = queryValue(items, u"state"_s);
    if (!state || !constantTimeEquals(*state, pending.state))
        throw Failure(Failure::Kind::stateMismatch);

    if (const auto error = queryValue(items, u"error"_s)) {
        if (*error == u"access_denied"_s)
            throw Failure(Failure::Kind::declined);
        throw Failure::rejected(*error);
    }

    const auto code = queryValue(items, u"code"_s);
    if (!code)
        throw Failure(Failure::Kind::malformedCallback);

    nlohmann::ordered_json body = {
        { "grant_type", "authorization_code" },
        { "code", code->toStdString() },
        { "code_verifier", pending.codeVerifier.toStdString() },
        { "client_id", kClientId.toStdString() },
        { "redirect_uri", kRedirectUri.toStdString() },
    };
    auto posting = postJSON(std::move(transport), QuarnAccountAuthorization::tokenURL(), std::move(body));
    const nlohmann::json answer = co_await std::move(posting);

    // The length is left to the credential store, which checks the full form.
    const auto token = answer.find("access_token");
    if (token == answer.end() || !token->is_string())
        throw Failure(Failure::Kind::malformedResponse);
    QString text = QString::fromStdString(token->get<std::string>());
    if (!hasTokenPrefix(text))
        throw Failure(Failure::Kind::malformedResponse);
    co_return text;
}

} // namespace

QString SecureRandomError::description() const
{
    return u"安全な乱数を取得できなかったため、サインインを開始できませんでした。"_s;
}

QString QuarnAccountAuthorization::Failure::description() const
{
    return u"Quarnアカウントに接続できませんでした。もう一度試してください。"_s;
}

QuarnAccountAuthorization::QuarnAccountAuthorization(Transport transport, RandomBytes randomBytes)
    : m_transport(transport ? std::move(transport) : Transport(&QuarnAccountAuthorization::sendThroughNetwork))
    , m_randomBytes(randomBytes ? std::move(randomBytes) : RandomBytes(&QuarnAccountAuthorization::secureRandomBytes))
{ }

QUrl QuarnAccountAuthorization::authorizePageURL()
{
    return QUrl(QString::fromUtf8(config::kAuthorizeUrl));
}

QUrl QuarnAccountAuthorization::tokenURL()
{
    return QUrl(QString::fromUtf8(config::kTokenUrl));
}

QByteArray QuarnAccountAuthorization::secureRandomBytes(qsizetype count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    qsizetype filled = 0;
    while (filled < count) {
        const ssize_t n = ::getrandom(bytes.data() + filled, size_t(count - filled), 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw SecureRandomError();
        }
        filled += n;
    }
    return bytes;
}

PendingSignIn QuarnAccountAuthorization::beginSignIn() const
{
    constexpr qsizetype kRandomLength = 32;
    const auto draw = [this] {
        QByteArray bytes;
        try {
            bytes = m_randomBytes(kRandomLength);
        } catch (...) {
            throw SecureRandomError();
        }
        if (bytes.size() != kRandomLength)
            throw SecureRandomError();
        return bytes;
    };
    PendingSignIn pending;
    pending.codeVerifier = base64url(draw());
    pending.state = base64url(draw());
    const QString challenge = base64url(sha256(pending.codeVerifier.toUtf8()));

    QUrl url = authorizePageURL();
    QUrlQuery query;
    query.setQueryItems({
        { u"client_id"_s, kClientId },
        { u"redirect_uri"_s, kRedirectUri },
        { u"response_type"_s, u"code"_s },
        { u"code_challenge"_s, challenge },
        { u"code_challenge_method"_s, u"S256"_s },
        { u"state"_s, pending.state },
        { u"scope"_s, u"mail"_s },
    });
    url.setQuery(query);
    pending.authorizationURL = url;
    return pending;
}

QCoro::Task<QString> QuarnAccountAuthorization::completeSignIn(QUrl callback, PendingSignIn pending) const
{
    // A separate coroutine with its own copy of the transport: this value may
    // be gone before the exchange finishes.
    return exchange(m_transport, std::move(callback), std::move(pending));
}

bool QuarnAccountAuthorization::isAuthorizationCallback(const QUrl &url)
{
    const QString scheme = url.scheme();
    if (scheme.isEmpty() || scheme.toLower() != u"quarn-mail"_s)
        return false;
    const QString host = url.host();
    if (!host.isEmpty() && host.toLower() == u"auth"_s)
        return true;
    return url.path() == u"/auth"_s;
}

QCoro::Task<HttpResponse> QuarnAccountAuthorization::sendThroughNetwork(HttpRequest request)
{
    // Manager and reply are released from the event loop, never from inside
    // one of the reply's own signals.
    auto *manager = new QNetworkAccessManager;
    const auto release = qScopeGuard([manager] { manager->deleteLater(); });
    QPointer<QNetworkReply> reply = manager->sendCustomRequest(request.request, request.method, request.body);

    constexpr qsizetype kKeep = maximumResponseSize + 1;
    auto body = std::make_shared<QByteArray>();
    const auto take = [reply, body] {
        if (!reply || body->size() >= kKeep)
            return;
        body->append(reply->read(kKeep - body->size()));
        if (body->size() >= kKeep)
            QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
    };
    QObject::connect(reply, &QNetworkReply::readyRead, reply, take);
    // The request's time-out also bounds the whole exchange: Qt's own restarts
    // with every byte, so a trickling answer would never end.
    if (const int limit = request.request.transferTimeout(); limit > 0) {
        auto *deadline = new QTimer(reply);
        deadline->setSingleShot(true);
        QObject::connect(deadline, &QTimer::timeout, reply, [reply] {
            if (reply)
                reply->abort();
        });
        deadline->start(limit);
    }

    co_await reply.get();
    if (!reply)
        throw PlatformError(u"The request was cancelled."_s);
    take();

    // An answer cut off here for its size is handed on whole so far: the
    // caller refuses it for being too large.
    const bool cutForSize = body->size() >= kKeep;
    const QNetworkReply::NetworkError error = reply->error();
    // A transport failure after the headers (a reset or a time-out mid-body)
    // leaves a truncated body behind a valid status: that is no answer at
    // all. HTTP error statuses (codes 201 and up) are answers.
    if (!cutForSize && error != QNetworkReply::NoError && int(error) < 200)
        throw PlatformError(reply->errorString(), int(error));
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        if (error != QNetworkReply::NoError && !cutForSize)
            throw PlatformError(reply->errorString(), int(error));
        co_return HttpResponse { *body, std::nullopt };
    }
    co_return HttpResponse { *body, status.toInt() };
}

} // namespace quarn
