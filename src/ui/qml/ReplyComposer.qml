import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quarn.Rules

// The reply box under the shown conversation: the channel it goes out on,
// the editor (bound to the shown conversation's own draft) and "送信"
// (Ctrl+Return).
Pane {
    id: composer

    objectName: "replyComposer"

    required property var appModel
    required property var detail
    required property string mailDomain

    readonly property var channel: ScreenRules.replyChannel(detail != null ? detail.transport : "", mailDomain)
    readonly property bool canSend: ScreenRules.canSendReply(appModel.replyText, appModel.isSending)
    readonly property string conversationId: detail != null ? detail.id : ""

    // Each conversation has its own draft; coming back to one, the user
    // goes on writing where its text ends.
    onConversationIdChanged: editor.cursorPosition = editor.length

    // Escape in the empty editor: back to the list.
    signal leaveRequested

    function focusEditor() {
        editor.forceActiveFocus();
        editor.cursorPosition = editor.length;
    }

    padding: 14
    background: null

    ColumnLayout {
        anchors.fill: parent
        spacing: 8

        RowLayout {
            spacing: 5
            Symbol {
                name: composer.channel.symbol
                size: 12
                tint: QuarnStyle.secondary
            }
            PlainLabel {
                objectName: "replyChannel"
                text: composer.channel.text
                font.pixelSize: QuarnStyle.captionSize
                color: QuarnStyle.secondary
            }
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 10

            ScrollView {
                id: scroller

                Layout.fillWidth: true
                Layout.preferredHeight: Math.max(58, Math.min(110, editor.implicitHeight))
                background: Rectangle {
                    radius: 8
                    color: QuarnStyle.tinted(QuarnStyle.primary, 0.045)
                    border.width: editor.activeFocus ? 2 : 0
                    border.color: QuarnStyle.accentText
                }

                PlainTextArea {
                    id: editor

                    objectName: "replyEditor"
                    text: composer.appModel.replyText
                    onTextChanged: if (text !== composer.appModel.replyText) composer.appModel.replyText = text
                    font.pixelSize: 13
                    wrapMode: TextEdit.Wrap
                    placeholderText: "返信"
                    background: null
                    Accessible.role: Accessible.EditableText
                    Accessible.name: "返信"
                    KeyNavigation.priority: KeyNavigation.BeforeItem
                    KeyNavigation.tab: sendButton
                    // With text in it Escape does nothing: nothing typed is left behind unseen.
                    Keys.onEscapePressed: event => {
                        if (editor.text.trim() === "")
                            composer.leaveRequested();
                        else
                            event.accepted = false;
                    }
                }
            }

            Button {
                id: sendButton

                objectName: "sendButton"
                Layout.alignment: Qt.AlignBottom
                text: composer.appModel.isSending ? "送信中…" : "送信"
                enabled: composer.canSend
                highlighted: true
                Accessible.name: text
                onClicked: composer.appModel.operations.sendReply()
            }
        }
    }

    Shortcut {
        sequences: ["Ctrl+Return", "Ctrl+Enter"]
        enabled: composer.visible && composer.canSend
        onActivated: composer.appModel.operations.sendReply()
    }
}
