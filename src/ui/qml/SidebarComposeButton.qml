import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The sidebar's "新規メッセージ" button; its fill answers the pointer.
AbstractButton {
    id: button

    objectName: "sidebarComposeButton"

    implicitHeight: 36
    hoverEnabled: true

    background: Rectangle {
        radius: 11
        color: button.hovered ? Qt.rgba(QuarnStyle.primary.r, QuarnStyle.primary.g, QuarnStyle.primary.b, 0.18)
                              : QuarnStyle.ink
        border.width: 1
        border.color: Qt.rgba(1, 1, 1, button.hovered ? 0.13 : 0.06)

        Behavior on color {
            ColorAnimation {
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
            tint: "white"
            size: 14
        }
        Label {
            text: "新規メッセージ"
            color: "white"
            font.pixelSize: 13
            font.weight: Font.DemiBold
        }
        Item {
            Layout.fillWidth: true
        }
    }
}
