#pragma once

#include <QString>

#include <exception>
#include <string>

namespace quarn {

/// Base of every error the client raises. Each component derives its own
/// error type from it; `description()` is the user-facing text that the app
/// model shows in its one error message.
class Error : public std::exception
{
public:
    [[nodiscard]] virtual QString description() const = 0;
    [[nodiscard]] const char *what() const noexcept override;

private:
    mutable std::string m_what;
};

/// A failure of the platform (file system, network transport, process start)
/// passed on with the system's own message, unchanged.
class PlatformError : public Error
{
public:
    explicit PlatformError(QString message, int code = 0);
    [[nodiscard]] QString description() const override { return m_message; }
    /// errno or QNetworkReply::NetworkError, depending on the source; 0 when unknown.
    [[nodiscard]] int code() const { return m_code; }

    /// A PlatformError from errno with strerror's text, prefixed by what was attempted.
    static PlatformError fromErrno(int err, const QString &what = {});

private:
    QString m_message;
    int m_code;
};

/// The text to show for any exception: its description when it is one of
/// ours, else the platform's generic description.
[[nodiscard]] QString describe(std::exception_ptr error);

} // namespace quarn
