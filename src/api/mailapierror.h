#pragma once

#include "core/error.h"

#include <QString>

namespace quarn {

/// The failure of a service request that the service or its answer caused.
/// Transport failures are not MailAPIErrors: they arrive as PlatformError with
/// the platform's own message.
class MailAPIError : public Error
{
public:
    enum class Kind {
        /// A status outside 200–299 other than 401 and 403.
        server,
        /// No HTTP answer, or a 2xx body that is not the expected record.
        invalidResponse,
        /// 401 or 403: the device token is no longer accepted.
        unauthorized,
    };

    [[nodiscard]] static MailAPIError server(int status, QString message);
    [[nodiscard]] static MailAPIError invalidResponse();
    [[nodiscard]] static MailAPIError unauthorized();

    [[nodiscard]] Kind kind() const { return m_kind; }
    /// The HTTP status of a `server` error, else 0.
    [[nodiscard]] int status() const { return m_status; }
    /// The message of a `server` error, else empty.
    [[nodiscard]] QString message() const { return m_message; }

    [[nodiscard]] QString description() const override;

    bool operator==(const MailAPIError &other) const
    {
        return m_kind == other.m_kind && m_status == other.m_status && m_message == other.m_message;
    }

private:
    MailAPIError(Kind kind, int status, QString message);

    Kind m_kind;
    int m_status;
    QString m_message;
};

} // namespace quarn
