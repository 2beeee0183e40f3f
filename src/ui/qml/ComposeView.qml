import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quarn.Ui
import Quarn.Rules

// The sheet for a new message, shown while the model's composePresented is
// true. Its rules live in ComposeSession; this file only wires them. Every
// opening starts a session on the model's compose draft: what a sheet closed
// unsent held (by "閉じる", Escape or a sign-out) comes back in the next one.
Dialog {
    id: sheet

    objectName: "composeSheet"

    required property var appModel
    required property string mailDomain

    // Fixed, unless the window is smaller than the sheet: then the middle
    // part scrolls rather than anything being cut off.
    width: Math.min(720, parent.width)
    height: Math.min(660, parent.height)
    anchors.centerIn: parent
    modal: true
    focus: true
    padding: 28
    closePolicy: Popup.CloseOnEscape
    visible: appModel.composePresented

    // Typing starts with the recipients, however the sheet was opened.
    function takeFocus() {
        if (formLoader.item)
            formLoader.item.takeFocus();
        else
            sheet.forceActiveFocus();
    }

    onClosed: appModel.composePresented = false
    onOpened: sheet.takeFocus()

    contentItem: Loader {
        id: formLoader

        objectName: "composeContentLoader"
        active: sheet.visible
        focus: true
        sourceComponent: form
    }

    Component {
        id: form

        ColumnLayout {
            id: content

            spacing: 18
            Accessible.role: Accessible.Dialog
            Accessible.name: "新規メッセージ"

            function takeFocus() {
                recipientField.forceActiveFocus();
            }

            // Ctrl+Return sends under the same rule as the button.
            Shortcut {
                sequences: ["Ctrl+Return", "Ctrl+Enter"]
                enabled: session.sendEnabled
                onActivated: session.send()
            }

            ComposeSession {
                id: session

                objectName: "composeSession"
                appModel: sheet.appModel
                mailDomain: sheet.mailDomain
                mailSignature: MailSignature.text
            }

            // 1. Header.
            RowLayout {
                Layout.fillWidth: true
                spacing: 12

                ColumnLayout {
                    Layout.fillWidth: true
                    spacing: 2
                    PlainLabel {
                        text: "新規メッセージ"
                        font.pixelSize: 20
                        font.weight: Font.DemiBold
                    }
                    PlainLabel {
                        Layout.fillWidth: true
                        text: "本文から件名を作り、送信前に確認できます。"
                        color: QuarnStyle.secondary
                        elide: Text.ElideRight
                    }
                }
                Button {
                    objectName: "composeCloseButton"
                    Layout.alignment: Qt.AlignTop
                    text: "閉じる"
                    flat: true
                    palette.buttonText: QuarnStyle.secondary
                    Accessible.role: Accessible.Button
                    Accessible.name: text
                    onClicked: sheet.close()
                }
            }

            ScrollView {
                id: scroller

                Layout.fillWidth: true
                Layout.fillHeight: true
                contentWidth: availableWidth
                clip: true

                ColumnLayout {
                    width: scroller.availableWidth
                    height: Math.max(scroller.availableHeight, implicitHeight)
                    spacing: 18

                    // 2. Recipients.
                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 6

                        RowLayout {
                            Layout.fillWidth: true
                            spacing: 8

                            PlainLabel {
                                text: "宛先"
                                font.pixelSize: 11
                                color: QuarnStyle.secondary
                            }
                            TextField {
                                id: recipientField

                                objectName: "recipientField"
                                Layout.fillWidth: true
                                focus: true
                                placeholderText: "メールアドレスをカンマで区切って入力"
                                Accessible.role: Accessible.EditableText
                                Accessible.name: "宛先"
                                background: Rectangle {
                                    radius: 8
                                    color: Qt.rgba(QuarnStyle.primary.r, QuarnStyle.primary.g, QuarnStyle.primary.b,
                                                   0.05)
                                    border.width: recipientField.activeFocus ? QuarnStyle.focusRingWidth : 0
                                    border.color: QuarnStyle.focusRing
                                }
                                text: session.recipientInput
                                onTextChanged: session.recipientInput = text
                            }
                        }
                        ListView {
                            objectName: "recipientChips"
                            Layout.fillWidth: true
                            Layout.preferredHeight: 24
                            visible: session.recipients.length > 0
                            orientation: ListView.Horizontal
                            spacing: 6
                            clip: true
                            boundsBehavior: Flickable.StopAtBounds
                            model: session.recipients
                            Accessible.role: Accessible.List
                            Accessible.name: "宛先の一覧"
                            delegate: Rectangle {
                                id: chip

                                required property string modelData

                                height: 24
                                width: chipRow.implicitWidth + 16
                                radius: height / 2
                                color: Qt.rgba(QuarnStyle.primary.r, QuarnStyle.primary.g, QuarnStyle.primary.b, 0.08)
                                Accessible.role: Accessible.ListItem
                                Accessible.name: modelData

                                Row {
                                    id: chipRow
                                    anchors.centerIn: parent
                                    spacing: 4
                                    Symbol {
                                        anchors.verticalCenter: parent.verticalCenter
                                        name: "person.crop.circle"
                                        size: 14
                                    }
                                    PlainLabel {
                                        anchors.verticalCenter: parent.verticalCenter
                                        text: Presenter.isolated(chip.modelData)
                                        font.pixelSize: 11
                                    }
                                }
                            }
                        }
                        PlainLabel {
                            objectName: "invalidRecipientsLabel"
                            Layout.fillWidth: true
                            visible: session.invalidRecipients.length > 0
                            text: "宛先を確認: " + session.invalidRecipients.join(", ")
                            color: QuarnStyle.warm
                            font.pixelSize: 11
                            elide: Text.ElideRight
                        }
                    }

                    // 3. Subject.
                    RowLayout {
                        Layout.fillWidth: true
                        Layout.preferredHeight: 32
                        spacing: 8

                        Symbol {
                            name: "sparkles"
                            size: 14
                        }
                        PlainLabel {
                            text: "件名"
                        }
                        TextField {
                            id: subjectField

                            objectName: "subjectField"
                            Layout.fillWidth: true
                            placeholderText: "本文から自動生成"
                            text: session.subject
                            Accessible.role: Accessible.EditableText
                            Accessible.name: "件名"
                            background: Rectangle {
                                radius: 6
                                color: "transparent"
                                border.width: subjectField.activeFocus ? QuarnStyle.focusRingWidth : 0
                                border.color: QuarnStyle.focusRing
                            }
                            onTextEdited: session.editSubject(text)
                        }
                        BusyIndicator {
                            objectName: "subjectProgress"
                            Layout.preferredWidth: 22
                            Layout.preferredHeight: 22
                            visible: session.isGeneratingSubject
                            running: visible
                            Accessible.role: Accessible.Indicator
                            Accessible.name: "件名を作成中"
                        }
                        ToolButton {
                            objectName: "regenerateSubjectButton"
                            visible: !session.isGeneratingSubject && session.canRegenerateSubject
                            icon.source: QuarnStyle.symbol("arrow.clockwise")
                            display: AbstractButton.IconOnly
                            text: "件名を作り直す"
                            ToolTip.text: text
                            ToolTip.visible: hovered
                            ToolTip.delay: 500
                            Accessible.role: Accessible.Button
                            Accessible.name: text
                            onClicked: session.regenerateSubject()
                        }
                    }

                    // 4. Body.
                    ScrollView {
                        id: bodyScroller

                        Layout.fillWidth: true
                        Layout.fillHeight: true
                        Layout.minimumHeight: 240
                        contentWidth: availableWidth
                        Layout.preferredHeight: 240

                        PlainTextArea {
                            id: bodyEditor

                            objectName: "bodyEditor"
                            wrapMode: TextEdit.Wrap
                            padding: 8
                            Accessible.role: Accessible.EditableText
                            Accessible.name: "本文"
                            // The writing area reads as one, like the signature editor.
                            background: Rectangle {
                                radius: 8
                                color: QuarnStyle.tinted(QuarnStyle.primary, 0.045)
                                border.width: bodyEditor.activeFocus ? QuarnStyle.focusRingWidth : 0
                                border.color: QuarnStyle.focusRing
                            }
                            text: session.bodyText
                            onTextChanged: session.bodyText = text
                            // Tab moves on to the signature, the schedule and
                            // "送信", as in every other field; Ctrl+Tab is the
                            // way to type a tab.
                            Keys.onPressed: event => {
                                if (event.key === Qt.Key_Tab && (event.modifiers & Qt.ControlModifier)) {
                                    bodyEditor.insert(bodyEditor.cursorPosition, "\t");
                                    event.accepted = true;
                                } else if (event.key === Qt.Key_Tab && event.modifiers === Qt.NoModifier) {
                                    bodyEditor.nextItemInFocusChain(true).forceActiveFocus(Qt.TabFocusReason);
                                    event.accepted = true;
                                } else if (event.key === Qt.Key_Backtab) {
                                    subjectField.forceActiveFocus(Qt.BacktabFocusReason);
                                    event.accepted = true;
                                }
                            }
                        }
                    }

                    // 5. Signature, for e-mail only.
                    ColumnLayout {
                        objectName: "signatureSection"
                        Layout.fillWidth: true
                        visible: session.usesEmail
                        spacing: 4

                        RowLayout {
                            spacing: 12
                            CheckBox {
                                objectName: "includeSignatureBox"
                                text: "署名を付ける"
                                checked: session.includeSignature
                                enabled: session.signature !== ""
                                Accessible.role: Accessible.CheckBox
                                Accessible.name: text
                                onToggled: session.includeSignature = checked
                            }
                            Button {
                                objectName: "editSignatureLink"
                                flat: true
                                text: "署名を設定"
                                icon.source: QuarnStyle.symbol("signature")
                                icon.width: 14
                                icon.height: 14
                                display: AbstractButton.TextBesideIcon
                                font.pixelSize: 11
                                palette.buttonText: QuarnStyle.secondary
                                Accessible.role: Accessible.Link
                                Accessible.name: text
                                onClicked: MailSignature.requestEditor()
                            }
                        }
                        PlainLabel {
                            objectName: "signaturePreview"
                            Layout.fillWidth: true
                            visible: session.includeSignature && session.signature !== ""
                            // All of it, as it will be appended: the form scrolls
                            // when it is long.
                            text: session.signature
                            font.pixelSize: 11
                            color: QuarnStyle.secondary
                            wrapMode: Text.Wrap
                        }
                        PlainLabel {
                            objectName: "signatureHint"
                            Layout.fillWidth: true
                            visible: session.signature === ""
                            text: "署名は未設定です。Email送信時だけ付与されます。"
                            font.pixelSize: 11
                            color: QuarnStyle.secondary
                        }
                    }

                    // 6. Schedule.
                    RowLayout {
                        Layout.fillWidth: true
                        spacing: 12

                        Switch {
                            objectName: "scheduleSwitch"
                            text: "送信を予約"
                            checked: session.scheduleEnabled
                            Accessible.role: Accessible.CheckBox
                            Accessible.name: text
                            onToggled: session.scheduleEnabled = checked
                        }
                        Loader {
                            objectName: "schedulePickerLoader"
                            active: session.scheduleEnabled
                            sourceComponent: DateTimePicker {
                                objectName: "schedulePicker"
                                accessibleName: "送信日時"
                                value: session.scheduledDate
                                onEdited: value => session.scheduledDate = value
                                // The earliest time moves on with the clock:
                                // it is taken again whenever the calendar opens.
                                Component.onCompleted: minimumValue = session.earliestScheduleTime()
                                onPopupOpenChanged: if (popupOpen)
                                    minimumValue = session.earliestScheduleTime()
                            }
                        }
                        Item {
                            Layout.fillWidth: true
                        }
                    }
                    PlainLabel {
                        objectName: "scheduleProblem"
                        Layout.fillWidth: true
                        visible: session.scheduleProblem !== ""
                        text: session.scheduleProblem
                        font.pixelSize: 11
                        color: QuarnStyle.warmText
                        wrapMode: Text.Wrap
                        Accessible.role: Accessible.AlertMessage
                        Accessible.name: text
                    }
                }
            }

            // 7. Footer.
            RowLayout {
                Layout.fillWidth: true
                spacing: 12

                PlainLabel {
                    objectName: "footerCaption"
                    Layout.fillWidth: true
                    text: session.footerCaption
                    font.pixelSize: 11
                    color: QuarnStyle.secondary
                    elide: Text.ElideRight
                }
                InkButton {
                    objectName: "composeSendButton"
                    text: sheet.appModel.isSending ? "送信中…" : "送信"
                    enabled: session.sendEnabled
                    onClicked: session.send()
                }
            }
        }
    }
}
