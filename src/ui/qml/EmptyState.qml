import QtQuick
import QtQuick.Layouts

// A centred placeholder: symbol, title and description.
ColumnLayout {
    property string symbol
    property string title
    property string description

    spacing: 8

    Symbol {
        Layout.alignment: Qt.AlignHCenter
        name: parent.symbol
        size: 32
        opacity: 0.6
    }
    PlainLabel {
        Layout.alignment: Qt.AlignHCenter
        text: parent.title
        font.pixelSize: 16
        font.weight: Font.DemiBold
        color: QuarnStyle.primary
    }
    PlainLabel {
        Layout.alignment: Qt.AlignHCenter
        Layout.maximumWidth: 320
        text: parent.description
        wrapMode: Text.WordWrap
        horizontalAlignment: Text.AlignHCenter
        color: QuarnStyle.secondary
    }
}
