import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// One row of the sidebar: symbol, label and count.
AbstractButton {
    id: row

    property string label
    property string symbol
    property int count
    property bool bold
    property bool highlighted

    implicitHeight: 38

    background: Rectangle {
        radius: 9
        color: row.highlighted ? Qt.rgba(QuarnStyle.primary.r, QuarnStyle.primary.g, QuarnStyle.primary.b, 0.075)
                               : "transparent"
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
                opacity: 0.7
            }
        }
        Label {
            Layout.fillWidth: true
            text: row.label
            font.pixelSize: 13
            font.weight: row.bold ? Font.DemiBold : Font.Normal
            elide: Text.ElideRight
        }
        Label {
            objectName: "count"
            text: row.count.toString()
            font.pixelSize: 11
            color: QuarnStyle.secondary
        }
    }
    leftPadding: 8
    rightPadding: 8
}
