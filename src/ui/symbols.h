#pragma once

#include <QQuickImageProvider>
#include <QString>

/// The screens name their symbols as the design does ("tray", "sparkles").
/// This is the one table that maps those names to icons of the Breeze theme,
/// and the image provider that serves them to QML:
///
///     Image { source: "image://symbol/tray" }          // the theme's colours
///     Image { source: "image://symbol/plus/white" }    // one colour, any QColor name
namespace quarn::ui {

/// The Breeze icon for `symbol`; empty when the table has none.
[[nodiscard]] QString themeIconName(const QString &symbol);

/// Makes Breeze the theme that fills in what the desktop's theme lacks (a
/// bare X session names none at all).
void ensureIconTheme();

/// Serves "image://symbol/<name>[/<colour>]". An unknown name gives an empty
/// image and a warning, so a missing entry shows up in the screen tests.
class SymbolImageProvider : public QQuickImageProvider
{
public:
    SymbolImageProvider();
    QPixmap requestPixmap(const QString &id, QSize *size, const QSize &requestedSize) override;
};

} // namespace quarn::ui
