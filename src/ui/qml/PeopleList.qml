import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Everyone the user has corresponded with, with the search field. Arrow keys
// move the selection (opening the person when their timeline is not the one
// shown); Enter and a click open the person.
ColumnLayout {
    id: list

    objectName: "peopleList"

    required property var appModel
    required property var commands

    readonly property var timelineEmail: appModel.personTimeline ? appModel.personTimeline.person.email : null

    spacing: 0

    function open(email) {
        list.appModel.operations.openPerson(email);
    }

    function moveSelection(step) {
        if (view.count === 0)
            return;
        const next = Math.max(0, Math.min(view.count - 1, view.currentIndex + step));
        view.currentIndex = next;
        view.positionViewAtIndex(next, ListView.Contain);
        const row = view.itemAtIndex(next);
        if (row && row.email !== list.timelineEmail)
            list.open(row.email);
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
                objectName: "peopleSearchField"
                Layout.fillWidth: true
                placeholderText: "人を検索"
                text: list.appModel.searchText
                background: null
                font.pixelSize: 13
                Accessible.role: Accessible.EditableText
                Accessible.name: "人を検索"
                onTextEdited: list.appModel.searchText = text
                Keys.onDownPressed: {
                    view.forceActiveFocus();
                    list.moveSelection(view.currentIndex < 0 ? 0 : 1);
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
        currentIndex: -1
        keyNavigationEnabled: false
        highlightFollowsCurrentItem: false
        model: list.appModel.filteredPeople
        ScrollBar.vertical: ScrollBar {}
        Accessible.role: Accessible.List
        Accessible.name: "People"

        Keys.onUpPressed: list.moveSelection(-1)
        Keys.onDownPressed: list.moveSelection(1)
        Keys.onReturnPressed: if (view.currentItem) list.open(view.currentItem.email)
        Keys.onEnterPressed: if (view.currentItem) list.open(view.currentItem.email)

        delegate: PersonRow {
            width: view.width
            highlighted: list.appModel.selectedPersonEmail === email
            onClicked: {
                view.currentIndex = index;
                view.forceActiveFocus();
                list.open(email);
            }
        }

        EmptyState {
            objectName: "peopleEmptyState"
            anchors.centerIn: parent
            width: Math.min(implicitWidth, view.width - 32)
            visible: view.count === 0
            symbol: list.appModel.searchText === "" ? "person.2" : "magnifyingglass"
            title: list.appModel.searchText === "" ? "まだ誰もいません" : "見つかりません"
            description: list.appModel.searchText === "" ? "やりとりした人がここに現れます。" : "検索語を変えてください。"
        }
    }
}
