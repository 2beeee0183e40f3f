import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quarn.Rules

// The conversations of the selected status: header, search field and the
// rows (or an empty state). Clicking a row, or Enter on the current one,
// opens it unless it is the conversation already shown.
Rectangle {
    id: list

    objectName: "conversationList"

    required property var appModel
    required property var commands

    readonly property var statusPresentation: ScreenRules.status(appModel.selectedStatus)
    readonly property bool searching: appModel.searchText !== ""

    // Opens `id`, unless it is the one on screen (which would only reload it).
    function select(id) {
        const shown = appModel.detail;
        if (shown == null || shown.id !== id)
            appModel.operations.openConversation(id);
    }

    color: QuarnStyle.controlBackground

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 16
            Layout.rightMargin: 16
            Layout.topMargin: 14
            spacing: 8

            PlainLabel {
                objectName: "listTitle"
                text: list.statusPresentation.label
                font.pixelSize: 20
                font.weight: Font.DemiBold
                Accessible.role: Accessible.Heading
                Accessible.name: text
            }
            BusyIndicator {
                objectName: "listProgress"
                visible: list.appModel.isLoading
                running: visible
                Layout.preferredWidth: 18
                Layout.preferredHeight: 18
                padding: 0
                Accessible.name: "読み込み中"
            }
            Item {
                Layout.fillWidth: true
            }
            PlainLabel {
                objectName: "listCount"
                text: view.count.toString()
                font.pixelSize: QuarnStyle.captionSize
                color: QuarnStyle.tertiary
                Accessible.role: Accessible.StaticText
                Accessible.name: text
            }
        }

        Rectangle {
            Layout.fillWidth: true
            Layout.margins: 12
            implicitHeight: 32
            radius: 8
            color: QuarnStyle.tinted(QuarnStyle.primary, 0.05)
            border.width: searchField.activeFocus ? 2 : 0
            border.color: QuarnStyle.accentText

            RowLayout {
                anchors.fill: parent
                anchors.leftMargin: 9
                anchors.rightMargin: 6
                spacing: 6
                Symbol {
                    name: "magnifyingglass"
                    size: 14
                    tint: QuarnStyle.tertiary
                }
                TextField {
                    id: searchField

                    objectName: "searchField"
                    Layout.fillWidth: true
                    placeholderText: "検索"
                    text: list.appModel.searchText
                    onTextEdited: list.appModel.searchText = text
                    background: null
                    leftPadding: 0
                    Accessible.role: Accessible.EditableText
                    Accessible.name: placeholderText
                    // Down moves into the rows.
                    Keys.onDownPressed: view.forceActiveFocus()
                }
            }
        }

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 1
            color: QuarnStyle.tinted(QuarnStyle.primary, 0.1)
        }

        Item {
            Layout.fillWidth: true
            Layout.fillHeight: true

            EmptyState {
                objectName: "listEmptyState"
                anchors.centerIn: parent
                width: Math.min(parent.width - 32, 320)
                visible: view.count === 0
                symbol: list.searching ? "magnifyingglass" : list.statusPresentation.symbol
                title: list.searching ? "見つかりません" : "ここは空です"
                description: list.searching ? "検索語を変えてください。" : "次の一手が発生すると、ここに現れます。"
            }

            ListView {
                id: view

                objectName: "conversationListView"
                anchors.fill: parent
                visible: count > 0
                clip: true
                reuseItems: true
                activeFocusOnTab: true
                keyNavigationEnabled: true
                currentIndex: -1
                model: list.appModel.filteredConversations
                ScrollBar.vertical: ScrollBar {}
                Accessible.role: Accessible.List
                Accessible.name: list.statusPresentation.label

                Keys.onReturnPressed: if (currentItem) list.select(currentItem.id)
                Keys.onEnterPressed: if (currentItem) list.select(currentItem.id)
                onActiveFocusChanged: if (activeFocus && currentIndex < 0 && count > 0) currentIndex = 0

                delegate: ConversationRow {
                    width: view.width
                    selected: list.appModel.selectedConversationID === id
                    current: view.activeFocus && ListView.isCurrentItem
                    onActivated: {
                        view.currentIndex = index;
                        list.select(id);
                    }
                }
            }
        }
    }
}
