import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Everyone the user has corresponded with.
ColumnLayout {
    id: list

    objectName: "peopleList"

    required property var appModel
    required property var commands

    spacing: 0

    TextField {
        Layout.fillWidth: true
        Layout.margins: 10
        placeholderText: "人を検索"
        text: list.appModel.searchText
        onTextEdited: list.appModel.searchText = text
    }

    ListView {
        id: view

        Layout.fillWidth: true
        Layout.fillHeight: true
        clip: true
        model: list.appModel.filteredPeople
        ScrollBar.vertical: ScrollBar {}

        delegate: ItemDelegate {
            id: row

            required property string email
            required property string displayName
            required property var conversationCount

            width: view.width
            highlighted: list.appModel.selectedPersonEmail === email
            onClicked: list.appModel.operations.openPerson(email)

            contentItem: ColumnLayout {
                spacing: 2
                Label {
                    text: row.displayName
                    font.weight: Font.Medium
                }
                Label {
                    text: row.email + " · " + row.conversationCount
                    font.pixelSize: 11
                    color: QuarnStyle.secondary
                }
            }
        }
    }
}
