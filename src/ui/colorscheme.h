#pragma once

#include "platform/desktopappearance.h"

#include <QPalette>

namespace quarn::ui {

/// The application palette for the desktop's `scheme`, given the toolkit's own
/// palette: the toolkit's when there is no preference or when it already has
/// the asked-for lightness (the user's theme keeps its colours), else a dark
/// or light palette of the program's own.
[[nodiscard]] QPalette paletteForScheme(platform::ColorScheme scheme, const QPalette &toolkit);

/// Keeps the application palette on `appearance`'s scheme: now, and at once
/// on every change. The palette the application has at the first call is the
/// toolkit's own. Once per appearance; later calls do nothing.
void followColorScheme(platform::DesktopAppearance &appearance);

} // namespace quarn::ui
