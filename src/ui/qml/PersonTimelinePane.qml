import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quarn.Ui

// Every message exchanged with the selected person, oldest first, across
// conversations. The newest stays in view as messages come and go, except
// when older mail is added above: then the message the reader was looking at
// stays where it was.
Item {
    id: pane

    objectName: "personTimelinePane"

    required property var appModel

    readonly property var timeline: appModel.personTimeline
    // The person chosen while their timeline is on its way (or failed to
    // come): the previous person's timeline is not shown as theirs meanwhile.
    readonly property var opening: appModel.openingPerson
    readonly property bool showsTimeline: timeline != null && opening == null
    readonly property var person: timeline ? timeline.person : null
    readonly property string personEmail: person ? person.email : ""
    readonly property var viewerID: appModel.state && appModel.state.viewer ? appModel.state.viewer.id : null

    // The message at the top of the view, its distance from the view's top
    // edge and the number of rows when an older page was asked for; the
    // message is empty otherwise.
    property string anchorMessage: ""
    property real anchorOffset: 0
    property int anchorCount: 0

    // Reads on (pages > 0) or back, a screen less a little at a time.
    function scrollPages(pages) {
        const top = view.originY - view.topMargin;
        const bottom = Math.max(top, view.originY + view.contentHeight + view.bottomMargin - view.height);
        view.contentY = Math.max(top, Math.min(bottom, view.contentY + pages * view.height * 0.9));
    }

    function scrollToEnd() {
        Qt.callLater(() => {
            view.forceLayout();
            view.positionViewAtEnd();
        });
    }

    function loadOlder() {
        // The first message in view (the header with this button may be
        // above it).
        let top = -1;
        for (let y = view.contentY; top < 0 && y < view.contentY + view.height; y += 8)
            top = view.indexAt(view.width / 2, y);
        const item = top >= 0 ? view.itemAtIndex(top) : null;
        pane.anchorMessage = item ? item.messageId : "";
        pane.anchorOffset = item ? item.y - view.contentY : 0;
        pane.anchorCount = view.count;
        pane.appModel.operations.loadOlderPersonMessages();
    }

    // Puts the anchored message back where the reader saw it, once the rows
    // of the older page are in; the view may have pushed it down with them.
    function keepPlace() {
        const id = pane.anchorMessage;
        if (id === "")
            return;
        pane.anchorMessage = "";
        const index = pane.appModel.filteredPersonMessages.indexOf(id);
        if (index < 0) {
            pane.scrollToEnd();
            return;
        }
        view.forceLayout();
        let item = view.itemAtIndex(index);
        if (item && Math.abs(item.y - view.contentY - pane.anchorOffset) < 1)
            return;
        view.positionViewAtIndex(index, ListView.Beginning);
        item = view.itemAtIndex(index);
        if (item)
            view.contentY = item.y - pane.anchorOffset;
    }

    onPersonEmailChanged: {
        pane.anchorMessage = "";
        scrollToEnd();
    }

    Connections {
        target: pane.appModel.filteredPersonMessages

        function onCountChanged() {
            // The model clears its loading flag just before the page's rows
            // arrive, so the anchor, not the flag, tells a page from news.
            if (pane.anchorMessage !== "")
                Qt.callLater(pane.keepPlace);
            else
                pane.scrollToEnd();
        }
    }
    Connections {
        target: pane.appModel

        function onIsLoadingOlderMessagesChanged() {
            // A page that added nothing (or failed) leaves no anchor behind.
            if (!pane.appModel.isLoadingOlderMessages)
                Qt.callLater(() => {
                    if (!pane.appModel.isLoadingOlderMessages && view.count === pane.anchorCount)
                        pane.anchorMessage = "";
                });
        }
    }

    EmptyState {
        objectName: "timelineEmptyState"
        anchors.centerIn: parent
        width: Math.min(implicitWidth, pane.width - 40)
        visible: pane.timeline == null && pane.opening == null
        symbol: "person.crop.circle"
        title: "人を選択"
        description: "その人とのすべてのやりとりを、時系列で確認できます。"
    }

    LoadingState {
        objectName: "openingPersonState"
        anchors.centerIn: parent
        width: Math.min(parent.width - 40, 420)
        visible: pane.opening != null
        title: pane.opening != null ? Presenter.isolated(pane.opening.displayName) : ""
        detail: pane.opening != null && pane.opening.displayName !== pane.opening.email
            ? Presenter.isolated(pane.opening.email) : ""
        failed: pane.opening != null && pane.opening.failed
        failureText: "やりとりを読み込めませんでした。"
        onRetryRequested: pane.appModel.operations.openPerson(pane.opening.email)
    }

    ColumnLayout {
        anchors.fill: parent
        visible: pane.showsTimeline
        spacing: 0

        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 22
            Layout.rightMargin: 22
            Layout.topMargin: 14
            Layout.bottomMargin: 14
            spacing: 12

            Rectangle {
                Layout.preferredWidth: 42
                Layout.preferredHeight: 42
                radius: 21
                color: QuarnStyle.tinted(QuarnStyle.accent, 0.12)

                PlainLabel {
                    objectName: "timelineInitial"
                    anchors.centerIn: parent
                    text: Presenter.avatarInitial(pane.person ? pane.person.displayName : "")
                    font.pixelSize: 16
                    font.weight: Font.DemiBold
                    color: QuarnStyle.accentText
                }
            }
            ColumnLayout {
                Layout.fillWidth: true
                spacing: 2
                PlainLabel {
                    objectName: "timelineName"
                    Layout.fillWidth: true
                    text: pane.person ? Presenter.isolated(pane.person.displayName) : ""
                    font.pixelSize: 16
                    font.weight: Font.DemiBold
                    color: QuarnStyle.primary
                    elide: Text.ElideRight
                    Accessible.role: Accessible.Heading
                    Accessible.name: text
                }
                PlainLabel {
                    objectName: "timelineEmail"
                    Layout.fillWidth: true
                    text: Presenter.isolated(pane.personEmail)
                    font.pixelSize: 11
                    color: QuarnStyle.secondary
                    elide: Text.ElideRight
                }
            }

            // The segmented picker: direct messages only, or group ones too.
            Rectangle {
                Layout.preferredWidth: 190
                implicitHeight: 28
                radius: 7
                color: QuarnStyle.tinted(QuarnStyle.primary, 0.07)
                Accessible.role: Accessible.PageTabList
                Accessible.name: "表示するメッセージ"

                RowLayout {
                    anchors.fill: parent
                    anchors.margins: 2
                    spacing: 2

                    Repeater {
                        model: [
                            { label: "直接", group: false, name: "directSegment" },
                            { label: "グループ含む", group: true, name: "groupSegment" }
                        ]

                        AbstractButton {
                            id: segment

                            required property var modelData

                            objectName: modelData.name
                            Layout.fillWidth: true
                            Layout.fillHeight: true
                            // Chosen by the model's filter alone: a click sets the
                            // filter and never toggles the segment itself.
                            checked: pane.appModel.includeGroupMessages === modelData.group
                            text: modelData.label
                            Accessible.role: Accessible.PageTab
                            Accessible.name: text
                            Accessible.checked: checked
                            onClicked: pane.appModel.includeGroupMessages = modelData.group

                            background: Rectangle {
                                radius: 5
                                color: segment.checked ? QuarnStyle.system.base : "transparent"
                                border.width: segment.checked ? 1 : 0
                                border.color: QuarnStyle.tinted(QuarnStyle.primary, 0.12)
                            }
                            contentItem: PlainLabel {
                                text: segment.text
                                font.pixelSize: 12
                                font.weight: segment.checked ? Font.DemiBold : Font.Normal
                                color: QuarnStyle.primary
                                horizontalAlignment: Text.AlignHCenter
                                verticalAlignment: Text.AlignVCenter
                                elide: Text.ElideRight
                            }
                        }
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

            objectName: "personTimelineView"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            leftMargin: 22
            rightMargin: 22
            topMargin: 22
            bottomMargin: 22
            model: pane.appModel.filteredPersonMessages
            ScrollBar.vertical: ScrollBar {}
            Accessible.role: Accessible.List
            Accessible.name: "タイムライン"

            header: Item {
                width: view.width - view.leftMargin - view.rightMargin
                height: olderButton.visible ? olderButton.implicitHeight + 16 : 0

                Button {
                    id: olderButton

                    objectName: "olderMailButton"
                    anchors.horizontalCenter: parent.horizontalCenter
                    visible: pane.timeline != null && pane.timeline.canLoadOlder
                    enabled: !pane.appModel.isLoadingOlderMessages
                    flat: true
                    font.pixelSize: 11
                    text: "以前のメールを読み込む"
                    Accessible.role: Accessible.Button
                    Accessible.name: text
                    onClicked: pane.loadOlder()

                    contentItem: RowLayout {
                        spacing: 5
                        BusyIndicator {
                            objectName: "olderMailProgress"
                            Layout.preferredWidth: 16
                            Layout.preferredHeight: 16
                            visible: pane.appModel.isLoadingOlderMessages
                            running: visible
                        }
                        Symbol {
                            visible: !pane.appModel.isLoadingOlderMessages
                            name: "arrow.up"
                            size: 12
                            opacity: 0.6
                        }
                        PlainLabel {
                            visible: !pane.appModel.isLoadingOlderMessages
                            text: olderButton.text
                            font.pixelSize: 11
                            color: QuarnStyle.secondary
                        }
                    }
                }
            }

            delegate: PersonTimelineMessageView {
                width: view.width - view.leftMargin - view.rightMargin
                viewerID: pane.viewerID
                onOpenConversation: pane.appModel.operations.openTimelineConversation(conversationId)
                onLinkOpened: link => pane.appModel.operations.openLink(link)
            }

            footer: Item {
                objectName: "person-timeline-end"
                width: 1
                height: 1
            }
        }
    }
}
