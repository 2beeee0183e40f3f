import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quarn.Ui

// The shown conversation: header with its actions, the AI block, the
// messages and the reply box; an empty state while none is shown. The
// timeline follows its end when another conversation opens or messages come.
Item {
    id: pane

    objectName: "conversationPane"

    required property var appModel
    required property var commands
    required property string mailDomain
    property var commandTable: null

    readonly property var detail: appModel.detail
    // The conversation chosen while its detail is on its way (or failed to
    // come): the previous detail is then out of reach, so that nothing typed
    // or pressed goes to a conversation the user has left.
    readonly property var opening: appModel.openingConversation
    readonly property bool showsDetail: detail != null && opening == null
    // The viewer's id, or null while there is no state.
    readonly property var viewerID: appModel.state != null ? appModel.state.viewer.id : null
    readonly property int messageCount: detail != null ? detail.messages.length : 0

    // Escape in an empty reply box: the keyboard goes back to the list.
    signal leaveRequested

    function focusReply() {
        if (showsDetail)
            reply.focusEditor();
    }
    function openOrro(kind) {
        if (showsDetail)
            header.openOrro(kind);
    }
    // Reads on (pages > 0) or back in the messages, a screen less a little at a time.
    function scrollPages(pages) {
        const top = timeline.originY - timeline.topMargin;
        const bottom = Math.max(top, timeline.originY + timeline.contentHeight + timeline.bottomMargin - timeline.height);
        timeline.contentY = Math.max(top, Math.min(bottom, timeline.contentY + pages * timeline.height * 0.9));
    }

    function scrollToEnd() {
        Qt.callLater(() => timeline.positionViewAtEnd());
    }
    onDetailChanged: if (detail != null && detail.id !== timeline.shownId) {
        timeline.shownId = detail.id;
        scrollToEnd();
    }
    onMessageCountChanged: scrollToEnd()

    EmptyState {
        objectName: "paneEmptyState"
        anchors.centerIn: parent
        width: Math.min(parent.width - 40, 360)
        visible: pane.detail == null && pane.opening == null
        symbol: "rectangle.and.text.magnifyingglass"
        title: "Conversationを選択"
        description: "メールとQuarnチャットを、次の一手で整理します。"
    }

    LoadingState {
        objectName: "openingConversationState"
        anchors.centerIn: parent
        width: Math.min(parent.width - 40, 420)
        visible: pane.opening != null
        title: pane.opening != null ? Presenter.isolated(pane.opening.subject) : ""
        detail: pane.opening != null ? Presenter.isolated(pane.opening.participantName) : ""
        failed: pane.opening != null && pane.opening.failed
        failureText: "Conversationを読み込めませんでした。"
        onRetryRequested: pane.appModel.operations.openConversation(pane.opening.id)
    }

    ColumnLayout {
        anchors.fill: parent
        visible: pane.showsDetail
        spacing: 0

        ConversationHeader {
            id: header

            Layout.fillWidth: true
            appModel: pane.appModel
            detail: pane.detail
            commandTable: pane.commandTable
        }
        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 1
            color: QuarnStyle.tinted(QuarnStyle.primary, 0.1)
        }
        ListView {
            id: timeline

            // The id of the conversation the timeline last showed.
            property string shownId

            objectName: "timeline"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            spacing: 14
            leftMargin: 22
            rightMargin: 22
            bottomMargin: 22
            // A list model, not the detail's array: a reload rebuilds only
            // the messages that changed, and a selection in another survives.
            model: pane.appModel.detailMessages
            ScrollBar.vertical: ScrollBar {}
            Accessible.role: Accessible.List
            Accessible.name: "メッセージ"

            header: AIThought {
                width: timeline.width - timeline.leftMargin - timeline.rightMargin
                appModel: pane.appModel
                detail: pane.detail
            }
            delegate: TimelineMessage {
                width: timeline.width - timeline.leftMargin - timeline.rightMargin
                viewerID: pane.viewerID
                onLinkOpened: link => pane.appModel.operations.openLink(link)
            }
            footer: Item {
                objectName: "conversation-timeline-end"
                width: timeline.width - timeline.leftMargin - timeline.rightMargin
                height: 1
            }
        }
        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 1
            color: QuarnStyle.tinted(QuarnStyle.primary, 0.1)
        }
        ReplyComposer {
            id: reply

            Layout.fillWidth: true
            onLeaveRequested: pane.leaveRequested()
            appModel: pane.appModel
            detail: pane.detail
            mailDomain: pane.mailDomain
        }
    }
}
