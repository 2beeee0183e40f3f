#include "platform/rendering.h"

#include <QDir>

namespace quarn::platform {

bool hasHardwareRenderNode()
{
    // Device nodes are system entries to QDir, not files.
    const QDir dri(QStringLiteral("/dev/dri"));
    return !dri.entryList({ QStringLiteral("renderD*") }, QDir::System | QDir::Files).isEmpty();
}

} // namespace quarn::platform
