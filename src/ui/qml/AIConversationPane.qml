import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quarn.Ui

// The selected private AI conversation: its transcript, the input, and the
// hand-off of the conversation to Orro as a task or an event. Nothing typed
// here is sent as mail.
Item {
    id: pane

    objectName: "aiConversationPane"

    required property var appModel

    readonly property var conversation: appModel.selectedAIConversation
    // "task" or "event" while the send-to-Orro sheet is shown, else "".
    property string orroAction: ""
    readonly property bool canSend: Presenter.canSendAIChat(appModel.aiInput, appModel.isSendingAIChat,
        appModel.isCodexReady)
    // Only the conversation whose turn runs waits for an answer; another one
    // (a new one, say) is quiet meanwhile.
    readonly property bool isAnswering: conversation.present && appModel.sendingAIConversationID != null
                                        && appModel.sendingAIConversationID === conversation.conversationId
    // The transcript follows new messages only while the user reads at its
    // end; scrolled up, the reading place stays and "最新へ" offers the way back.
    property bool followsEnd: true

    function openOrro(kind) {
        pane.orroAction = kind;
        orroSheet.openFromAIConversation(kind, pane.conversation.conversationId, pane.conversation.title,
                                         pane.conversation.lastMessage);
    }

    // Reads on (pages > 0) or back, a screen less a little at a time. Read
    // back, the transcript no longer follows new messages.
    function scrollPages(pages) {
        const top = transcript.originY - transcript.topMargin;
        const bottom = Math.max(top, transcript.originY + transcript.contentHeight + transcript.bottomMargin - transcript.height);
        transcript.contentY = Math.max(top, Math.min(bottom, transcript.contentY + pages * transcript.height * 0.9));
        pane.noteReadingPlace();
    }

    function send() {
        if (pane.canSend)
            pane.appModel.operations.sendAIChat();
    }

    // How far the end of the transcript lies below what is shown.
    function distanceFromEnd() {
        return transcript.originY + transcript.contentHeight + transcript.bottomMargin
            - (transcript.contentY + transcript.height);
    }

    // The user moved the transcript: it follows new messages again only once
    // it is back at the end.
    function noteReadingPlace() {
        pane.followsEnd = pane.distanceFromEnd() <= 24;
    }

    // Bubbles get their height only once made, so the end is sought again
    // whenever the content grows while the transcript follows it.
    function pinToEnd() {
        if (!pane.followsEnd || transcript.moving)
            return;
        transcript.forceLayout();
        transcript.positionViewAtEnd();
        // That end leaves out the bottom margin, which belongs to it.
        const end = transcript.originY + transcript.contentHeight + transcript.bottomMargin - transcript.height;
        if (end > transcript.contentY)
            transcript.contentY = end;
    }

    function jumpToEnd() {
        pane.followsEnd = true;
        Qt.callLater(pane.pinToEnd);
    }

    // A new message: followed only while the user reads at the end.
    function scrollToEnd() {
        Qt.callLater(pane.pinToEnd);
    }

    // Another conversation shown: its end, wherever the last one was read.
    property string shownConversation: conversation.conversationId
    onShownConversationChanged: jumpToEnd()
    Component.onCompleted: jumpToEnd()

    Connections {
        target: pane.conversation

        function onCountChanged() {
            pane.scrollToEnd();
        }
    }
    // The user's own message goes out: they want to see it and the answer.
    onIsAnsweringChanged: {
        if (isAnswering)
            jumpToEnd();
        else
            scrollToEnd();
    }

    ColumnLayout {
        objectName: "aiEmptyState"
        anchors.centerIn: parent
        width: Math.min(implicitWidth, pane.width - 40)
        visible: !pane.conversation.present
        spacing: 14

        EmptyState {
            Layout.alignment: Qt.AlignHCenter
            symbol: "sparkles"
            title: "新しいAI Conversation"
            description: "本人とAIだけの会話です。外部送信は行いません。"
        }
        InkButton {
            objectName: "startAIConversationButton"
            Layout.alignment: Qt.AlignHCenter
            text: "対話を始める"
            enabled: !pane.appModel.isReadingAIConversations
            onClicked: pane.appModel.operations.newAIConversation()
        }
        CodexReadinessNotice {
            objectName: "codexNotReadyNoticeEmpty"
            Layout.fillWidth: true
            Layout.preferredWidth: 460
            Layout.topMargin: 10
            appModel: pane.appModel
        }
    }

    ColumnLayout {
        anchors.fill: parent
        visible: pane.conversation.present
        spacing: 0

        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 22
            Layout.rightMargin: 22
            Layout.topMargin: 12
            Layout.bottomMargin: 12
            spacing: 8

            ColumnLayout {
                Layout.fillWidth: true
                spacing: 3
                PlainLabel {
                    objectName: "aiTitle"
                    Layout.fillWidth: true
                    text: Presenter.isolated(pane.conversation.title)
                    font.pixelSize: 16
                    font.weight: Font.DemiBold
                    color: QuarnStyle.primary
                    elide: Text.ElideRight
                    Accessible.role: Accessible.Heading
                    Accessible.name: text
                }
                RowLayout {
                    spacing: 4
                    Symbol {
                        name: "lock.fill"
                        size: 11
                        opacity: 0.6
                    }
                    PlainLabel {
                        objectName: "aiPrivacyLabel"
                        text: "Private · Codex CLI · 外部送信なし"
                        font.pixelSize: 11
                        color: QuarnStyle.secondary
                    }
                }
            }
            Button {
                objectName: "aiTodoButton"
                text: "Todo"
                icon.source: QuarnStyle.symbol("checkmark.circle")
                display: AbstractButton.TextBesideIcon
                Accessible.role: Accessible.Button
                Accessible.name: "Todo"
                onClicked: pane.openOrro("task")
            }
            Button {
                objectName: "aiEventButton"
                text: "予定"
                icon.source: QuarnStyle.symbol("calendar")
                display: AbstractButton.TextBesideIcon
                Accessible.role: Accessible.Button
                Accessible.name: "予定"
                onClicked: pane.openOrro("event")
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

            ListView {
                id: transcript

                objectName: "aiTranscript"
                anchors.fill: parent
                clip: true
                spacing: 14
                leftMargin: 22
                rightMargin: 22
                topMargin: 18
                bottomMargin: 18
                model: pane.conversation
                ScrollBar.vertical: ScrollBar {
                    onPressedChanged: {
                        if (!pressed)
                            pane.noteReadingPlace();
                    }
                }
                Accessible.role: Accessible.List
                Accessible.name: "対話"

                // Moved by the user (a drag, the wheel), it follows new
                // messages again only once it is back at the end.
                onMovementEnded: pane.noteReadingPlace()
                onContentHeightChanged: pane.scrollToEnd()
                onHeightChanged: pane.scrollToEnd()

                delegate: AIChatBubble {
                    width: transcript.width - transcript.leftMargin - transcript.rightMargin
                }

                footer: Column {
                    width: transcript.width - transcript.leftMargin - transcript.rightMargin
                    topPadding: pane.isAnswering ? 14 : 0

                    RowLayout {
                        objectName: "aiThinkingRow"
                        visible: pane.isAnswering
                        spacing: 6
                        BusyIndicator {
                            Layout.preferredWidth: 16
                            Layout.preferredHeight: 16
                            running: parent.visible
                        }
                        PlainLabel {
                            text: "Codexが考えています"
                            font.pixelSize: 12
                            color: QuarnStyle.secondary
                        }
                    }
                    Item {
                        objectName: "ai-end"
                        width: 1
                        height: 1
                    }
                }
            }

            Button {
                objectName: "aiJumpToLatestButton"
                anchors.horizontalCenter: parent.horizontalCenter
                anchors.bottom: parent.bottom
                anchors.bottomMargin: 12
                visible: !pane.followsEnd
                text: "最新へ"
                icon.source: QuarnStyle.symbol("arrow.down")
                display: AbstractButton.TextBesideIcon
                Accessible.role: Accessible.Button
                Accessible.name: text
                onClicked: pane.jumpToEnd()
            }
        }

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 1
            color: QuarnStyle.tinted(QuarnStyle.primary, 0.1)
        }

        CodexReadinessNotice {
            Layout.fillWidth: true
            Layout.leftMargin: 14
            Layout.rightMargin: 14
            Layout.topMargin: 12
            appModel: pane.appModel
        }

        RowLayout {
            Layout.fillWidth: true
            Layout.margins: 14
            spacing: 12

            ScrollView {
                Layout.fillWidth: true
                Layout.preferredHeight: Math.max(64, Math.min(130, input.implicitHeight))
                background: Rectangle {
                    radius: 10
                    color: QuarnStyle.system.base
                    border.width: input.activeFocus ? QuarnStyle.focusRingWidth : 1
                    border.color: input.activeFocus ? QuarnStyle.focusRing : QuarnStyle.tinted(QuarnStyle.primary, 0.15)
                }

                PlainTextArea {
                    id: input

                    objectName: "aiInput"
                    text: pane.appModel.aiInput
                    wrapMode: TextEdit.Wrap
                    font.pixelSize: 13
                    padding: 8
                    color: QuarnStyle.primary
                    background: null
                    placeholderText: "Codexに話しかける"
                    Accessible.role: Accessible.EditableText
                    Accessible.name: "AIへの入力"
                    onTextChanged: if (text !== pane.appModel.aiInput) pane.appModel.aiInput = text
                    Keys.onPressed: event => {
                        if ((event.key === Qt.Key_Return || event.key === Qt.Key_Enter)
                            && (event.modifiers & Qt.ControlModifier)) {
                            event.accepted = true;
                            pane.send();
                        }
                    }
                }
            }
            ColumnLayout {
                Layout.alignment: Qt.AlignBottom
                spacing: 6
                // One turn at a time: while another conversation waits for
                // its answer, "送る" says nothing by itself.
                PlainLabel {
                    objectName: "aiBusyElsewhere"
                    Layout.alignment: Qt.AlignRight
                    visible: pane.appModel.isSendingAIChat && !pane.isAnswering
                    text: "別のAI Conversationの応答を待っています"
                    font.pixelSize: 10
                    color: QuarnStyle.secondary
                }
                PlainLabel {
                    Layout.alignment: Qt.AlignRight
                    text: "この入力からメールは送られません"
                    font.pixelSize: 10
                    color: QuarnStyle.tertiary
                }
                InkButton {
                    objectName: "aiSendButton"
                    Layout.alignment: Qt.AlignRight
                    text: pane.isAnswering ? "応答中…" : "送る"
                    enabled: pane.canSend
                    onClicked: pane.send()
                }
            }
        }
    }

    // Ctrl+Return sends from anywhere in the pane, under the button's rule;
    // only while the pane is shown and no sheet is open over it.
    Shortcut {
        sequences: ["Ctrl+Return", "Ctrl+Enter"]
        enabled: pane.visible && pane.conversation.present && !orroSheet.visible
        onActivated: pane.send()
    }

    OrroActionSheet {
        id: orroSheet

        appModel: pane.appModel
        onClosed: pane.orroAction = ""
    }
}
