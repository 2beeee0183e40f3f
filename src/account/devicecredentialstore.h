#pragma once

#include "core/error.h"

#include <QCoroTask>
#include <QString>

#include <cstddef>
#include <optional>

class QThreadPool;

namespace quarn {

/// Why the device credential store refused or failed. Each case has one
/// user-facing description; the store adds no reason of its own.
class CredentialStoreError : public Error
{
public:
    enum class Kind { invalidToken, unsafeStorage, io };

    explicit CredentialStoreError(Kind kind)
        : m_kind(kind)
    { }

    [[nodiscard]] Kind kind() const { return m_kind; }
    [[nodiscard]] QString description() const override;

    friend bool operator==(const CredentialStoreError &a, const CredentialStoreError &b)
    {
        return a.m_kind == b.m_kind;
    }

private:
    Kind m_kind;
};

[[nodiscard]] inline size_t qHash(const CredentialStoreError &error, size_t seed = 0) noexcept
{
    return seed ^ static_cast<size_t>(error.kind());
}

/// Keeps the one device token in "device-token" inside the application's
/// private folder. It never reads a token from, or writes one into, a place
/// that another user could have prepared or could read: the folder and the
/// file are checked with link-status and descriptor-status queries (owner,
/// type, permission bits) and links are never followed. The token's form is
/// checked both on the way in and on the way out.
///
/// A plain value: every instance with the same folder sees the same file.
/// There is no lock; two concurrent saves leave the last writer's token.
class DeviceCredentialStore
{
public:
    /// The production folder (computed once per process).
    DeviceCredentialStore();
    /// A store in another folder, for tests.
    explicit DeviceCredentialStore(QString directory);

    /// The stored token, or nothing when there is no token file. Throws
    /// CredentialStoreError (unsafeStorage, invalidToken) or PlatformError
    /// when the file cannot be read. Never repairs the file. A folder that is
    /// a link or another user's is refused (unsafeStorage), as on save, and
    /// the file is opened relative to the folder that was checked.
    [[nodiscard]] std::optional<QString> load() const;

    /// Stores `token` unchanged, atomically: it is written and flushed under a
    /// temporary name in the checked folder and renamed over the old file, so
    /// a failed or interrupted save leaves the old token. Throws
    /// CredentialStoreError (invalidToken before anything touches the disk,
    /// unsafeStorage, io; a link, FIFO, folder or another user's file under
    /// the name is refused, not replaced) or PlatformError when the folder
    /// cannot be created or its mode cannot be set.
    void save(const QString &token) const;

    /// load() and save() on a worker pool (the global one when none is given),
    /// so that the main thread never waits for the disk.
    [[nodiscard]] QCoro::Task<std::optional<QString>> loadAsync(QThreadPool *pool = nullptr) const;
    [[nodiscard]] QCoro::Task<void> saveAsync(QString token, QThreadPool *pool = nullptr) const;

    /// Whether `token` has the device token's form: it begins with
    /// "tok_mail_" and is exactly 52 user-perceived characters long.
    [[nodiscard]] static bool isValidToken(const QString &token);

    [[nodiscard]] const QString &directory() const { return m_directory; }
    [[nodiscard]] QString tokenPath() const;

    static constexpr qsizetype maximumFileSize = 128;

private:
    QString m_directory;
};

} // namespace quarn
