import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quarn.Ui

// The private AI conversations, most recently active first. The list's
// current row is the selected conversation: the arrow keys (and j/k,
// Home/End, Page Up/Down) select it, which shows it; Space reads on in the
// transcript.
Rectangle {
    id: list

    objectName: "aiConversationList"

    required property var appModel
    required property var commandTable

    // Space and Shift+Space: read on (1) or back (-1) in the shown transcript.
    signal scrollRequested(int pages)

    function focusList() {
        view.forceActiveFocus();
    }

    color: QuarnStyle.system.base

    function select(id) {
        list.appModel.selectedAIConversationID = id;
    }


    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 16
            Layout.rightMargin: 10
            Layout.topMargin: 12
            Layout.bottomMargin: 10

            ColumnLayout {
                spacing: 1
                PlainLabel {
                    text: "AI"
                    font.pixelSize: 20
                    font.weight: Font.DemiBold
                    color: QuarnStyle.primary
                    Accessible.role: Accessible.Heading
                    Accessible.name: text
                }
                PlainLabel {
                    text: "Private conversations"
                    font.pixelSize: 11
                    color: QuarnStyle.secondary
                }
            }
            Item {
                Layout.fillWidth: true
            }
            ToolButton {
                objectName: "newAIConversationButton"
                icon.source: QuarnStyle.symbol("plus")
                icon.width: 16
                icon.height: 16
                Accessible.role: Accessible.Button
                Accessible.name: "新しいAI Conversation"
                ToolTip.visible: hovered
                ToolTip.text: Accessible.name
                onClicked: list.appModel.operations.newAIConversation()
            }
        }

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 1
            color: QuarnStyle.tinted(QuarnStyle.primary, 0.1)
        }

        ListView {
            id: view

            objectName: "aiConversationListView"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            reuseItems: true
            focus: true
            activeFocusOnTab: true
            keyNavigationEnabled: false
            model: list.appModel.aiConversations
            ScrollBar.vertical: ScrollBar {}
            Accessible.role: Accessible.List
            Accessible.name: "Private conversations"

            Keys.forwardTo: [selection]

            ListSelection {
                id: selection

                view: view
                selectedKey: list.appModel.selectedAIConversationID
                commandTable: list.commandTable
                onScrollRequested: pages => list.scrollRequested(pages)
            }

            delegate: ItemDelegate {
                id: row

                required property int index
                required property string id
                required property string title
                required property var updatedAt
                required property int messageCount
                required property string lastMessage

                readonly property string conversationId: id

                objectName: "aiRow_" + id
                width: view.width
                // The current row has the view's focus; the list's keys come first.
                Keys.forwardTo: [selection]
                highlighted: list.appModel.selectedAIConversationID === id
                leftPadding: 14
                rightPadding: 14
                topPadding: 8
                bottomPadding: 8
                Accessible.role: Accessible.ListItem
                Accessible.name: title
                Accessible.selected: highlighted
                // Selected and keyboard-current rows look as in the conversation list.
                background: Rectangle {
                    color: row.highlighted ? QuarnStyle.tinted(QuarnStyle.accent, QuarnStyle.dark ? 0.35 : 0.12)
                                           : row.hovered ? QuarnStyle.tinted(QuarnStyle.primary, 0.04) : "transparent"
                    border.width: row.ListView.isCurrentItem && view.activeFocus ? 2 : 0
                    border.color: QuarnStyle.accentText
                }
                onClicked: {
                    view.forceActiveFocus();
                    list.select(id);
                }

                contentItem: ColumnLayout {
                    spacing: 3
                    RowLayout {
                        Layout.fillWidth: true
                        spacing: 6
                        PlainLabel {
                            objectName: "aiRowTitle"
                            Layout.fillWidth: true
                            text: Presenter.isolated(row.title)
                            font.pixelSize: 13
                            font.weight: Font.DemiBold
                            color: QuarnStyle.primary
                            elide: Text.ElideRight
                            maximumLineCount: 1
                        }
                        PlainLabel {
                            text: Presenter.relativeTime(row.updatedAt, Presenter.now)
                            font.pixelSize: 10
                            color: QuarnStyle.secondary
                        }
                    }
                    PlainLabel {
                        objectName: "aiRowPreview"
                        Layout.fillWidth: true
                        text: Presenter.aiPreview(row.messageCount, row.lastMessage)
                        font.pixelSize: 11
                        color: QuarnStyle.secondary
                        elide: Text.ElideRight
                        maximumLineCount: 1
                    }
                }
            }

            EmptyState {
                objectName: "aiListEmptyState"
                anchors.centerIn: parent
                width: Math.min(implicitWidth, view.width - 32)
                visible: view.count === 0
                symbol: "sparkles"
                title: "AIと話す"
                description: "ここでの対話はこのPCだけに保存され、メールとして送信されません。"
            }
        }
    }
}
