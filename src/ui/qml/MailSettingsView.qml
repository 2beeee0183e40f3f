import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quarn.Rules

// The settings window's content: the e-mail signature and the switch for
// desktop notifications. Every keystroke and every toggle holds at once
// (MailSignature, NotificationSetting), so there is no save or cancel button,
// and an open compose window shows the edit straight away; the signature is
// written when typing rests, or when the window closes.
Item {
    id: settings

    objectName: "mailSettingsView"

    // The signature is what this window is for: the cursor waits in it.
    function focusEditor() {
        editor.forceActiveFocus();
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 8
        spacing: 8

        PlainLabel {
            objectName: "signatureHeading"
            text: "Email署名"
            font.weight: Font.DemiBold
            Accessible.role: Accessible.Heading
            Accessible.name: text
        }

        ScrollView {
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.minimumHeight: 130
            contentWidth: availableWidth

            PlainTextArea {
                id: editor

                objectName: "signatureEditor"
                text: MailSignature.text
                font.pixelSize: 13
                padding: 8
                wrapMode: TextEdit.Wrap
                Accessible.role: Accessible.EditableText
                Accessible.name: "Email署名"
                background: Rectangle {
                    radius: 8
                    color: Qt.rgba(QuarnStyle.primary.r, QuarnStyle.primary.g, QuarnStyle.primary.b, 0.045)
                    border.width: editor.activeFocus ? QuarnStyle.focusRingWidth : 0
                    border.color: QuarnStyle.focusRing
                }
                onTextChanged: MailSignature.text = text
            }
        }

        PlainLabel {
            Layout.fillWidth: true
            text: "Emailで送るメッセージにだけ追加されます。Quarn chatには付きません。"
            font.pixelSize: 11
            color: QuarnStyle.secondary
            wrapMode: Text.Wrap
        }

        Switch {
            objectName: "notificationsSwitch"
            Layout.fillWidth: true
            text: "Needs youに新しい会話が来たら通知する"
            font.pixelSize: 13
            checked: NotificationSetting.enabled
            Accessible.role: Accessible.CheckBox
            Accessible.name: text
            onToggled: NotificationSetting.enabled = checked
        }

        PlainLabel {
            objectName: "settingsSaveError"
            Layout.fillWidth: true
            visible: text !== ""
            text: MailSignature.saveError !== "" ? MailSignature.saveError : NotificationSetting.saveError
            font.pixelSize: 11
            color: QuarnStyle.warmText
            wrapMode: Text.Wrap
        }
    }
}
