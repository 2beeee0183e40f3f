import QtQuick
import QtQuick.Shapes

// A message body on its bubble: rounded corners of 14 except the one
// pointing at the sender's side (bottom right for the viewer's own), 4.
Item {
    id: card

    objectName: "messageCard"

    property string bodyText
    property bool own

    // An address in the body the user chose to open.
    signal linkOpened(string link)

    readonly property real padding: 15
    readonly property color fill: own ? QuarnStyle.tinted(QuarnStyle.accent, QuarnStyle.dark ? 0.32 : 0.11)
                                      : QuarnStyle.tinted(QuarnStyle.primary, QuarnStyle.dark ? 0.08 : 0.055)

    implicitWidth: body.implicitWidth + 2 * padding
    implicitHeight: body.implicitHeight + 2 * padding

    Shape {
        id: bubble

        readonly property real big: Math.min(14, card.width / 2, card.height / 2)
        readonly property real small: Math.min(4, big)
        // Radii of the four corners, clockwise from the top left.
        readonly property real bottomRight: card.own ? small : big
        readonly property real bottomLeft: card.own ? big : small

        anchors.fill: parent
        antialiasing: true

        ShapePath {
            strokeWidth: -1
            fillColor: card.fill
            startX: bubble.big
            startY: 0
            PathLine { x: card.width - bubble.big; y: 0 }
            PathArc { x: card.width; y: bubble.big; radiusX: bubble.big; radiusY: bubble.big }
            PathLine { x: card.width; y: card.height - bubble.bottomRight }
            PathArc { x: card.width - bubble.bottomRight; y: card.height; radiusX: bubble.bottomRight; radiusY: bubble.bottomRight }
            PathLine { x: bubble.bottomLeft; y: card.height }
            PathArc { x: 0; y: card.height - bubble.bottomLeft; radiusX: bubble.bottomLeft; radiusY: bubble.bottomLeft }
            PathLine { x: 0; y: bubble.big }
            PathArc { x: bubble.big; y: 0; radiusX: bubble.big; radiusY: bubble.big }
        }
    }

    MessageBody {
        id: body

        objectName: "messageBody"
        x: card.padding
        y: card.padding
        width: card.width - 2 * card.padding
        bodyText: card.bodyText
        font.pixelSize: 13
        color: QuarnStyle.primary
        Accessible.role: Accessible.StaticText
        Accessible.name: card.bodyText
        onLinkOpened: link => card.linkOpened(link)
        selectionColor: QuarnStyle.system.highlight
        selectedTextColor: QuarnStyle.system.highlightedText
    }
}
