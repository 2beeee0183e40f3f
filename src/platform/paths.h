#pragma once

#include <QString>

/// Where the application keeps its private files on this platform.
namespace quarn::platform {

/// The user's home folder ($HOME, else the password database).
[[nodiscard]] QString homeDirectory();

/// The application's private data folder: "$XDG_DATA_HOME/Quarn Mail" when
/// XDG_DATA_HOME is an absolute path, else "~/.local/share/Quarn Mail". It
/// stands where the original platform uses
/// "Library/Application Support/Quarn Mail" under the home folder.
[[nodiscard]] QString applicationSupportDirectory();

} // namespace quarn::platform
