import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The messages of the selected AI conversation.
Item {
    id: pane

    objectName: "aiConversationPane"

    required property var appModel

    readonly property var conversation: appModel.selectedAIConversation

    EmptyState {
        anchors.centerIn: parent
        visible: !pane.conversation.present
        symbol: "sparkles"
        title: "AI"
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 22
        visible: pane.conversation.present

        Label {
            text: pane.conversation.title
            font.pixelSize: 16
            font.weight: Font.DemiBold
        }
        ListView {
            id: messages

            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            spacing: 10
            model: pane.conversation
            ScrollBar.vertical: ScrollBar {}

            delegate: Label {
                required property string role
                required property string content

                width: messages.width - 12
                text: (role === "user" ? "あなた: " : "AI: ") + content
                wrapMode: Text.WordWrap
            }
        }
    }
}
