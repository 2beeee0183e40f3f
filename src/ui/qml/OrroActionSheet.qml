import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quarn.Rules

// The sheet that hands a conversation to Orro as a Todo or an event: the
// title, notes and date start from the conversation and can be edited;
// "追加" passes them to the model's sendToOrro as typed and closes only when
// that succeeded; otherwise the sheet says the hand-off failed. "閉じる" and Escape close without sending.
//
// Open it from a mail conversation with openFromConversation(kind, detail)
// (`detail`: the model's detail map) or from a private AI conversation with
// openFromAIConversation(kind, id, title, lastMessage); `kind` is "task" or
// "event". Every opening starts from those values afresh.
Dialog {
    id: sheet

    objectName: "orroActionSheet"

    required property var appModel

    // Fixed while the sheet is open.
    property string kind: "task"
    property string conversationID
    // Whether a date is sent (always for an event) and which.
    property bool dateEnabled
    property date date: new Date()

    readonly property bool isEvent: kind === "event"
    // The hand-off under way (its request number, 0: none), and what the
    // last one that did not hand over said: why it failed, or where the
    // calendar file was kept.
    property int pendingRequest: 0
    property string resultMessage

    function openFromConversation(kind, detail) {
        start(kind, ScreenRules.orroDraftFromConversation(kind, detail));
    }
    function openFromAIConversation(kind, id, title, lastMessage) {
        start(kind, ScreenRules.orroDraftFromAIConversation(kind, id, title, lastMessage ?? ""));
    }
    function start(kind, draft) {
        sheet.kind = kind;
        conversationID = draft.conversationID;
        titleField.text = draft.title;
        notesEditor.text = draft.notes;
        dateEnabled = draft.dateEnabled;
        date = draft.date;
        pendingRequest = 0;
        resultMessage = "";
        open();
        titleField.forceActiveFocus();
    }
    function add() {
        const times = ScreenRules.orroTimes(kind, date, dateEnabled);
        resultMessage = "";
        pendingRequest = appModel.operations.sendToOrro(kind, titleField.text, notesEditor.text, times.dueAt,
                                                        times.startsAt, times.endsAt, conversationID);
    }

    // Closes only once something really took the item.
    Connections {
        target: sheet.appModel.operations
        function onSendToOrroFinished(request, handedOver, message) {
            if (request !== sheet.pendingRequest)
                return;
            sheet.pendingRequest = 0;
            if (handedOver)
                sheet.close();
            else
                sheet.resultMessage = message;
        }
    }

    parent: Overlay.overlay
    anchors.centerIn: parent
    width: 560
    height: 430
    modal: true
    closePolicy: Popup.CloseOnEscape
    padding: 26

    header: null
    footer: null

    contentItem: ColumnLayout {
        spacing: 18
        Accessible.role: Accessible.Dialog
        Accessible.name: headerTitle.text

        RowLayout {
            Layout.fillWidth: true
            spacing: 12
            ColumnLayout {
                Layout.fillWidth: true
                spacing: 4
                PlainLabel {
                    id: headerTitle
                    objectName: "orroSheetTitle"
                    text: sheet.isEvent ? "Orroの予定に追加" : "OrroのTodoに追加"
                    font.pixelSize: 16
                    font.weight: Font.DemiBold
                }
                PlainLabel {
                    Layout.fillWidth: true
                    text: "登録前に内容を確認できます。元のConversationへの参照も残ります。"
                    font.pixelSize: QuarnStyle.captionSize
                    color: QuarnStyle.secondary
                    wrapMode: Text.Wrap
                }
            }
            Button {
                objectName: "orroCloseButton"
                Layout.alignment: Qt.AlignTop
                text: "閉じる"
                flat: true
                palette.buttonText: QuarnStyle.secondary
                Accessible.name: text
                onClicked: sheet.close()
            }
        }

        ColumnLayout {
            Layout.fillWidth: true
            spacing: 6
            PlainLabel {
                text: "タイトル"
                font.pixelSize: QuarnStyle.captionSize
                font.weight: Font.DemiBold
                color: QuarnStyle.secondary
            }
            TextField {
                id: titleField
                objectName: "orroTitleField"
                Layout.fillWidth: true
                placeholderText: "タイトル"
                Accessible.role: Accessible.EditableText
                Accessible.name: "タイトル"
            }
        }

        ColumnLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            spacing: 6
            PlainLabel {
                text: "メモ"
                font.pixelSize: QuarnStyle.captionSize
                font.weight: Font.DemiBold
                color: QuarnStyle.secondary
            }
            ScrollView {
                Layout.fillWidth: true
                Layout.fillHeight: true
                Layout.minimumHeight: 110
                background: Rectangle {
                    radius: 9
                    color: QuarnStyle.tinted(QuarnStyle.primary, 0.045)
                    border.width: notesEditor.activeFocus ? 2 : 0
                    border.color: QuarnStyle.accentText
                }
                PlainTextArea {
                    id: notesEditor
                    objectName: "orroNotesEditor"
                    wrapMode: TextEdit.Wrap
                    background: null
                    Accessible.role: Accessible.EditableText
                    Accessible.name: "メモ"
                    KeyNavigation.priority: KeyNavigation.BeforeItem
                    KeyNavigation.tab: sheet.isEvent ? dateSlot : dateToggle
                }
            }
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 10
            CheckBox {
                id: dateToggle
                objectName: "orroDateToggle"
                visible: !sheet.isEvent
                text: "期限を付ける"
                checked: sheet.dateEnabled
                onToggled: sheet.dateEnabled = checked
                Accessible.name: text
            }
            RowLayout {
                visible: sheet.isEvent
                spacing: 5
                Symbol {
                    name: "calendar.badge.clock"
                    size: 14
                }
                PlainLabel {
                    objectName: "orroStartLabel"
                    text: "開始"
                }
            }
            DateTimePicker {
                id: dateSlot
                objectName: "orroDateSlot"
                visible: sheet.dateEnabled
                accessibleName: sheet.isEvent ? "開始" : "期限"
                value: sheet.date.getTime()
                onEdited: value => sheet.date = new Date(value)
            }
            Item {
                Layout.fillWidth: true
            }
        }

        PlainLabel {
            objectName: "orroResultMessage"
            Layout.fillWidth: true
            visible: sheet.resultMessage !== ""
            text: sheet.resultMessage
            wrapMode: Text.Wrap
            font.pixelSize: QuarnStyle.captionSize
            color: QuarnStyle.warmText
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 6
            Symbol {
                name: "arrow.up.forward.app"
                size: 12
                tint: QuarnStyle.secondary
            }
            PlainLabel {
                text: "Quarn Orroで保存"
                font.pixelSize: QuarnStyle.captionSize
                color: QuarnStyle.secondary
            }
            Item {
                Layout.fillWidth: true
            }
            Button {
                objectName: "orroAddButton"
                text: "追加"
                highlighted: true
                enabled: ScreenRules.canAddToOrro(titleField.text) && sheet.pendingRequest === 0
                Accessible.name: text
                onClicked: sheet.add()
            }
        }
    }
}
