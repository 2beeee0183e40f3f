#include "api/mailapierror.h"

namespace quarn {

MailAPIError::MailAPIError(Kind kind, int status, QString message)
    : m_kind(kind)
    , m_status(status)
    , m_message(std::move(message))
{ }

MailAPIError MailAPIError::server(int status, QString message)
{
    return MailAPIError(Kind::server, status, std::move(message));
}

MailAPIError MailAPIError::invalidResponse()
{
    return MailAPIError(Kind::invalidResponse, 0, {});
}

MailAPIError MailAPIError::unauthorized()
{
    return MailAPIError(Kind::unauthorized, 0, {});
}

QString MailAPIError::description() const
{
    switch (m_kind) {
    case Kind::server:
        return m_message;
    case Kind::invalidResponse:
        return QStringLiteral("サーバーの応答を読み取れませんでした。");
    case Kind::unauthorized:
        return QStringLiteral("Quarnアカウントの接続が無効です。もう一度サインインしてください。");
    }
    return {};
}

} // namespace quarn
