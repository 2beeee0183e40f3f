#include "app/appenvironment.h"

#include "account/devicecredentialstore.h"
#include "ai/aiconversationstore.h"
#include "ai/codexrunner.h"
#include "api/apiclient.h"

#include <QDateTime>
#include <QDesktopServices>

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
    if (!openURL)
        openURL = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
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
