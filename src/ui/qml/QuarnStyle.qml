pragma Singleton
import QtQuick

// The palette the screens share.
QtObject {
    readonly property color ink: Qt.rgba(0.09, 0.095, 0.14, 1)
    readonly property color accent: Qt.rgba(0.31, 0.27, 0.72, 1)
    readonly property color warm: Qt.rgba(0.78, 0.36, 0.2, 1)
    readonly property color green: Qt.rgba(0.2, 0.45, 0.35, 1)

    readonly property SystemPalette system: SystemPalette {
        colorGroup: SystemPalette.Active
    }
    // The system's window background.
    readonly property color canvas: system.window
    // The background of lists and fields.
    readonly property color controlBackground: system.base
    // The system's label colours.
    readonly property color primary: system.windowText
    readonly property color secondary: Qt.rgba(primary.r, primary.g, primary.b, 0.6)
    readonly property color tertiary: Qt.rgba(primary.r, primary.g, primary.b, 0.35)
    // The palette's colours read on a dark background too: lighter there.
    readonly property bool dark: canvas.hslLightness < 0.5
    readonly property color accentText: dark ? Qt.lighter(accent, 1.7) : accent
    readonly property color warmText: dark ? Qt.lighter(warm, 1.35) : warm
    readonly property color greenText: dark ? Qt.lighter(green, 1.7) : green
    // Where the keyboard is: one ring for every control, legible on a light
    // and a dark scheme alike.
    readonly property color focusRing: accentText
    readonly property int focusRingWidth: 2

    // Type sizes (pixels).
    readonly property int captionSize: 11

    // `base` at `alpha` opacity.
    function tinted(base, alpha) {
        return Qt.rgba(base.r, base.g, base.b, alpha);
    }
    // The image of the symbol `name`, drawn in `colour` — the label colour
    // unless told otherwise, so that symbols follow the scheme like text.
    // "transparent" keeps the icon theme's own colours.
    function symbol(name, colour) {
        if (name === "")
            return "";
        const tint = colour === undefined ? primary : colour;
        return "image://symbol/" + name + (tint.a > 0 ? "/" + tint.toString().slice(1) : "");
    }
    // The text colour of a palette colour name ("green", "warm", "accent").
    function tone(name) {
        return name === "green" ? greenText : name === "warm" ? warmText : accentText;
    }
}
