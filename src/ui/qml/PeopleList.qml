import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Everyone the user has corresponded with, with the search field. The list's
// current row is the selected person: the arrow keys (and j/k, Home/End,
// Page Up/Down) select and open, as a click does; Space reads on in the
// timeline.
ColumnLayout {
    id: list

    objectName: "peopleList"

    required property var appModel
    required property var commands
    required property var commandTable

    // Space and Shift+Space: read on (1) or back (-1) in the shown timeline.
    signal scrollRequested(int pages)

    readonly property var timelineEmail: appModel.personTimeline ? appModel.personTimeline.person.email : null

    spacing: 0

    function open(email) {
        list.appModel.operations.openPerson(email);
    }

    function focusList() {
        view.forceActiveFocus();
    }
    function focusSearch() {
        search.forceActiveFocus();
        search.selectAll();
    }

    RowLayout {
        Layout.fillWidth: true
        Layout.leftMargin: 16
        Layout.rightMargin: 16
        Layout.topMargin: 14
        Layout.bottomMargin: 8
        spacing: 8

        PlainLabel {
            Layout.fillWidth: true
            text: "People"
            font.pixelSize: 20
            font.weight: Font.DemiBold
            color: QuarnStyle.primary
            Accessible.role: Accessible.Heading
            Accessible.name: text
        }
        BusyIndicator {
            objectName: "peopleProgress"
            Layout.preferredWidth: 18
            Layout.preferredHeight: 18
            visible: running
            running: list.appModel.isLoading
            Accessible.name: "読み込み中"
        }
        PlainLabel {
            objectName: "peopleCount"
            text: view.count.toString()
            font.pixelSize: 11
            color: QuarnStyle.tertiary
        }
    }

    Rectangle {
        Layout.fillWidth: true
        Layout.leftMargin: 12
        Layout.rightMargin: 12
        Layout.bottomMargin: 10
        implicitHeight: 30
        radius: 8
        color: QuarnStyle.tinted(QuarnStyle.primary, 0.06)

        RowLayout {
            anchors.fill: parent
            anchors.leftMargin: 8
            anchors.rightMargin: 4
            spacing: 4
            Symbol {
                name: "magnifyingglass"
                size: 14
                opacity: 0.45
            }
            TextField {
                id: search

                objectName: "peopleSearchField"
                Layout.fillWidth: true
                placeholderText: "人を検索"
                text: list.appModel.searchText
                background: null
                font.pixelSize: 13
                Accessible.role: Accessible.EditableText
                Accessible.name: "人を検索"
                onTextEdited: list.appModel.searchText = text
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

    ListView {
        id: view

        objectName: "peopleListView"
        Layout.fillWidth: true
        Layout.fillHeight: true
        clip: true
        reuseItems: true
        focus: true
        activeFocusOnTab: true
        keyNavigationEnabled: false
        model: list.appModel.filteredPeople
        ScrollBar.vertical: ScrollBar {}
        Accessible.role: Accessible.List
        Accessible.name: "People"

        Keys.forwardTo: [selection]

        ListSelection {
            id: selection

            view: view
            selectedKey: list.appModel.selectedPersonEmail
            commandTable: list.commandTable
            onScrollRequested: pages => list.scrollRequested(pages)
            onEnterPressed: if (view.currentItem && view.currentItem.email !== list.timelineEmail)
                list.open(view.currentItem.email)
        }

        delegate: PersonRow {
            width: view.width
            // The current row has the view's focus; the list's keys come first.
            Keys.forwardTo: [selection]
            highlighted: list.appModel.selectedPersonEmail === email
            onClicked: {
                view.forceActiveFocus();
                list.open(email);
            }
        }

        LoadingState {
            objectName: "peopleLoadingState"
            anchors.centerIn: parent
            width: Math.min(implicitWidth, view.width - 32)
            visible: view.count === 0 && list.appModel.isLoadingPeople
        }
        EmptyState {
            objectName: "peopleEmptyState"
            anchors.centerIn: parent
            width: Math.min(implicitWidth, view.width - 32)
            visible: view.count === 0 && !list.appModel.isLoadingPeople
            symbol: list.appModel.searchText === "" ? "person.2" : "magnifyingglass"
            title: list.appModel.searchText === "" ? "まだ誰もいません" : "見つかりません"
            description: list.appModel.searchText === "" ? "やりとりした人がここに現れます。" : "検索語を変えてください。"
        }
    }
}
