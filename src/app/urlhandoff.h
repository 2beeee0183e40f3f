#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>

class QLocalServer;
class QLocalSocket;

namespace quarn {

/// One running instance per data folder, and quarn-mail URLs delivered to it.
///
/// The desktop opens a quarn-mail URL (the browser's sign-in redirect, a
/// conversation link) by starting `quarn-mail <url>`. When an instance is
/// already running on the same data folder, that second start hands its URLs
/// to it and exits, so the URL reaches the model that started the sign-in,
/// and two instances never write the same AI conversations or fight over the
/// staged Codex CLI.
///
/// Which instance runs is decided inside the data folder itself, whatever
/// the environment of a start says (another XDG_RUNTIME_DIR in a terminal, a
/// `su` shell, an ssh login): the running instance holds an advisory lock
/// (flock) on "instance.lock" there for as long as it lives, and records in
/// "instance.address" beside it where it listens for later starts. The
/// kernel drops the lock when its process dies, so a crash never leaves a
/// start waiting for nobody; whoever takes the lock next replaces the stale
/// address.
///
/// The socket lies in a private folder of the user (0700, owned by the user,
/// never a link): "quarn-mail" in the user's runtime folder when it is the
/// user's own, else "quarn-mail/instance" in the user's cache folder, else
/// "instance" inside the data folder — the first in which it can listen.
/// A later start connects to the recorded socket only when its folder is
/// private too, writes its URLs, one per line in UTF-8 and an empty line to
/// end, and waits for "ok".
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
        /// time bound (errorString() says why, in Japanese): this process
        /// must not run as a second instance.
        failed,
        /// The data folder cannot be used safely (errorString() says why):
        /// nothing of the program can keep files there, so this process
        /// runs on its own and receives nothing.
        standalone,
    };

    /// Lines longer than this end the connection; no URL comes near it.
    static constexpr qsizetype kMaximumLineLength = 65536;
    /// URLs of one request; more end the connection.
    static constexpr int kMaximumURLCount = 64;

    /// Where the socket may lie, most preferred first: "quarn-mail" in the
    /// user's private runtime folder (when it is one), "quarn-mail/instance"
    /// in the user's cache folder, "instance" in `dataDirectory`.
    [[nodiscard]] static QStringList defaultSocketDirectories(const QString &dataDirectory);

    /// The quarn-mail URLs among the program's arguments (after the program
    /// path), in order and exactly as written: the model matches conversation
    /// links on the text, so nothing here parses or re-encodes them. Other
    /// arguments (toolkit options, stray words, other schemes) are left out,
    /// and so is a text with a line break, which no URL has.
    [[nodiscard]] static QStringList urlsFromArguments(const QStringList &arguments);

    /// `socketDirectories` empty: defaultSocketDirectories(dataDirectory).
    explicit UrlHandoff(QString dataDirectory, QStringList socketDirectories = {}, QObject *parent = nullptr);
    ~UrlHandoff() override;

    /// Becomes the running instance, or hands `urls` to the running one
    /// (an empty list asks it to come forward). Needs no application object;
    /// waits at most `bound` for an instance that holds the lock but does not
    /// answer yet (it may still be starting).
    [[nodiscard]] Outcome claim(const QStringList &urls, std::chrono::milliseconds bound = std::chrono::seconds(10));

    /// Listens for later starts and records where; only after claim()
    /// answered `primary`. Tries each socket folder in turn; false with
    /// errorString() (every folder's reason) when none can be used. The lock
    /// is kept: call release() when this process will not serve.
    bool listen();

    /// Stops listening and gives up the lock, so that the next start becomes
    /// the running instance instead of waiting for this one.
    void release();

    [[nodiscard]] QString errorString() const { return m_error; }
    [[nodiscard]] QString dataDirectory() const { return m_dataDirectory; }
    /// The socket this instance listens on; empty before listen() succeeded.
    [[nodiscard]] QString socketPath() const { return m_socketPath; }

Q_SIGNALS:
    /// A URL from a later start, as it was written, in the order the starts
    /// delivered them.
    void urlReceived(const QString &url);
    /// A later start has been served (after its URLs, if it had any): the
    /// window should come forward.
    void activationRequested();

private:
    enum class Attempt { delivered, refused, failed };

    /// Opens the data folder and the lock file in it; false (m_error) when
    /// either cannot be used safely.
    bool openLock();
    bool tryLock();
    /// The socket the running instance recorded; empty while none is
    /// recorded yet. Sets m_error when the record cannot be trusted.
    QString recordedSocket();
    bool listenIn(const QString &directory, QString &reason);
    bool recordAddress(QString &reason);
    Attempt deliver(const QString &socket, const QByteArray &request, std::chrono::steady_clock::time_point deadline);
    void accept();
    void serve(QLocalSocket *socket);

    QString m_dataDirectory;
    QStringList m_socketDirectories;
    QString m_socketPath;
    QString m_error;
    int m_folderFd = -1;
    int m_lockFd = -1;
    bool m_locked = false;
    std::unique_ptr<QLocalServer> m_server;
};

} // namespace quarn
