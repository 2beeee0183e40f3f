#pragma once

#include <QCoroTask>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

namespace quarn {

class CodexRunner;
class QuarnAccountAuthorization;

/// Everything AppModel talks to outside itself. `production()` gives the
/// application's own; a test replaces single members (a reference service on
/// loopback, a temporary folder, a Codex runner on the CLI double, a clock it
/// moves by hand) and still runs the real model.
struct AppEnvironment
{
    /// Origin of the mail service. The application always uses the compiled-in
    /// one; only tests point the model elsewhere.
    QUrl baseURL;
    /// Folder of the device token file.
    QString credentialDirectory;
    /// The Codex runner. Production shares the process-wide runner.
    std::shared_ptr<CodexRunner> codex;
    /// The browser sign-in. Empty: the default one (the network and the
    /// system's secure random source); the model keeps its own copy.
    std::shared_ptr<const QuarnAccountAuthorization> accountAuthorization;
    /// The AI conversation file.
    QString aiConversationFile;
    /// The drafts file; by default "drafts.json" beside the AI conversations.
    QString draftFile;
    /// Opens a link or a file with the desktop's handler; true only when
    /// the opener reported success (platform::openWithDesktop).
    std::function<QCoro::Task<bool>(QString target)> openWithDesktop;
    /// Whether the desktop has a handler for a MIME type or
    /// "x-scheme-handler/<scheme>" (platform::hasDesktopHandler).
    std::function<QCoro::Task<bool>(QString mimeType)> hasDesktopHandler;
    /// Private folder (0700) for calendar files handed to the calendar app.
    QString calendarFolder;
    /// The user's Downloads folder (XDG user dirs), where a calendar file is
    /// kept when no program takes it.
    QString downloadsFolder;
    /// The current time in milliseconds since 1970-01-01 UTC.
    std::function<qint64()> now;

    /// Gives every member left empty the application's own; an empty
    /// `accountAuthorization` stays empty (the model makes the default one).
    void fillDefaults();

    /// The application's own collaborators.
    [[nodiscard]] static AppEnvironment production();
};

} // namespace quarn
