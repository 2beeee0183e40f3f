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
///
/// The base ($XDG_DATA_HOME or ~/.local/share) is taken at its real path,
/// every symbolic link in it resolved (a part that does not exist yet is
/// appended as written), because the staged Codex CLI must lie on a path
/// without links. "Quarn Mail" itself is appended unresolved: the components
/// check that it is a real folder of the user and never follow it. Callers
/// compute it once and keep it.
[[nodiscard]] QString applicationSupportDirectory();

/// `path` (absolute) with every symbolic link resolved in its longest part
/// that exists; the rest is appended as written after "." and ".." are
/// removed. Nothing when `path` is relative or empty.
[[nodiscard]] QString realPathOfExistingPart(const QString &path);

/// $XDG_RUNTIME_DIR when it is this user's private runtime folder: an
/// absolute path of a folder itself (not a link) owned by the real user with
/// mode 0700. Empty otherwise: a `su` shell keeps another user's value, and a
/// folder anyone else can enter is no private place.
[[nodiscard]] QString privateRuntimeDirectory();

/// Base folder for per-run private work folders: privateRuntimeDirectory()
/// when there is one, else $TMPDIR when it is an absolute path of a folder,
/// else "/tmp". Never empty and never relative, so that a work folder is
/// never made at the root or in the working folder.
[[nodiscard]] QString temporaryDirectory();

} // namespace quarn::platform
