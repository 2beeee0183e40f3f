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
    // The system's label colours.
    readonly property color primary: system.windowText
    readonly property color secondary: Qt.rgba(primary.r, primary.g, primary.b, 0.6)
    readonly property color tertiary: Qt.rgba(primary.r, primary.g, primary.b, 0.4)
}
