#include "account/devicecredentialstore.h"

#include "core/async.h"
#include "core/text.h"
#include "platform/filesecurity.h"
#include "platform/paths.h"

#include <QFile>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QThreadPool>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace quarn {

namespace {

const QString kFileName = u"device-token"_s;
const QString kTokenPrefix = u"tok_mail_"_s;
constexpr qsizetype kTokenLength = 52;

using platform::FileDescriptor;
using platform::FileKind;
using platform::FileStatus;

bool isOwnedDirectory(const std::optional<FileStatus> &status)
{
    return status && status->kind == FileKind::directory && status->owner == platform::realUserId();
}

bool isOwnedPrivateFile(const std::optional<FileStatus> &status)
{
    return status && status->kind == FileKind::regular && status->owner == platform::realUserId()
        && (status->permissions & 077) == 0;
}

[[noreturn]] void fail(CredentialStoreError::Kind kind)
{
    throw CredentialStoreError(kind);
}

/// Prepares the folder and hands back a descriptor of the folder that was
/// checked. Writing through that descriptor (rather than the path) means a
/// folder swapped for a link after the check cannot redirect the token.
FileDescriptor ensureDirectory(const QString &directory)
{
    if (platform::exists(directory)) {
        if (!isOwnedDirectory(platform::linkStatus(directory)))
            fail(CredentialStoreError::Kind::unsafeStorage);
    } else if (const int err = platform::createDirectories(directory, 0700); err != 0) {
        throw PlatformError::fromErrno(err);
    }

    FileDescriptor folder = platform::openDirectoryNoFollow(directory);
    if (!folder.isValid()) {
        // The name no longer is a folder of its own: something replaced it
        // since the check.
        if (folder.error() == ELOOP || folder.error() == ENOTDIR)
            fail(CredentialStoreError::Kind::unsafeStorage);
        throw PlatformError::fromErrno(folder.error());
    }
    if (!isOwnedDirectory(platform::descriptorStatus(folder.get())))
        fail(CredentialStoreError::Kind::unsafeStorage);
    if (::fchmod(folder.get(), 0700) != 0)
        throw PlatformError::fromErrno(errno);
    return folder;
}

} // namespace

QString CredentialStoreError::description() const
{
    switch (m_kind) {
    case Kind::invalidToken:
        return u"Quarnアカウントの認証情報が無効です。"_s;
    case Kind::unsafeStorage:
        return u"端末資格情報の保存場所を安全に確認できませんでした。"_s;
    case Kind::io:
        return u"端末資格情報を保存できませんでした。"_s;
    }
    return {};
}

DeviceCredentialStore::DeviceCredentialStore()
{
    static const QString productionDirectory = platform::applicationSupportDirectory();
    m_directory = productionDirectory;
}

DeviceCredentialStore::DeviceCredentialStore(QString directory)
    : m_directory(std::move(directory))
{ }

QString DeviceCredentialStore::tokenPath() const
{
    return m_directory + u'/' + kFileName;
}

bool DeviceCredentialStore::isValidToken(const QString &token)
{
    // The prefix is compared by user-perceived characters too, so a combining
    // mark after the underscore does not pass as "tok_mail_".
    return text::graphemePrefix(token, kTokenPrefix.size()) == kTokenPrefix
        && text::graphemeCount(token) == kTokenLength;
}

void DeviceCredentialStore::save(const QString &token) const
{
    if (!isValidToken(token))
        fail(CredentialStoreError::Kind::invalidToken);
    // A lone surrogate would be written as a replacement character: what is
    // stored would differ from what was given.
    QStringEncoder encoder(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
    const QByteArray bytes = encoder.encode(token);
    if (encoder.hasError())
        fail(CredentialStoreError::Kind::invalidToken);

    const FileDescriptor folder = ensureDirectory(m_directory);

    // Whatever holds the name now must be this user's own regular file (or
    // nothing): a link, a FIFO, a folder or another user's file is refused,
    // not replaced. O_NONBLOCK keeps a FIFO planted under the name from
    // blocking the open.
    {
        const FileDescriptor current = platform::openNoFollowAt(folder, kFileName, O_RDONLY | O_NONBLOCK);
        if (current.isValid()) {
            const auto status = platform::descriptorStatus(current.get());
            if (!status || status->kind != FileKind::regular || status->owner != platform::realUserId())
                fail(CredentialStoreError::Kind::io);
        } else if (current.error() != ENOENT) {
            fail(CredentialStoreError::Kind::io);
        }
    }

    // The new token is written whole under a temporary name in the checked
    // folder and then renamed over the old one: a full disk, an I/O error or
    // a crash leaves the old token as it was, and a start reading meanwhile
    // sees the old token or the new one, never an empty file.
    QString temporaryName;
    FileDescriptor file;
    for (int attempt = 0; attempt < 100 && !file.isValid(); ++attempt) {
        temporaryName = u"."_s + kFileName + u".tmp-"_s + QString::number(QRandomGenerator::system()->generate64(), 36);
        file = platform::openNoFollowAt(folder, temporaryName, O_WRONLY | O_CREAT | O_EXCL | O_NONBLOCK, 0600);
        if (!file.isValid() && file.error() != EEXIST)
            break;
    }
    if (!file.isValid())
        fail(CredentialStoreError::Kind::io);
    const QByteArray temporary = QFile::encodeName(temporaryName);
    auto removeTemporary = qScopeGuard([&] { (void)::unlinkat(folder.get(), temporary.constData(), 0); });
    // Private whatever the umask.
    if (::fchmod(file.get(), 0600) != 0)
        fail(CredentialStoreError::Kind::io);

    qsizetype offset = 0;
    while (offset < bytes.size()) {
        const ssize_t written = ::write(file.get(), bytes.constData() + offset, size_t(bytes.size() - offset));
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 1)
            fail(CredentialStoreError::Kind::io);
        offset += written;
    }
    // The data must be on disk before the name points at it.
    if (::fsync(file.get()) != 0 || file.close() != 0)
        fail(CredentialStoreError::Kind::io);
    if (::renameat(folder.get(), temporary.constData(), folder.get(), QFile::encodeName(kFileName).constData()) != 0)
        fail(CredentialStoreError::Kind::io);
    removeTemporary.dismiss();
    // The rename is durable only once the folder is.
    if (::fsync(folder.get()) != 0)
        fail(CredentialStoreError::Kind::io);
}

std::optional<QString> DeviceCredentialStore::load() const
{
    // The folder is checked and opened once, and the file is looked at and
    // opened relative to that open folder: a folder replaced by a link after
    // the check cannot redirect the read to a token someone else planted.
    const std::optional<FileStatus> folderStatus = platform::linkStatus(m_directory);
    if (!folderStatus)
        return std::nullopt;
    if (folderStatus->kind == FileKind::symbolicLink)
        fail(CredentialStoreError::Kind::unsafeStorage);
    if (folderStatus->kind != FileKind::directory)
        return std::nullopt; // no folder, so no token file in it
    if (!isOwnedDirectory(folderStatus))
        fail(CredentialStoreError::Kind::unsafeStorage);
    const FileDescriptor folder = platform::openDirectoryNoFollow(m_directory);
    if (!folder.isValid()) {
        if (folder.error() == ELOOP || folder.error() == ENOTDIR)
            fail(CredentialStoreError::Kind::unsafeStorage);
        if (folder.error() == ENOENT)
            return std::nullopt;
        throw PlatformError::fromErrno(folder.error());
    }
    if (!isOwnedDirectory(platform::descriptorStatus(folder.get())))
        fail(CredentialStoreError::Kind::unsafeStorage);

    if (!platform::existsAt(folder, kFileName))
        return std::nullopt;
    if (!isOwnedPrivateFile(platform::linkStatusAt(folder, kFileName)))
        fail(CredentialStoreError::Kind::unsafeStorage);

    // The checks are repeated on the opened descriptor: the name may have
    // been replaced since the link-status query.
    const FileDescriptor file = platform::openNoFollowAt(folder, kFileName, O_RDONLY | O_NONBLOCK);
    if (!file.isValid()) {
        if (file.error() == ELOOP)
            fail(CredentialStoreError::Kind::unsafeStorage);
        throw PlatformError::fromErrno(file.error());
    }
    if (!isOwnedPrivateFile(platform::descriptorStatus(file.get())))
        fail(CredentialStoreError::Kind::unsafeStorage);

    // One byte over the limit is enough to know the file is too long.
    QByteArray content(maximumFileSize + 1, Qt::Uninitialized);
    qsizetype size = 0;
    while (size < content.size()) {
        const ssize_t n = ::read(file.get(), content.data() + size, size_t(content.size() - size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw PlatformError::fromErrno(errno);
        }
        if (n == 0)
            break;
        size += n;
    }
    content.truncate(size);
    ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_DONTNEED);

    if (content.size() > maximumFileSize)
        fail(CredentialStoreError::Kind::invalidToken);
    // A byte order mark is kept, not skipped: the content is taken as it stands.
    QStringDecoder decoder(
        QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    const QString token = decoder.decode(content);
    if (decoder.hasError())
        fail(CredentialStoreError::Kind::invalidToken);
    if (!isValidToken(token))
        fail(CredentialStoreError::Kind::invalidToken);
    return token;
}

// Plain functions returning the worker task, not coroutines: GCC 12 destroys
// a lambda twice when it is created inside a co_await expression.
QCoro::Task<std::optional<QString>> DeviceCredentialStore::loadAsync(QThreadPool *pool) const
{
    return runOn(pool ? pool : QThreadPool::globalInstance(), [store = *this] { return store.load(); });
}

QCoro::Task<void> DeviceCredentialStore::saveAsync(QString token, QThreadPool *pool) const
{
    return runOn(
        pool ? pool : QThreadPool::globalInstance(), [store = *this, token = std::move(token)] { store.save(token); });
}

} // namespace quarn
