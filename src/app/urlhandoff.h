#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>

class QLocalServer;
class QLocalSocket;

namespace quarn {

/// Delivers quarn-mail URLs to the one running instance of the program.
///
/// The desktop opens a quarn-mail URL (the browser's sign-in redirect, a
/// conversation link) by starting `quarn-mail <url>`. When an instance is
/// already running, that second start hands its URLs to it and exits, so the
/// URL reaches the model that started the sign-in.
///
/// Both live in one private folder per user ($XDG_RUNTIME_DIR/quarn-mail, else
/// quarn-mail/instance in the user's cache folder, never a shared temporary
/// folder), mode 0700 and owned by the user, so no other account can take the
/// name first, listen in its place or read what is handed over.
/// The running instance holds an advisory lock on "instance.lock" for as long
/// as it lives and listens on "urls.socket" beside it. A start first tries to
/// take the lock: whoever gets it is the running instance (a socket file left
/// by a crashed one is stale then and replaced); whoever does not connects,
/// writes its URLs, one per line in UTF-8 and an empty line to end, and
/// waits for "ok". The lock is released by the kernel when its process dies,
/// so a crash never leaves a start waiting for nobody.
///
/// The running instance emits a request's URLs only once the whole request
/// has arrived, each exactly once and in order, and then answers "ok": a start
/// that exits with success knows its URLs were taken.
class UrlHandoff : public QObject
{
    Q_OBJECT

public:
    enum class Outcome {
        /// This process is the running instance; call listen() once the
        /// application object exists.
        primary,
        /// A running instance took the URLs; this process should exit.
        delivered,
        /// An instance holds the lock but did not take the URLs within the
        /// time bound (errorString() says why).
        failed,
        /// The private folder cannot be used safely (errorString() says why):
        /// this process runs on its own and receives nothing.
        standalone,
    };

    /// Lines longer than this end the connection; no URL comes near it.
    static constexpr qsizetype kMaximumLineLength = 65536;
    /// URLs of one request; more end the connection.
    static constexpr int kMaximumURLCount = 64;

    /// The private folder of the current user.
    [[nodiscard]] static QString defaultDirectory();

    /// The quarn-mail URLs among the program's arguments (after the program
    /// path), in order and exactly as written: the model matches conversation
    /// links on the text, so nothing here parses or re-encodes them. Other
    /// arguments (toolkit options, stray words, other schemes) are left out,
    /// and so is a text with a line break, which no URL has.
    [[nodiscard]] static QStringList urlsFromArguments(const QStringList &arguments);

    explicit UrlHandoff(QString directory = defaultDirectory(), QObject *parent = nullptr);
    ~UrlHandoff() override;

    /// Becomes the running instance, or hands `urls` to the running one
    /// (an empty list asks it to come forward). Needs no application object;
    /// waits at most `bound` for an instance that holds the lock but does not
    /// answer yet (it may still be starting).
    [[nodiscard]] Outcome claim(const QStringList &urls, std::chrono::milliseconds bound = std::chrono::seconds(10));

    /// Listens for later starts; only after claim() answered `primary`.
    /// False with errorString() when the socket cannot be made.
    bool listen();

    [[nodiscard]] QString errorString() const { return m_error; }
    [[nodiscard]] QString directory() const { return m_directory; }
    [[nodiscard]] QString socketPath() const;

Q_SIGNALS:
    /// A URL from a later start, as it was written, in the order the starts
    /// delivered them.
    void urlReceived(const QString &url);
    /// A later start has been served (after its URLs, if it had any): the
    /// window should come forward.
    void activationRequested();

private:
    enum class Attempt { delivered, refused, failed };

    /// Creates the private folder if needed and checks that it is safe.
    bool prepareDirectory();
    bool tryLock();
    Attempt deliver(const QByteArray &request, std::chrono::steady_clock::time_point deadline);
    void accept();
    void serve(QLocalSocket *socket);

    QString m_directory;
    QString m_error;
    int m_lockFd = -1;
    std::unique_ptr<QLocalServer> m_server;
};

} // namespace quarn
