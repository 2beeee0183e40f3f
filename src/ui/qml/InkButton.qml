import QtQuick
import QtQuick.Controls

// A prominent button filled with the ink colour, with white text; faded
// while disabled.
Button {
    id: button

    font.pixelSize: 13
    font.weight: Font.DemiBold
    leftPadding: 14
    rightPadding: 14
    topPadding: 7
    bottomPadding: 7
    Accessible.role: Accessible.Button
    Accessible.name: text

    background: Rectangle {
        radius: 8
        color: QuarnStyle.ink
        opacity: button.enabled ? (button.down ? 0.8 : 1) : 0.35
        // The keyboard focus shows as a ring in the accent colour.
        border.width: button.visualFocus ? 2 : 1
        border.color: button.visualFocus ? QuarnStyle.accentText : Qt.rgba(1, 1, 1, 0.12)
    }
    contentItem: PlainLabel {
        text: button.text
        font: button.font
        color: "white"
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }
}
