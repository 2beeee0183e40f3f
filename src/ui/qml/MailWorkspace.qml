import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The workspace: sidebar, list column and detail column, with the toolbar.
// While it is on screen the background refresh loop runs.
Item {
    id: workspace

    objectName: "mailWorkspace"

    required property var appModel
    required property var commands
    required property var commandTable
    required property string mailDomain

    readonly property string lens: appModel.lens

    Component.onCompleted: commands.refreshLoopActive = true
    Component.onDestruction: commands.refreshLoopActive = false

    // The keyboard starts in the list: on arrival, and after every change of
    // lens or status list (the lists are rebuilt then, so it waits a turn).
    function takeFocus() {
        // A compose sheet that came back with the workspace (a draft kept
        // over a sign-in) keeps the keyboard; the list gets it when it closes.
        if (workspace.appModel.composePresented) {
            composeSheet.takeFocus();
            return;
        }
        if (listLoader.item)
            listLoader.item.focusList();
    }
    function focusListSoon() {
        Qt.callLater(() => {
            // A sheet keeps the keyboard; the list gets it when the sheet closes.
            if (!workspace.appModel.composePresented)
                workspace.takeFocus();
        });
    }
    Connections {
        target: workspace.appModel

        function onLensChanged() {
            workspace.focusListSoon();
        }
        function onSelectedStatusChanged() {
            workspace.focusListSoon();
        }
    }

    // Space and Shift+Space in a list read on in the shown conversation.
    function scrollPane(pages) {
        if (paneLoader.item && paneLoader.item.scrollPages)
            paneLoader.item.scrollPages(pages);
    }

    function screenCommand(id) {
        const list = listLoader.item;
        const pane = paneLoader.item;
        switch (id) {
        case "search":
            if (list && list.focusSearch)
                list.focusSearch();
            break;
        case "reply":
            if (pane && pane.focusReply)
                pane.focusReply();
            break;
        case "todo":
            if (pane && pane.openOrro)
                pane.openOrro("task");
            break;
        case "event":
            if (pane && pane.openOrro)
                pane.openOrro("event");
            break;
        case "renameAIConversation":
        case "deleteAIConversation":
            if (list && list.conversationCommand)
                list.conversationCommand(id);
            break;
        }
    }

    SplitView {
        anchors.fill: parent
        orientation: Qt.Horizontal

        Sidebar {
            SplitView.minimumWidth: 180
            SplitView.preferredWidth: 205
            SplitView.maximumWidth: 240
            appModel: workspace.appModel
            commands: workspace.commands
            mailDomain: workspace.mailDomain
        }

        Loader {
            id: listLoader

            objectName: "listLoader"
            SplitView.minimumWidth: 320
            SplitView.preferredWidth: 380
            SplitView.maximumWidth: 470
            sourceComponent: workspace.lens === "ai" ? aiList : workspace.lens === "people" ? peopleList
                                                                                             : conversationList
        }

        ColumnLayout {
            SplitView.fillWidth: true
            spacing: 0

            ToolBar {
                Layout.fillWidth: true
                background: Rectangle {
                    color: QuarnStyle.canvas
                }

                RowLayout {
                    anchors.fill: parent
                    Item {
                        Layout.fillWidth: true
                    }
                    ToolButton {
                        objectName: "primaryToolbarButton"
                        text: workspace.lens === "ai" ? "新しいAI Conversation" : "更新"
                        icon.source: QuarnStyle.symbol(workspace.lens === "ai" ? "plus.bubble" : "arrow.clockwise")
                        display: AbstractButton.TextBesideIcon
                        enabled: !workspace.appModel.isLoading
                                 && !(workspace.lens === "ai" && workspace.appModel.isReadingAIConversations)
                        Accessible.name: text
                        onClicked: workspace.lens === "ai" ? workspace.appModel.operations.newAIConversation()
                                                           : workspace.commands.refresh()
                    }
                    ToolButton {
                        objectName: "composeToolbarButton"
                        visible: workspace.lens !== "ai"
                        text: "新規メッセージ"
                        icon.source: QuarnStyle.symbol("square.and.pencil")
                        display: AbstractButton.TextBesideIcon
                        Accessible.name: text
                        onClicked: workspace.commands.newMessage()
                    }
                }
            }

            // The service out of reach is a state, not an event: a quiet line
            // that stays while it lasts and goes when a reload gets through,
            // never an alert that takes the focus every 30 seconds.
            Rectangle {
                objectName: "unreachableBanner"
                Layout.fillWidth: true
                visible: workspace.appModel.isServiceUnreachable
                implicitHeight: bannerText.implicitHeight + 14
                color: QuarnStyle.tinted(QuarnStyle.primary, 0.06)
                Accessible.role: Accessible.StaticText
                Accessible.name: bannerText.text

                PlainLabel {
                    id: bannerText

                    objectName: "unreachableBannerText"
                    anchors.fill: parent
                    anchors.leftMargin: 14
                    anchors.rightMargin: 14
                    verticalAlignment: Text.AlignVCenter
                    wrapMode: Text.WordWrap
                    font.pixelSize: QuarnStyle.captionSize
                    color: QuarnStyle.secondary
                    text: {
                        const base = "サービスに接続できません — 再接続を試みています";
                        const at = workspace.appModel.lastLoadedAt;
                        if (at == null)
                            return base;
                        return base + "（最後に読み込んだ時刻 " + Qt.formatTime(new Date(at), "HH:mm") + "）";
                    }
                }
            }

            Loader {
                id: paneLoader

                Layout.fillWidth: true
                Layout.fillHeight: true
                sourceComponent: workspace.lens === "ai" ? aiPane : workspace.lens === "people" ? personPane
                                                                                                 : conversationPane
            }
        }
    }

    ComposeView {
        id: composeSheet

        appModel: workspace.appModel
        mailDomain: workspace.mailDomain
        onClosed: workspace.takeFocus()
    }

    UndoNote {
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 18
        commandTable: workspace.commandTable
    }

    Component {
        id: conversationList
        ConversationList {
            appModel: workspace.appModel
            commands: workspace.commands
            commandTable: workspace.commandTable
            onScrollRequested: pages => workspace.scrollPane(pages)
            onReplyRequested: workspace.screenCommand("reply")
        }
    }
    Component {
        id: peopleList
        PeopleList {
            appModel: workspace.appModel
            commands: workspace.commands
            commandTable: workspace.commandTable
            onScrollRequested: pages => workspace.scrollPane(pages)
        }
    }
    Component {
        id: aiList
        AIConversationList {
            appModel: workspace.appModel
            commandTable: workspace.commandTable
            onScrollRequested: pages => workspace.scrollPane(pages)
        }
    }
    Component {
        id: conversationPane
        ConversationPane {
            appModel: workspace.appModel
            commands: workspace.commands
            commandTable: workspace.commandTable
            mailDomain: workspace.mailDomain
            onLeaveRequested: workspace.takeFocus()
        }
    }
    Component {
        id: personPane
        PersonTimelinePane {
            appModel: workspace.appModel
        }
    }
    Component {
        id: aiPane
        AIConversationPane {
            appModel: workspace.appModel
        }
    }
}
