import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quarn.Rules

// The conversations of the selected status: header, search field and the
// rows (or an empty state). Clicking a row opens it unless it is the
// conversation already shown. From the keyboard the list's current row is the
// selected conversation: the arrow keys (and j/k, Home/End, Page Up/Down)
// select and open; Enter goes on to the reply box; Space reads on in the
// conversation.
Rectangle {
    id: list

    objectName: "conversationList"

    required property var appModel
    required property var commands
    required property var commandTable

    // Space and Shift+Space: read on (1) or back (-1) in the shown conversation.
    signal scrollRequested(int pages)
    // Enter on the selected row: write the reply.
    signal replyRequested

    readonly property var statusPresentation: ScreenRules.status(appModel.selectedStatus)
    readonly property bool searching: appModel.searchText !== ""

    // Opens `id`, unless it is the one on screen (which would only reload it).
    function select(id) {
        const shown = appModel.detail;
        if (shown == null || shown.id !== id)
            appModel.operations.openConversation(id);
    }

    function focusList() {
        view.forceActiveFocus();
    }
    function focusSearch() {
        searchField.forceActiveFocus();
        searchField.selectAll();
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
                    // Down moves into the rows; Escape gives up the search.
                    Keys.onDownPressed: view.forceActiveFocus()
                    Keys.onEscapePressed: {
                        list.appModel.searchText = "";
                        view.forceActiveFocus();
                    }
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

            // Until the chosen status's list has answered, no rows say
            // nothing about it: the list is on its way, not empty.
            LoadingState {
                objectName: "listLoadingState"
                anchors.centerIn: parent
                width: Math.min(parent.width - 32, 320)
                visible: view.count === 0 && list.appModel.isLoadingList
            }
            EmptyState {
                objectName: "listEmptyState"
                anchors.centerIn: parent
                width: Math.min(parent.width - 32, 320)
                visible: view.count === 0 && !list.appModel.isLoadingList
                symbol: list.searching ? "magnifyingglass" : list.statusPresentation.symbol
                title: list.searching ? "見つかりません" : "ここは空です"
                description: list.searching ? "検索語を変えてください。" : "次の一手が発生すると、ここに現れます。"
            }

            // Visible also while empty: the keyboard stays in the list.
            ListView {
                id: view

                objectName: "conversationListView"
                anchors.fill: parent
                clip: true
                reuseItems: true
                activeFocusOnTab: true
                keyNavigationEnabled: false
                model: list.appModel.filteredConversations
                ScrollBar.vertical: ScrollBar {}
                Accessible.role: Accessible.List
                Accessible.name: list.statusPresentation.label

                Keys.forwardTo: [selection]

                ListSelection {
                    id: selection

                    view: view
                    selectedKey: list.appModel.selectedConversationID
                    commandTable: list.commandTable
                    onScrollRequested: pages => list.scrollRequested(pages)
                    onEnterPressed: if (list.appModel.selectedConversationID != null) list.replyRequested()
                }

                delegate: ConversationRow {
                    width: view.width
                    // The view hands its focus to the current row, which as a
                    // button would take Space for a click: the list's keys come first.
                    Keys.forwardTo: [selection]
                    selected: list.appModel.selectedConversationID === id
                    current: view.activeFocus && selected
                    onActivated: {
                        view.forceActiveFocus();
                        list.select(id);
                    }
                }
            }
        }
    }
}
