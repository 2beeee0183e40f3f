import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The conversations of the selected status, with the search field.
ColumnLayout {
    id: list

    objectName: "conversationList"

    required property var appModel
    required property var commands

    spacing: 0

    TextField {
        Layout.fillWidth: true
        Layout.margins: 10
        placeholderText: "検索"
        text: list.appModel.searchText
        onTextEdited: list.appModel.searchText = text
    }

    ListView {
        id: view

        objectName: "conversationListView"
        Layout.fillWidth: true
        Layout.fillHeight: true
        clip: true
        model: list.appModel.filteredConversations
        ScrollBar.vertical: ScrollBar {}

        delegate: ItemDelegate {
            id: row

            required property string id
            required property string subject
            required property string participantName
            required property string preview
            required property var aiSummary
            required property bool unread

            width: view.width
            highlighted: list.appModel.selectedConversationID === id
            onClicked: list.appModel.operations.openConversation(id)

            contentItem: ColumnLayout {
                spacing: 2
                RowLayout {
                    Label {
                        Layout.fillWidth: true
                        text: row.participantName
                        font.weight: row.unread ? Font.DemiBold : Font.Normal
                        elide: Text.ElideRight
                    }
                }
                Label {
                    Layout.fillWidth: true
                    text: row.subject
                    font.pixelSize: 13
                    font.weight: Font.Medium
                    elide: Text.ElideRight
                }
                Label {
                    Layout.fillWidth: true
                    text: row.aiSummary != null ? "AI  " + row.aiSummary : row.preview
                    font.pixelSize: 11
                    color: QuarnStyle.secondary
                    elide: Text.ElideRight
                    maximumLineCount: 2
                    wrapMode: Text.WordWrap
                }
            }
        }

        EmptyState {
            anchors.centerIn: parent
            visible: view.count === 0
            symbol: list.appModel.searchText === "" ? "tray" : "magnifyingglass"
            title: list.appModel.searchText === "" ? "ここは空です" : "見つかりません"
            description: list.appModel.searchText === "" ? "次の一手が発生すると、ここに現れます。" : "検索語を変えてください。"
        }
    }
}
