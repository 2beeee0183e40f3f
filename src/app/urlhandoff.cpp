#include "app/urlhandoff.h"

#include "core/error.h"
#include "platform/filesecurity.h"
#include "platform/paths.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QScopeGuard>
#include <QStringDecoder>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace quarn {

namespace {

constexpr auto kRetryInterval = std::chrono::milliseconds(50);
// A peer that connects and then says nothing must not hold a connection open
// for the life of the application.
constexpr int kConnectionTimeLimitMs = 10'000;
const QByteArray kAcknowledgement = QByteArrayLiteral("ok\n");

QString systemMessage(int error)
{
    return PlatformError::fromErrno(error).description();
}

int remainingMs(std::chrono::steady_clock::time_point deadline)
{
    const auto left
        = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? int(left.count()) : 0;
}

/// Waits for `events` on `fd` until `deadline`; false on time-out or error.
bool waitFor(int fd, short events, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        pollfd p { fd, events, 0 };
        const int n = ::poll(&p, 1, remainingMs(deadline));
        if (n < 0 && errno == EINTR)
            continue;
        return n > 0;
    }
}

} // namespace

QString UrlHandoff::defaultDirectory()
{
    // The runtime folder is private to the user and cleared at log-out. Without
    // one, the folder lies in the user's own cache folder: a name in a shared
    // temporary folder could be taken first by another local user, and every
    // start would then run on its own, a browser sign-in never completing.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime))
        return QDir::cleanPath(runtime) + u"/quarn-mail"_s;
    QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
    if (cache.isEmpty() || !QDir::isAbsolutePath(cache))
        cache = platform::homeDirectory() + u"/.cache"_s;
    return QDir::cleanPath(cache) + u"/quarn-mail/instance"_s;
}

QStringList UrlHandoff::urlsFromArguments(const QStringList &arguments)
{
    static const QString scheme = u"quarn-mail:"_s;
    QStringList urls;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument.startsWith(scheme, Qt::CaseInsensitive) && !argument.contains(u'\n') && !argument.contains(u'\r'))
            urls.append(argument);
    }
    return urls;
}

UrlHandoff::UrlHandoff(QString directory, QObject *parent)
    : QObject(parent)
    , m_directory(std::move(directory))
{ }

UrlHandoff::~UrlHandoff()
{
    // The socket goes before the lock, so that a start which finds the lock
    // free never finds a socket of ours that no one serves.
    m_server.reset();
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

QString UrlHandoff::socketPath() const
{
    return m_directory + u"/urls.socket"_s;
}

bool UrlHandoff::prepareDirectory()
{
    if (const int error = platform::createDirectories(m_directory, 0700); error != 0) {
        m_error = u"cannot create %1: %2"_s.arg(m_directory, systemMessage(error));
        return false;
    }
    const auto status = platform::linkStatus(m_directory);
    if (!status || status->kind != platform::FileKind::directory || status->owner != platform::realUserId()
        || (status->permissions & 0077) != 0) {
        m_error = u"%1 is not a private folder of this user; URLs cannot be handed over"_s.arg(m_directory);
        return false;
    }
    sockaddr_un address {};
    if (size_t(platform::nativePath(socketPath()).size()) >= sizeof(address.sun_path)) {
        m_error = u"the path %1 is too long for a local socket"_s.arg(socketPath());
        return false;
    }
    return true;
}

bool UrlHandoff::tryLock()
{
    const QByteArray path = platform::nativePath(m_directory + u"/instance.lock"_s);
    // Close-on-exec: a child (the browser opened for the sign-in, a Codex run)
    // must not keep the lock alive after this process has gone.
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        m_error = u"cannot open the instance lock: %1"_s.arg(systemMessage(errno));
        return false;
    }
    int result = 0;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        ::close(fd);
        return false;
    }
    m_lockFd = fd;
    return true;
}

UrlHandoff::Attempt UrlHandoff::deliver(const QByteArray &request, std::chrono::steady_clock::time_point deadline)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        m_error = u"cannot make a local socket: %1"_s.arg(systemMessage(errno));
        return Attempt::failed;
    }
    const auto closing = qScopeGuard([fd] { ::close(fd); });

    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray path = platform::nativePath(socketPath());
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
        // No socket yet, or one that nobody serves any more: the instance that
        // holds the lock may still be starting.
        if (errno == ENOENT || errno == ECONNREFUSED || errno == EAGAIN)
            return Attempt::refused;
        if (errno != EINPROGRESS) {
            m_error = u"cannot reach the running instance: %1"_s.arg(systemMessage(errno));
            return Attempt::failed;
        }
        if (!waitFor(fd, POLLOUT, deadline))
            return Attempt::refused;
        int error = 0;
        socklen_t length = sizeof(error);
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0)
            return Attempt::refused;
    }

    qsizetype written = 0;
    while (written < request.size()) {
        const ssize_t n = ::send(fd, request.constData() + written, size_t(request.size() - written), MSG_NOSIGNAL);
        if (n > 0) {
            written += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(fd, POLLOUT, deadline))
            continue;
        m_error = n < 0 && errno != EAGAIN
            ? u"the running instance did not take the URLs: %1"_s.arg(systemMessage(errno))
            : u"the running instance did not take the URLs in time"_s;
        return Attempt::failed;
    }

    QByteArray answer;
    while (answer.size() < kAcknowledgement.size()) {
        char buffer[8];
        const ssize_t n = ::recv(fd, buffer, size_t(kAcknowledgement.size() - answer.size()), 0);
        if (n > 0) {
            answer.append(buffer, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(fd, POLLIN, deadline))
            continue;
        m_error = n == 0 ? u"the running instance closed the connection without taking the URLs"_s
                         : u"the running instance did not confirm the URLs in time"_s;
        return Attempt::failed;
    }
    if (answer != kAcknowledgement) {
        m_error = u"the running instance gave an unexpected answer"_s;
        return Attempt::failed;
    }
    return Attempt::delivered;
}

UrlHandoff::Outcome UrlHandoff::claim(const QStringList &urls, std::chrono::milliseconds bound)
{
    if (!prepareDirectory())
        return Outcome::standalone;

    QByteArray request;
    for (const QString &url : urls)
        request += url.toUtf8() + '\n';
    request += '\n';

    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        m_error.clear();
        if (tryLock())
            return Outcome::primary;
        if (!m_error.isEmpty())
            return Outcome::standalone;
        switch (deliver(request, deadline)) {
        case Attempt::delivered:
            return Outcome::delivered;
        case Attempt::failed:
            return Outcome::failed;
        case Attempt::refused:
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            m_error = u"another instance is running but does not answer"_s;
            return Outcome::failed;
        }
        std::this_thread::sleep_for(kRetryInterval);
    }
}

bool UrlHandoff::listen()
{
    if (m_lockFd < 0) {
        m_error = u"this process is not the running instance"_s;
        return false;
    }
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // Holding the lock, any socket file here was left behind by an instance
    // that has ended.
    QLocalServer::removeServer(socketPath());
    if (!m_server->listen(socketPath())) {
        m_error = u"cannot listen on %1: %2"_s.arg(socketPath(), m_server->errorString());
        m_server.reset();
        return false;
    }
    connect(m_server.get(), &QLocalServer::newConnection, this, &UrlHandoff::accept);
    return true;
}

void UrlHandoff::accept()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection())
        serve(socket);
}

void UrlHandoff::serve(QLocalSocket *socket)
{
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(kConnectionTimeLimitMs, socket, [socket] { socket->abort(); });

    auto urls = std::make_shared<QStringList>();
    auto finished = std::make_shared<bool>(false);
    const auto read = [this, socket, urls, finished] {
        while (!*finished && socket->canReadLine()) {
            QByteArray line = socket->readLine(kMaximumLineLength + 2);
            if (!line.endsWith('\n')) {
                socket->abort();
                return;
            }
            line.chop(1);
            if (!line.isEmpty()) {
                if (urls->size() >= kMaximumURLCount) {
                    socket->abort();
                    return;
                }
                // A line that is not UTF-8 is skipped rather than handed on
                // with replacement characters in it.
                QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
                const QString url = decoder.decode(line);
                if (!decoder.hasError())
                    urls->append(url);
                continue;
            }
            // The whole request is here: each URL goes out exactly once, in
            // order, before the sender hears that they were taken.
            *finished = true;
            for (const QString &url : std::as_const(*urls))
                Q_EMIT urlReceived(url);
            Q_EMIT activationRequested();
            socket->write(kAcknowledgement);
            socket->disconnectFromServer();
            return;
        }
        if (!*finished && socket->bytesAvailable() > kMaximumLineLength)
            socket->abort();
    };
    connect(socket, &QLocalSocket::readyRead, this, read);
    read();
}

} // namespace quarn
