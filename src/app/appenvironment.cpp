#include "app/appenvironment.h"

#include "account/devicecredentialstore.h"
#include "ai/aiconversationstore.h"
#include "ai/codexrunner.h"
#include "api/apiclient.h"

#include <QDateTime>
#include <QDesktopServices>

namespace quarn {

AppEnvironment AppEnvironment::production()
{
    AppEnvironment environment;
    environment.baseURL = APIClient::productionBaseURL();
    environment.credentialDirectory = DeviceCredentialStore().directory();
    // The runner is process-wide and never destroyed: children may outlive any model.
    environment.codex = std::shared_ptr<CodexRunner>(&CodexRunner::shared(), [](CodexRunner *) {});
    environment.aiConversationFile = AIConversationStore::defaultFilePath();
    environment.openURL = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
    environment.now = [] { return QDateTime::currentMSecsSinceEpoch(); };
    return environment;
}

} // namespace quarn
