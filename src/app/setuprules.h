#pragma once

#include <QObject>
#include <QString>

namespace quarn {

/// The enabling rules of the setup screens, reachable from QML as the
/// SetupRules singleton (import Quarn.Rules). Pure: no state.
class SetupRules : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    /// The claim button of the address setup: the local part trimmed has
    /// more than 2 characters, the display name trimmed is not empty, and no
    /// claim is running. The trimming serves this test only; the claim
    /// itself sends the texts as typed.
    Q_INVOKABLE [[nodiscard]] static bool canClaimAddress(
        const QString &localPart, const QString &displayName, bool isClaimingAddress);
};

} // namespace quarn
