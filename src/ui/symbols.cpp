#include "ui/symbols.h"

#include <QColor>
#include <QHash>
#include <QIcon>
#include <QPainter>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

namespace quarn::ui {

namespace {

const QHash<QString, QString> &table()
{
    static const QHash<QString, QString> symbols {
        { u"envelope.badge"_s, u"mail-unread-new"_s },
        { u"envelope.badge.shield.half.filled"_s, u"mail-unread-new"_s },
        { u"envelope"_s, u"mail-message"_s },
        { u"plus"_s, u"list-add"_s },
        { u"plus.bubble"_s, u"document-new"_s },
        { u"person.crop.circle.badge.exclamationmark"_s, u"mail-mark-important"_s },
        { u"person.crop.circle"_s, u"user-identity"_s },
        { u"person.2"_s, u"user-others"_s },
        { u"sparkles"_s, u"tools-wizard"_s },
        { u"clock"_s, u"clock"_s },
        { u"calendar"_s, u"view-calendar-day"_s },
        { u"signature"_s, u"document-sign"_s },
        { u"calendar.badge.clock"_s, u"view-calendar-upcoming-events"_s },
        { u"tray"_s, u"mail-folder-inbox"_s },
        { u"checkmark"_s, u"dialog-ok-apply"_s },
        { u"checkmark.circle"_s, u"dialog-ok"_s },
        { u"checkmark.seal"_s, u"security-high"_s },
        { u"exclamationmark.triangle"_s, u"data-warning"_s },
        { u"arrow.clockwise"_s, u"view-refresh"_s },
        { u"square.and.pencil"_s, u"document-edit"_s },
        { u"magnifyingglass"_s, u"search"_s },
        { u"rectangle.and.text.magnifyingglass"_s, u"search"_s },
        { u"bubble.left"_s, u"dialog-messages"_s },
        { u"at"_s, u"mail-message"_s },
        { u"arrow.right.circle.fill"_s, u"go-next"_s },
        { u"clock.fill"_s, u"clock"_s },
        { u"tray.fill"_s, u"mail-folder-inbox"_s },
        { u"checkmark.circle.fill"_s, u"dialog-ok"_s },
        { u"calendar"_s, u"view-calendar"_s },
        { u"paperplane.fill"_s, u"mail-send"_s },
        { u"envelope.open.fill"_s, u"mail-read"_s },
        { u"arrow.up.forward.app"_s, u"window-new"_s },
        { u"chevron.down"_s, u"arrow-down"_s },
        { u"text.bubble"_s, u"dialog-messages"_s },
        { u"arrow.up"_s, u"go-up"_s },
        { u"arrow.down"_s, u"go-down"_s },
        { u"pencil"_s, u"edit-rename"_s },
        { u"trash"_s, u"edit-delete"_s },
        { u"lock.fill"_s, u"object-locked"_s },
        { u"person.fill"_s, u"user"_s },
    };
    return symbols;
}

} // namespace

QString themeIconName(const QString &symbol)
{
    return table().value(symbol);
}

void ensureIconTheme()
{
    // The desktop's own theme wins where it has an icon; Breeze fills the gaps.
    // Without a desktop platform theme (offscreen, a bare X server) Qt does
    // not even know where themes live.
    QStringList paths = QIcon::themeSearchPaths();
    for (const QString &folder :
        QStandardPaths::locateAll(QStandardPaths::GenericDataLocation, u"icons"_s, QStandardPaths::LocateDirectory)) {
        if (!paths.contains(folder))
            paths.append(folder);
    }
    QIcon::setThemeSearchPaths(paths);
    if (QIcon::themeName().isEmpty())
        QIcon::setThemeName(u"breeze"_s);
    QIcon::setFallbackThemeName(u"breeze"_s);
}

SymbolImageProvider::SymbolImageProvider()
    : QQuickImageProvider(QQuickImageProvider::Pixmap)
{ }

QPixmap SymbolImageProvider::requestPixmap(const QString &id, QSize *size, const QSize &requestedSize)
{
    const QString symbol = id.section(u'/', 0, 0);
    const QString colour = id.section(u'/', 1);
    const QSize wanted(requestedSize.width() > 0 ? requestedSize.width() : 16,
        requestedSize.height() > 0 ? requestedSize.height() : 16);
    if (size)
        *size = wanted;

    const QString name = themeIconName(symbol);
    const QIcon icon = name.isEmpty() ? QIcon() : QIcon::fromTheme(name);
    if (icon.isNull()) {
        qWarning("no icon for the symbol %s", qPrintable(symbol));
        QPixmap empty(wanted);
        empty.fill(Qt::transparent);
        return empty;
    }
    QPixmap pixmap = icon.pixmap(wanted);
    if (!colour.isEmpty()) {
        // The shape of the icon, filled with one colour.
        QPainter painter(&pixmap);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        // QML passes colours as hex digits without "#", which a URL would cut off.
        QColor fill = QColor::fromString(colour);
        if (!fill.isValid())
            fill = QColor::fromString(u'#' + colour);
        painter.fillRect(pixmap.rect(), fill);
    }
    return pixmap;
}

} // namespace quarn::ui
