#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>
#include <optional>

namespace quarn::test {

/// The reference mail service (service/, the real executable) as a child
/// process on 127.0.0.1 at a free port, with its own database in a temporary
/// folder, for integration tests. Needs nothing of the client's code.
///
///     ReferenceService service;
///     QVERIFY2(service.start(), qPrintable(service.errorString()));
///     APIClient client(service.baseUrl());
///     ... client.state(ConversationStatus::inbox, service.token()) ...
///     service.deliver({.from = u"kim@example.com"_s, .subject = u"Hello"_s, .body = u"..."_s});
///
/// The destructor stops the service with SIGTERM. Every wait is bounded.
class ReferenceService
{
public:
    /// What the database holds when the service first starts.
    enum class Data {
        /// The demo mailbox of the seed command: every status, Japanese and
        /// English mail, a timeline of several pages; its owner has a mailbox.
        Demo,
        /// One account without any mail and without a mailbox (claim one first).
        Empty,
    };

    /// An incoming message from outside the account (see deliver()).
    struct Incoming
    {
        QString from;
        QString fromName;
        QString subject;
        QString body;
        QStringList cc;
        /// Thread into this conversation instead of by sender and subject.
        QString conversationId;
        /// Milliseconds since 1970; the service's clock when absent.
        std::optional<qint64> at;
        /// The account to deliver to; the owner account when empty.
        QString userId;
        /// How the account itself is addressed ("to" when empty; "envelope_to"
        /// for a blind copy).
        QString accountRole;
    };

    /// What a delivery produced.
    struct Delivered
    {
        QString conversationId;
        QString messageId;
    };

    /// An extra account (see addUser()).
    struct Account
    {
        QString userId;
        QString token;
    };

    explicit ReferenceService(Data data = Data::Demo);
    ~ReferenceService();
    ReferenceService(const ReferenceService &) = delete;
    ReferenceService &operator=(const ReferenceService &) = delete;

    /// Extra arguments for serve (for example {"--code-lifetime", "0"});
    /// set before start().
    void setServeArguments(QStringList arguments) { m_serveArguments = std::move(arguments); }
    /// The service's own mail domain; by default the one this build's client
    /// uses (QUARN_MAIL_DOMAIN). Set before start().
    void setMailDomain(QString domain) { m_mailDomain = std::move(domain); }

    /// Prepares the database (first start only), starts the service and waits
    /// until it listens. False with errorString() on failure.
    bool start();
    /// SIGTERM and wait; true when the service ended cleanly (exit status 0).
    bool stop();
    /// stop() then start() on the same database (the port changes).
    bool restart();
    [[nodiscard]] bool isRunning() const;
    /// The running service's process id (0 when it is not running).
    [[nodiscard]] qint64 processId() const;

    [[nodiscard]] QString errorString() const { return m_error; }
    /// http://127.0.0.1:<port>, no trailing slash.
    [[nodiscard]] QUrl baseUrl() const;
    [[nodiscard]] quint16 port() const { return m_port; }
    /// A valid device token of the owner account ("tok_mail_" + 43 characters).
    [[nodiscard]] QString token() const { return m_token; }
    [[nodiscard]] QString mailDomain() const { return m_mailDomain; }
    [[nodiscard]] QString databasePath() const;
    [[nodiscard]] static QString executablePath();

    /// Delivers an incoming message through the service's deliver command.
    std::optional<Delivered> deliver(const Incoming &message);
    /// A new account (with a mailbox when `mailboxLocalPart` is given) and its token.
    std::optional<Account> addUser(const QString &name, const QString &email, const QString &mailboxLocalPart = {});
    /// A new device token for the owner account.
    std::optional<QString> issueToken();

    /// Runs the executable with `--db <database>`, the mail domain and
    /// `arguments`; answers its standard output when it exits with 0.
    std::optional<QByteArray> runCommand(const QStringList &arguments);

private:
    bool prepareDatabase();

    Data m_data;
    QTemporaryDir m_dir;
    QString m_mailDomain;
    QStringList m_serveArguments;
    std::unique_ptr<QProcess> m_process;
    bool m_prepared = false;
    quint16 m_port = 0;
    QString m_token;
    QString m_error;
};

} // namespace quarn::test
