import QtQuick

// A symbol by its design name (see symbols.cpp for the table), in the label
// colour, another colour, or the icon theme's own colours ("transparent").
Image {
    id: symbol

    property string name
    property int size: 16
    property color tint: QuarnStyle.primary

    source: QuarnStyle.symbol(name, tint)
    sourceSize: Qt.size(size, size)
    width: size
    height: size
    fillMode: Image.PreserveAspectFit
}
