#include "app/setuprules.h"

#include "core/text.h"

namespace quarn {

bool SetupRules::canClaimAddress(const QString &localPart, const QString &displayName, bool isClaimingAddress)
{
    return !isClaimingAddress && text::graphemeCount(text::trimmed(localPart)) > 2
        && !text::trimmed(displayName).isEmpty();
}

} // namespace quarn
