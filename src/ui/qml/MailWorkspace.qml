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
    required property string mailDomain

    readonly property string lens: appModel.lens

    Component.onCompleted: commands.refreshLoopActive = true
    Component.onDestruction: commands.refreshLoopActive = false

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

                Label {
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
                Layout.fillWidth: true
                Layout.fillHeight: true
                sourceComponent: workspace.lens === "ai" ? aiPane : workspace.lens === "people" ? personPane
                                                                                                 : conversationPane
            }
        }
    }

    ComposeView {
        appModel: workspace.appModel
        mailDomain: workspace.mailDomain
    }

    Component {
        id: conversationList
        ConversationList {
            appModel: workspace.appModel
            commands: workspace.commands
        }
    }
    Component {
        id: peopleList
        PeopleList {
            appModel: workspace.appModel
            commands: workspace.commands
        }
    }
    Component {
        id: aiList
        AIConversationList {
            appModel: workspace.appModel
        }
    }
    Component {
        id: conversationPane
        ConversationPane {
            appModel: workspace.appModel
            commands: workspace.commands
            mailDomain: workspace.mailDomain
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
