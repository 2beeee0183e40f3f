import QtQuick

// A symbol by its design name (see symbols.cpp for the table), in the theme's
// colours or tinted with one colour.
Image {
    id: symbol

    property string name
    property int size: 16
    property color tint: "transparent"

    source: name === "" ? "" : "image://symbol/" + name + (tint.a > 0 ? "/" + tint.toString().slice(1) : "")
    sourceSize: Qt.size(size, size)
    width: size
    height: size
    fillMode: Image.PreserveAspectFit
}
