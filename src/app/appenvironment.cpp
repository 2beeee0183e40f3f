#include "app/appenvironment.h"

#include "account/devicecredentialstore.h"
#include "ai/aiconversationstore.h"
#include "ai/codexrunner.h"
#include "api/apiclient.h"

#include "platform/desktopopener.h"
#include "platform/paths.h"

#include <QDateTime>
#include <QStandardPaths>

namespace quarn {

void AppEnvironment::fillDefaults()
{
    if (baseURL.isEmpty())
        baseURL = APIClient::productionBaseURL();
    if (credentialDirectory.isEmpty())
        credentialDirectory = DeviceCredentialStore().directory();
    // The runner is process-wide and never destroyed: children may outlive any model.
    if (!codex)
        codex = std::shared_ptr<CodexRunner>(&CodexRunner::shared(), [](CodexRunner *) {});
    if (aiConversationFile.isEmpty())
        aiConversationFile = AIConversationStore::defaultFilePath();
    if (draftFile.isEmpty())
        draftFile = aiConversationFile.left(aiConversationFile.lastIndexOf(u'/') + 1) + QStringLiteral("drafts.json");
    if (!openWithDesktop)
        openWithDesktop = [](QString target) { return platform::openWithDesktop({}, std::move(target)); };
    if (!hasDesktopHandler)
        hasDesktopHandler = [](QString type) { return platform::hasDesktopHandler({}, std::move(type)); };
    if (calendarFolder.isEmpty())
        calendarFolder = platform::applicationSupportDirectory() + QStringLiteral("/calendar");
    if (downloadsFolder.isEmpty())
        downloadsFolder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (!now)
        now = [] { return QDateTime::currentMSecsSinceEpoch(); };
}

AppEnvironment AppEnvironment::production()
{
    AppEnvironment environment;
    environment.fillDefaults();
    return environment;
}

} // namespace quarn
