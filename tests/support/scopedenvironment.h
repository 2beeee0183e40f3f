#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QtGlobal>

#include <optional>

namespace quarn::testing {

/// Sets or unsets environment variables for as long as it lives and puts
/// back what was there before, in reverse order.
class ScopedEnvironment
{
public:
    ScopedEnvironment() = default;
    ~ScopedEnvironment()
    {
        for (qsizetype i = m_saved.size() - 1; i >= 0; --i) {
            const auto &[name, value] = m_saved.at(i);
            if (value)
                qputenv(name.constData(), *value);
            else
                qunsetenv(name.constData());
        }
    }
    ScopedEnvironment(const ScopedEnvironment &) = delete;
    ScopedEnvironment &operator=(const ScopedEnvironment &) = delete;

    /// Sets `name` to `value`; nothing unsets it.
    void set(const char *name, const std::optional<QByteArray> &value)
    {
        m_saved.append({ QByteArray(name),
            qEnvironmentVariableIsSet(name) ? std::optional<QByteArray>(qgetenv(name)) : std::nullopt });
        if (value)
            qputenv(name, *value);
        else
            qunsetenv(name);
    }

private:
    QList<QPair<QByteArray, std::optional<QByteArray>>> m_saved;
};

} // namespace quarn::testing
