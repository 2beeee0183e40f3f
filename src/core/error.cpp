#include "core/error.h"

#include <cstring>

namespace quarn {

const char *Error::what() const noexcept
{
    if (m_what.empty()) {
        try {
            m_what = description().toStdString();
        } catch (...) {
            return "quarn::Error";
        }
    }
    return m_what.c_str();
}

PlatformError::PlatformError(QString message, int code)
    : m_message(std::move(message))
    , m_code(code)
{ }

PlatformError PlatformError::fromErrno(int err, const QString &what)
{
    const QString text = QString::fromLocal8Bit(std::strerror(err));
    return PlatformError(what.isEmpty() ? text : what + QStringLiteral(": ") + text, err);
}

QString describe(std::exception_ptr error)
{
    if (!error)
        return {};
    try {
        std::rethrow_exception(error);
    } catch (const Error &e) {
        return e.description();
    } catch (const std::exception &e) {
        // The generic description of a foreign error.
        return QStringLiteral("操作を完了できませんでした。");
    } catch (...) {
        return QStringLiteral("操作を完了できませんでした。");
    }
}

} // namespace quarn
