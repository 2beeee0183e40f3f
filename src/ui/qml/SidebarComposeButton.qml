import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quarn.Rules

// The sidebar's "新規メッセージ" button; its fill answers the pointer, with a
// short animation unless the desktop asks for reduced motion.
AbstractButton {
    id: button

    objectName: "sidebarComposeButton"

    // What a click does (AbstractButton's own `action` is a final property).
    property var clickAction: function () {}
    readonly property bool isHovering: hovered
    property bool reduceMotion: ScreenRules.reduceMotion

    implicitHeight: 36
    hoverEnabled: true
    focusPolicy: Qt.StrongFocus
    text: "新規メッセージ"

    Accessible.role: Accessible.Button
    Accessible.name: text
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()
    onClicked: clickAction()

    background: Rectangle {
        objectName: "composeButtonFill"
        radius: 11
        color: button.isHovering ? QuarnStyle.tinted(QuarnStyle.primary, 0.18) : QuarnStyle.ink
        border.width: button.visualFocus ? 2 : 1
        border.color: button.visualFocus ? QuarnStyle.accentText : Qt.rgba(1, 1, 1, button.isHovering ? 0.13 : 0.06)

        Behavior on color {
            enabled: !button.reduceMotion
            ColorAnimation {
                objectName: "composeHoverAnimation"
                duration: 140
                easing.type: Easing.OutQuad
            }
        }
    }

    contentItem: RowLayout {
        spacing: 6
        Item {
            Layout.fillWidth: true
        }
        Symbol {
            name: "plus"
            tint: label.color
            size: 14
        }
        PlainLabel {
            id: label
            text: button.text
            // White on ink; on the light hover fill white would vanish.
            color: button.isHovering && !QuarnStyle.dark ? QuarnStyle.primary : "white"
            font.pixelSize: 13
            font.weight: Font.DemiBold
        }
        Item {
            Layout.fillWidth: true
        }
    }
}
