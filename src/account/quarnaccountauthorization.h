#pragma once

#include "core/error.h"

#include <QByteArray>
#include <QCoroTask>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

namespace quarn {

/// A request as the sign-in hands it to its transport: method, the URL,
/// headers and time-out carried by `request`, and the body.
struct HttpRequest
{
    QByteArray method;
    QNetworkRequest request;
    QByteArray body;
};

/// What a transport answers: the body bytes and, when the answer was an HTTP
/// response, its status code.
struct HttpResponse
{
    QByteArray body;
    std::optional<int> statusCode;
};

/// The system's secure random source failed (or gave fewer bytes than asked
/// for). A sign-in is never started with weaker randomness.
class SecureRandomError : public Error
{
public:
    [[nodiscard]] QString description() const override;
};

/// A sign-in started in the browser and waiting for its callback. The caller
/// keeps it and passes it back to completeSignIn.
struct PendingSignIn
{
    /// The authorization page with every query item; opened in the browser.
    QUrl authorizationURL;
    /// 43-character base64url text from 32 random bytes, echoed by the callback.
    QString state;
    /// 43-character base64url text from 32 random bytes, sent with the code exchange.
    QString codeVerifier;
};

/// Obtains a device token by the OAuth 2 authorization-code flow with PKCE
/// (S256) in the user's browser: beginSignIn() makes the page URL, and
/// completeSignIn() checks the quarn-mail://auth callback and exchanges its
/// code for the token.
///
/// A plain value with two injected capabilities, the HTTP transport and the
/// random source, so that the whole flow runs without a network or a browser.
/// It keeps no state between calls.
class QuarnAccountAuthorization
{
public:
    /// Sends one request and answers the body and status. Throws on any
    /// transport failure (no connection, time-out). Must be callable from any
    /// thread.
    using Transport = std::function<QCoro::Task<HttpResponse>(HttpRequest)>;
    /// Answers `count` bytes of secure randomness, or throws. Must be
    /// callable from any thread.
    using RandomBytes = std::function<QByteArray(qsizetype count)>;

    /// Why completeSignIn failed. Equatable: two `rejected` failures are
    /// equal when their reasons are.
    class Failure : public Error
    {
    public:
        enum class Kind {
            rejected,
            unreachable,
            declined,
            stateMismatch,
            malformedCallback,
            malformedResponse,
            responseTooLarge,
        };

        explicit Failure(Kind kind, QString reason = {})
            : m_kind(kind)
            , m_reason(std::move(reason))
        { }
        static Failure rejected(QString reason) { return Failure(Kind::rejected, std::move(reason)); }

        [[nodiscard]] Kind kind() const { return m_kind; }
        /// The reason of a `rejected` failure; empty for the other cases.
        [[nodiscard]] const QString &reason() const { return m_reason; }
        /// The one message the app shows for every sign-in failure; the case
        /// itself is never shown to the user.
        [[nodiscard]] QString description() const override;

        friend bool operator==(const Failure &a, const Failure &b)
        {
            return a.m_kind == b.m_kind && a.m_reason == b.m_reason;
        }

    private:
        Kind m_kind;
        QString m_reason;
    };

    /// Empty arguments take the defaults: the network (sendThroughNetwork)
    /// and the system's secure random source (secureRandomBytes).
    explicit QuarnAccountAuthorization(Transport transport = {}, RandomBytes randomBytes = {});

    /// A fresh verifier, state and authorization-page URL. Throws
    /// SecureRandomError when the random source fails (and PlatformError in
    /// the unheard-of case that SHA-256 fails).
    [[nodiscard]] PendingSignIn beginSignIn() const;

    /// Checks `callback` against `pending` and exchanges its code for the
    /// device token. Throws Failure.
    [[nodiscard]] QCoro::Task<QString> completeSignIn(QUrl callback, PendingSignIn pending) const;

    /// Whether `url` is a sign-in callback (quarn-mail://auth, in any case,
    /// or quarn-mail:/auth) rather than, say, a conversation link.
    [[nodiscard]] static bool isAuthorizationCallback(const QUrl &url);

    /// `count` bytes from the operating system's secure generator
    /// (getrandom). Throws SecureRandomError when it fails.
    [[nodiscard]] static QByteArray secureRandomBytes(qsizetype count);

    /// The default transport: the platform's HTTP client. Reads at most
    /// maximumResponseSize + 1 body bytes, enough to tell an oversized answer.
    [[nodiscard]] static QCoro::Task<HttpResponse> sendThroughNetwork(HttpRequest request);

    [[nodiscard]] static QUrl authorizePageURL();
    [[nodiscard]] static QUrl tokenURL();

    static constexpr qsizetype maximumResponseSize = 65536;

private:
    Transport m_transport;
    RandomBytes m_randomBytes;
};

} // namespace quarn
