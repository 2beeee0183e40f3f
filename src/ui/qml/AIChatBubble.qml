import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// One message of a private AI conversation: the user's on the trailing side,
// the AI's on the leading side, each leaving 80 points free on the other.
Item {
    id: bubble

    required property string id
    required property string role
    required property string content

    readonly property bool mine: role === "user"
    readonly property real maxWidth: Math.min(620, width - 80)

    objectName: "aiBubble_" + id
    implicitHeight: column.implicitHeight

    ColumnLayout {
        id: column

        width: Math.min(bubble.maxWidth, Math.max(caption.implicitWidth, contentEdit.implicitWidth + 28))
        anchors.right: bubble.mine ? parent.right : undefined
        anchors.left: bubble.mine ? undefined : parent.left
        spacing: 4

        RowLayout {
            id: caption

            Layout.alignment: bubble.mine ? Qt.AlignRight : Qt.AlignLeft
            spacing: 4
            Symbol {
                name: bubble.mine ? "person.fill" : "sparkles"
                size: 11
                opacity: 0.6
            }
            PlainLabel {
                objectName: "bubbleCaption"
                text: bubble.mine ? "あなた" : "AI"
                font.pixelSize: 10
                color: QuarnStyle.secondary
            }
        }

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: contentEdit.implicitHeight + 28
            radius: 14
            color: bubble.mine ? QuarnStyle.tinted(QuarnStyle.accent, 0.11) : QuarnStyle.tinted(QuarnStyle.primary, 0.055)

            SelectableText {
                id: contentEdit

                objectName: "bubbleContent"
                x: 14
                y: 14
                width: parent.width - 28
                text: bubble.content
                font.pixelSize: 13
                color: QuarnStyle.primary
                selectionColor: QuarnStyle.system.highlight
                selectedTextColor: QuarnStyle.system.highlightedText
                Accessible.role: Accessible.StaticText
                Accessible.name: (bubble.mine ? "あなた: " : "AI: ") + text
            }
        }
    }
}
