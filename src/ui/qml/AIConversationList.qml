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

    // F2 and Delete (the window's commands) act on the shown conversation.
    function conversationCommand(command) {
        const shown = list.appModel.selectedAIConversation;
        if (!shown.present)
            return;
        if (command === "renameAIConversation")
            renameDialog.openFor(shown.conversationId, shown.title);
        else if (command === "deleteAIConversation")
            deleteDialog.openFor(shown.conversationId, shown.title);
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

                // The row's own menu: the secondary button selects the row
                // first, as a file manager does.
                TapHandler {
                    acceptedButtons: Qt.RightButton
                    onTapped: (eventPoint, button) => {
                        view.forceActiveFocus();
                        list.select(row.id);
                        rowMenu.conversationId = row.id;
                        rowMenu.conversationTitle = row.title;
                        rowMenu.popup(row, eventPoint.position.x, eventPoint.position.y);
                    }
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

            Menu {
                id: rowMenu

                objectName: "aiRowMenu"

                property string conversationId
                property string conversationTitle

                MenuItem {
                    objectName: "aiRenameMenuItem"
                    text: "名前を変更…"
                    icon.source: QuarnStyle.symbol("pencil")
                    Accessible.name: text
                    onTriggered: renameDialog.openFor(rowMenu.conversationId, rowMenu.conversationTitle)
                }
                MenuItem {
                    objectName: "aiDeleteMenuItem"
                    text: "削除…"
                    icon.source: QuarnStyle.symbol("trash")
                    Accessible.name: text
                    onTriggered: deleteDialog.openFor(rowMenu.conversationId, rowMenu.conversationTitle)
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

    Dialog {
        id: renameDialog

        objectName: "aiRenameDialog"

        property string conversationId

        function openFor(id, title) {
            conversationId = id;
            renameField.text = title;
            open();
            renameField.selectAll();
            renameField.forceActiveFocus();
        }
        function accept() {
            if (renameConfirm.enabled) {
                list.appModel.operations.renameAIConversation(conversationId, renameField.text);
                close();
            }
        }

        parent: Overlay.overlay
        anchors.centerIn: parent
        width: 420
        modal: true
        closePolicy: Popup.CloseOnEscape
        title: "名前を変更"
        onClosed: view.forceActiveFocus()

        contentItem: ColumnLayout {
            spacing: 8
            Accessible.role: Accessible.Dialog
            Accessible.name: renameDialog.title

            PlainLabel {
                text: "このAI Conversationの名前"
                font.pixelSize: 12
                color: QuarnStyle.secondary
            }
            TextField {
                id: renameField

                objectName: "aiRenameField"
                Layout.fillWidth: true
                Accessible.role: Accessible.EditableText
                Accessible.name: "AI Conversationの名前"
                onAccepted: renameDialog.accept()
            }
        }

        footer: DialogButtonBox {
            Button {
                objectName: "aiRenameCancelButton"
                text: "キャンセル"
                DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
            }
            Button {
                id: renameConfirm

                objectName: "aiRenameConfirmButton"
                text: "変更"
                enabled: renameField.text.trim() !== ""
                DialogButtonBox.buttonRole: DialogButtonBox.ActionRole
                onClicked: renameDialog.accept()
            }
        }
    }

    Dialog {
        id: deleteDialog

        objectName: "aiDeleteDialog"

        property string conversationId
        property string conversationTitle

        function openFor(id, title) {
            conversationId = id;
            conversationTitle = title;
            open();
            deleteConfirm.forceActiveFocus();
        }

        parent: Overlay.overlay
        anchors.centerIn: parent
        width: 420
        modal: true
        closePolicy: Popup.CloseOnEscape
        title: "AI Conversationを削除"
        onClosed: view.forceActiveFocus()

        contentItem: PlainLabel {
            objectName: "aiDeleteQuestion"
            text: "「" + Presenter.isolated(deleteDialog.conversationTitle)
                  + "」を削除しますか？ この対話はこのPCから消え、元に戻せません。"
            wrapMode: Text.WordWrap
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }

        footer: DialogButtonBox {
            Button {
                objectName: "aiDeleteCancelButton"
                text: "キャンセル"
                DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
            }
            Button {
                id: deleteConfirm

                objectName: "aiDeleteConfirmButton"
                text: "削除"
                DialogButtonBox.buttonRole: DialogButtonBox.ActionRole
                Keys.onReturnPressed: clicked()
                Keys.onEnterPressed: clicked()
                onClicked: {
                    list.appModel.operations.deleteAIConversation(deleteDialog.conversationId);
                    deleteDialog.close();
                }
            }
        }
    }
}
