import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// One row of the sidebar: symbol, label and count.
AbstractButton {
    id: row

    property string label
    property string symbol
    property int count
    // Semibold: the row's status is the selected one (in every lens).
    property bool bold
    // The row's list is the one on screen.
    property bool highlighted

    implicitHeight: 38
    leftPadding: 8
    rightPadding: 8
    focusPolicy: Qt.StrongFocus

    Accessible.role: Accessible.Button
    Accessible.name: label
    Accessible.description: count.toString()
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()

    background: Rectangle {
        radius: 9
        color: row.highlighted ? QuarnStyle.tinted(QuarnStyle.primary, 0.075) : "transparent"
        border.width: row.visualFocus ? 2 : 0
        border.color: QuarnStyle.accentText
    }

    contentItem: RowLayout {
        spacing: 8
        Item {
            Layout.preferredWidth: 18
            Layout.preferredHeight: 18
            Symbol {
                anchors.centerIn: parent
                name: row.symbol
                size: 16
                tint: QuarnStyle.secondary
            }
        }
        PlainLabel {
            objectName: "label"
            Layout.fillWidth: true
            text: row.label
            font.pixelSize: 13
            font.weight: row.bold ? Font.DemiBold : Font.Normal
            elide: Text.ElideRight
        }
        PlainLabel {
            objectName: "count"
            text: row.count.toString()
            font.pixelSize: QuarnStyle.captionSize
            color: QuarnStyle.secondary
        }
    }
}
