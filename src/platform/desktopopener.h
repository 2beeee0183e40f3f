#pragma once

#include <QCoroTask>
#include <QString>

#include <chrono>

/// Hands files and links to the desktop's handlers, and learns whether that
/// worked: through the freedesktop.org programs, run as processes whose exit
/// status is the answer. (QDesktopServices answers true as soon as the opener
/// has started, whether or not anything handles what it was given.)
namespace quarn::platform {

/// The programs used; tests put recording stand-ins in their place.
struct DesktopPrograms
{
    /// Opens a link or file with its handler: `opener <target>`.
    QString opener = QStringLiteral("xdg-open");
    /// Names the default handler of a type: `mimeQuery query default <type>`
    /// prints a desktop entry's name, or nothing.
    QString mimeQuery = QStringLiteral("xdg-mime");
    /// An opener still running after this long is taken to run the handler
    /// in the foreground (xdg-open does so on a desktop it does not know):
    /// the handler has accepted the target.
    std::chrono::milliseconds settle { 10'000 };
};

/// Whether a handler is registered for `mimeType` (for a URL scheme:
/// "x-scheme-handler/<scheme>").
QCoro::Task<bool> hasDesktopHandler(DesktopPrograms programs, QString mimeType);

/// Opens `target` (a URL or an absolute file path) with its handler; true
/// when the opener ended with status 0 or is still running the handler
/// after `settle`, false when it could not start or failed.
QCoro::Task<bool> openWithDesktop(DesktopPrograms programs, QString target);

} // namespace quarn::platform
