#include "app/urlhandoff.h"

#include "core/error.h"
#include "platform/filesecurity.h"
#include "platform/paths.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
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
#include <sys/stat.h>
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
constexpr char kLockName[] = "instance.lock";
constexpr char kAddressName[] = "instance.address";
// A socket path fits in sockaddr_un; anything much longer is no record.
constexpr qsizetype kMaximumAddressLength = 4096;

QString systemMessage(int error)
{
    return PlatformError::fromErrno(error).description();
}

/// "urls-" and a digest of the data folder's path: one socket name per data
/// folder, so that instances of the same user on different data folders
/// (another XDG_DATA_HOME) never take each other's socket.
QString socketName(const QString &dataDirectory)
{
    const QByteArray digest
        = QCryptographicHash::hash(platform::nativePath(dataDirectory), QCryptographicHash::Sha256).toHex().left(16);
    return u"urls-"_s + QString::fromLatin1(digest) + u".socket"_s;
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

QStringList UrlHandoff::defaultSocketDirectories(const QString &dataDirectory)
{
    // The runtime folder is private to the user and cleared at log-out, but
    // only the user's own counts (a `su` shell keeps another user's value).
    // Without one, the user's cache folder, never a shared temporary folder:
    // a name there could be taken first by another local user. The data
    // folder, private by construction, comes last because sockets do not
    // work on every file system a home may lie on.
    QStringList directories;
    if (const QString runtime = platform::privateRuntimeDirectory(); !runtime.isEmpty())
        directories.append(runtime + u"/quarn-mail"_s);
    QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
    if (cache.isEmpty() || !QDir::isAbsolutePath(cache))
        cache = platform::homeDirectory() + u"/.cache"_s;
    directories.append(QDir::cleanPath(cache) + u"/quarn-mail/instance"_s);
    directories.append(dataDirectory + u"/instance"_s);
    return directories;
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

UrlHandoff::UrlHandoff(QString dataDirectory, QStringList socketDirectories, QObject *parent)
    : QObject(parent)
    , m_dataDirectory(std::move(dataDirectory))
    , m_socketDirectories(
          socketDirectories.isEmpty() ? defaultSocketDirectories(m_dataDirectory) : std::move(socketDirectories))
{ }

UrlHandoff::~UrlHandoff()
{
    release();
    if (m_folderFd >= 0)
        ::close(m_folderFd);
}

void UrlHandoff::release()
{
    // The socket and its record go before the lock, so that a start which
    // finds the lock free never finds an address of ours that no one serves.
    if (m_server) {
        m_server.reset();
        if (m_locked)
            (void)::unlinkat(m_folderFd, kAddressName, 0);
    }
    m_socketPath.clear();
    if (m_lockFd >= 0)
        ::close(m_lockFd);
    m_lockFd = -1;
    m_locked = false;
}

bool UrlHandoff::openLock()
{
    if (m_lockFd >= 0)
        return true;
    const QString folder = m_dataDirectory;
    if (const int error = platform::createDirectories(folder, 0700); error != 0) {
        m_error = u"データフォルダ %1 を作成できません: %2"_s.arg(folder, systemMessage(error));
        return false;
    }
    // The data folder is the program's own: a mode loosened or tightened by
    // hand is put right, but a link or another user's folder is never used.
    const auto status = platform::linkStatus(folder);
    if (!status || status->kind != platform::FileKind::directory || status->owner != platform::realUserId()) {
        m_error = u"データフォルダ %1 はこのユーザーのフォルダではありません"_s.arg(folder);
        return false;
    }
    if (const int error = platform::setOwnDirectoryMode(folder, 0700); error != 0) {
        m_error = u"データフォルダ %1 を非公開にできません: %2"_s.arg(folder, systemMessage(error));
        return false;
    }
    platform::FileDescriptor directory = platform::openDirectoryNoFollow(folder);
    const auto opened = directory.isValid() ? platform::descriptorStatus(directory.get()) : std::nullopt;
    if (!opened || opened->owner != platform::realUserId()) {
        m_error = u"データフォルダ %1 を開けません: %2"_s.arg(folder, systemMessage(directory.error()));
        return false;
    }
    platform::FileDescriptor lock
        = platform::openNoFollowAt(directory, QString::fromLatin1(kLockName), O_RDWR | O_CREAT, 0600);
    const auto lockStatus = lock.isValid() ? platform::descriptorStatus(lock.get()) : std::nullopt;
    if (!lockStatus || lockStatus->kind != platform::FileKind::regular || lockStatus->owner != platform::realUserId()) {
        m_error = u"%1/%2 を開けません: %3"_s.arg(
            folder, QLatin1String(kLockName), systemMessage(lock.isValid() ? EPERM : lock.error()));
        return false;
    }
    if (lockStatus->permissions != 0600)
        (void)::fchmod(lock.get(), 0600);
    // Close-on-exec (openNoFollowAt's): a child (the browser opened for the
    // sign-in, a Codex run) must not keep the lock alive after this process
    // has gone.
    m_folderFd = directory.release();
    m_lockFd = lock.release();
    return true;
}

bool UrlHandoff::tryLock()
{
    int result = 0;
    do {
        result = ::flock(m_lockFd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0)
        return false;
    m_locked = true;
    // Whatever address is recorded belongs to an instance that has ended.
    (void)::unlinkat(m_folderFd, kAddressName, 0);
    return true;
}

QString UrlHandoff::recordedSocket()
{
    const int fd = ::openat(m_folderFd, kAddressName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return {}; // not recorded yet: the running instance may still be starting
    const platform::FileDescriptor record = platform::FileDescriptor::adopt(fd);
    const auto status = platform::descriptorStatus(record.get());
    if (!status || status->kind != platform::FileKind::regular || status->owner != platform::realUserId()) {
        m_error = u"the recorded address is not a file of this user"_s;
        return {};
    }
    QByteArray bytes(kMaximumAddressLength + 1, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(record.get(), bytes.data() + got, size_t(bytes.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    bytes.truncate(got);
    // The record is written whole under another name and renamed into place;
    // anything else is not one.
    if (!bytes.endsWith('\n') || bytes.size() > kMaximumAddressLength) {
        m_error = u"the recorded address is malformed"_s;
        return {};
    }
    bytes.chop(1);
    const QString socket = QFile::decodeName(bytes);
    const QString folder = QFileInfo(socket).path();
    const auto folderStatus = platform::linkStatus(folder);
    if (!QDir::isAbsolutePath(socket) || !folderStatus || folderStatus->kind != platform::FileKind::directory
        || folderStatus->owner != platform::realUserId() || (folderStatus->permissions & 0077) != 0) {
        m_error = u"the recorded socket %1 is not in a private folder of this user"_s.arg(socket);
        return {};
    }
    return socket;
}

UrlHandoff::Attempt UrlHandoff::deliver(
    const QString &socket, const QByteArray &request, std::chrono::steady_clock::time_point deadline)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        m_error = u"cannot make a local socket: %1"_s.arg(systemMessage(errno));
        return Attempt::failed;
    }
    const auto closing = qScopeGuard([fd] { ::close(fd); });

    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray path = platform::nativePath(socket);
    if (size_t(path.size()) >= sizeof(address.sun_path)) {
        m_error = u"the recorded socket path is too long"_s;
        return Attempt::failed;
    }
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
    m_error.clear();
    if (!openLock())
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
        const QString socket = recordedSocket();
        Attempt attempt = Attempt::refused;
        if (!m_error.isEmpty())
            attempt = Attempt::failed;
        else if (!socket.isEmpty())
            attempt = deliver(socket, request, deadline);
        if (attempt == Attempt::delivered)
            return Outcome::delivered;
        if (attempt == Attempt::failed || std::chrono::steady_clock::now() >= deadline) {
            const QString reason = m_error.isEmpty() ? u"no answer"_s : m_error;
            m_error = u"Quarn Mailはすでに起動していますが、応答がありません（%1）。"
                      "起動中のQuarn Mailを終了してから、もう一度開いてください。"_s.arg(reason);
            return Outcome::failed;
        }
        std::this_thread::sleep_for(kRetryInterval);
    }
}

bool UrlHandoff::listenIn(const QString &directory, QString &reason)
{
    if (const int error = platform::createDirectories(directory, 0700); error != 0) {
        reason = u"cannot create %1: %2"_s.arg(directory, systemMessage(error));
        return false;
    }
    // The folder is the program's own when it is the user's: a mode changed
    // by hand is put right instead of failing every start from now on.
    const auto status = platform::linkStatus(directory);
    if (!status || status->kind != platform::FileKind::directory || status->owner != platform::realUserId()) {
        reason = u"%1 is not a folder of this user"_s.arg(directory);
        return false;
    }
    if (const int error = platform::setOwnDirectoryMode(directory, 0700); error != 0) {
        reason = u"cannot make %1 private: %2"_s.arg(directory, systemMessage(error));
        return false;
    }
    const QString socket = directory + u'/' + socketName(m_dataDirectory);
    sockaddr_un address {};
    if (size_t(platform::nativePath(socket).size()) >= sizeof(address.sun_path)) {
        reason = u"the path %1 is too long for a local socket"_s.arg(socket);
        return false;
    }
    auto server = std::make_unique<QLocalServer>();
    server->setSocketOptions(QLocalServer::UserAccessOption);
    // Holding the lock, a socket file of this name was left behind by an
    // instance of this data folder that has ended: the name is this data
    // folder's alone, so instances of other data folders of the same user
    // never meet here.
    QLocalServer::removeServer(socket);
    if (!server->listen(socket)) {
        reason = u"cannot listen on %1: %2"_s.arg(socket, server->errorString());
        return false;
    }
    m_server = std::move(server);
    m_socketPath = socket;
    return true;
}

bool UrlHandoff::recordAddress(QString &reason)
{
    const QByteArray bytes = platform::nativePath(m_socketPath) + '\n';
    static constexpr char kTemporaryName[] = "instance.address.new";
    (void)::unlinkat(m_folderFd, kTemporaryName, 0);
    platform::FileDescriptor fd(
        ::openat(m_folderFd, kTemporaryName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    int error = fd.isValid() ? 0 : fd.error();
    qsizetype written = 0;
    while (error == 0 && written < bytes.size()) {
        const ssize_t n = ::write(fd.get(), bytes.constData() + written, size_t(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            error = n < 0 ? errno : EIO;
        else
            written += n;
    }
    if (error == 0)
        error = fd.close();
    if (error == 0 && ::renameat(m_folderFd, kTemporaryName, m_folderFd, kAddressName) != 0)
        error = errno;
    if (error != 0) {
        (void)::unlinkat(m_folderFd, kTemporaryName, 0);
        reason = u"cannot record the address in %1: %2"_s.arg(m_dataDirectory, systemMessage(error));
        return false;
    }
    return true;
}

bool UrlHandoff::listen()
{
    if (!m_locked) {
        m_error = u"this process is not the running instance"_s;
        return false;
    }
    QStringList reasons;
    for (const QString &directory : std::as_const(m_socketDirectories)) {
        QString reason;
        if (!listenIn(directory, reason)) {
            reasons.append(reason);
            continue;
        }
        if (!recordAddress(reason)) {
            m_server.reset();
            m_socketPath.clear();
            m_error = reason;
            return false;
        }
        connect(m_server.get(), &QLocalServer::newConnection, this, &UrlHandoff::accept);
        m_error.clear();
        return true;
    }
    m_error = reasons.join(u"; "_s);
    return false;
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
