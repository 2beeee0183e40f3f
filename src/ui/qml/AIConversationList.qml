import QtQuick
import QtQuick.Controls

// The private AI conversations, most recent first.
ListView {
    id: view

    objectName: "aiConversationList"

    required property var appModel

    clip: true
    model: appModel.aiConversations
    ScrollBar.vertical: ScrollBar {}

    delegate: ItemDelegate {
        required property string id
        required property string title
        required property string lastMessage

        width: view.width
        text: title
        highlighted: view.appModel.selectedAIConversationID === id
        onClicked: view.appModel.selectedAIConversationID = id
    }
}
