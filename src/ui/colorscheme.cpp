#include "ui/colorscheme.h"

#include <QColor>
#include <QGuiApplication>

using namespace Qt::StringLiterals;

namespace quarn::ui {

namespace {

bool isDark(const QPalette &palette)
{
    return palette.color(QPalette::Active, QPalette::Window).lightnessF() < 0.5;
}

/// Text roles of the disabled group, faded towards the background.
void fadeDisabled(QPalette &palette, const QColor &faded)
{
    for (QPalette::ColorRole role :
        { QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::PlaceholderText }) {
        palette.setColor(QPalette::Disabled, role, faded);
    }
}

QPalette darkPalette()
{
    QPalette p;
    const QColor text(0xe6, 0xe6, 0xea);
    p.setColor(QPalette::Window, QColor(0x2a, 0x2b, 0x30));
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, QColor(0x1e, 0x1f, 0x23));
    p.setColor(QPalette::AlternateBase, QColor(0x26, 0x27, 0x2c));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::PlaceholderText, QColor(0x8c, 0x8d, 0x94));
    p.setColor(QPalette::Button, QColor(0x34, 0x35, 0x3b));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::Light, QColor(0x48, 0x49, 0x50));
    p.setColor(QPalette::Midlight, QColor(0x3c, 0x3d, 0x44));
    p.setColor(QPalette::Mid, QColor(0x26, 0x27, 0x2b));
    p.setColor(QPalette::Dark, QColor(0x18, 0x19, 0x1c));
    p.setColor(QPalette::Shadow, Qt::black);
    p.setColor(QPalette::Highlight, QColor(0x4a, 0x6f, 0xc4));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, QColor(0x8a, 0xb4, 0xf8));
    p.setColor(QPalette::LinkVisited, QColor(0xb3, 0x9d, 0xf0));
    p.setColor(QPalette::ToolTipBase, QColor(0x34, 0x35, 0x3b));
    p.setColor(QPalette::ToolTipText, text);
    fadeDisabled(p, QColor(0x7a, 0x7b, 0x82));
    return p;
}

QPalette lightPalette()
{
    QPalette p;
    const QColor text(0x1a, 0x1a, 0x1e);
    p.setColor(QPalette::Window, QColor(0xef, 0xef, 0xf1));
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, Qt::white);
    p.setColor(QPalette::AlternateBase, QColor(0xf6, 0xf6, 0xf8));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::PlaceholderText, QColor(0x80, 0x80, 0x86));
    p.setColor(QPalette::Button, QColor(0xef, 0xef, 0xf1));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::Light, Qt::white);
    p.setColor(QPalette::Midlight, QColor(0xe3, 0xe3, 0xe6));
    p.setColor(QPalette::Mid, QColor(0xb8, 0xb8, 0xbd));
    p.setColor(QPalette::Dark, QColor(0x9f, 0x9f, 0xa4));
    p.setColor(QPalette::Shadow, QColor(0x76, 0x76, 0x7a));
    p.setColor(QPalette::Highlight, QColor(0x30, 0x8c, 0xc6));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, QColor(0x1f, 0x5f, 0xbf));
    p.setColor(QPalette::LinkVisited, QColor(0x6a, 0x3f, 0xb0));
    p.setColor(QPalette::ToolTipBase, QColor(0xff, 0xff, 0xdc));
    p.setColor(QPalette::ToolTipText, Qt::black);
    fadeDisabled(p, QColor(0xa0, 0xa0, 0xa5));
    return p;
}

} // namespace

QPalette paletteForScheme(platform::ColorScheme scheme, const QPalette &toolkit)
{
    switch (scheme) {
    case platform::ColorScheme::dark:
        return isDark(toolkit) ? toolkit : darkPalette();
    case platform::ColorScheme::light:
        return isDark(toolkit) ? lightPalette() : toolkit;
    case platform::ColorScheme::noPreference:
        break;
    }
    return toolkit;
}

void followColorScheme(platform::DesktopAppearance &appearance)
{
    static constexpr auto kFollower = "colorSchemeFollower";
    if (appearance.findChild<QObject *>(QLatin1StringView(kFollower), Qt::FindDirectChildrenOnly))
        return;
    auto *follower = new QObject(&appearance);
    follower->setObjectName(QLatin1StringView(kFollower));
    const QPalette toolkit = QGuiApplication::palette();
    const auto apply = [&appearance, toolkit] {
        // Set only when it differs: a palette set explicitly no longer takes
        // the toolkit's own later changes, and one set before the window
        // (a screen test's scheme) must stay.
        const QPalette wanted = paletteForScheme(appearance.colorScheme(), toolkit);
        if (!(wanted == QGuiApplication::palette()))
            QGuiApplication::setPalette(wanted);
    };
    QObject::connect(&appearance, &platform::DesktopAppearance::colorSchemeChanged, follower, apply);
    apply();
}

} // namespace quarn::ui
