import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quarn.Rules

// The AI's reading of the conversation: a progress line while the AI works,
// otherwise its summary, the next step, the request and the draft button.
// Takes no space when there is nothing to show.
Item {
    id: thought

    objectName: "aiThought"

    required property var appModel
    required property var detail

    readonly property string status: detail != null ? detail.status : ""
    readonly property bool shown: detail != null && ScreenRules.showsAIThought(status, detail.aiSummary)
    readonly property bool working: status === "ai_working"
    readonly property var step: ScreenRules.nextStep(status)
    readonly property string requestLine: detail != null
                                          ? ScreenRules.aiRequestLine(status, detail.aiRequest, detail.aiDeadline) : ""

    visible: shown
    implicitHeight: shown ? column.implicitHeight + 16 + 16 : 0

    ColumnLayout {
        id: column

        anchors.top: parent.top
        anchors.topMargin: 16
        width: parent.width
        spacing: 16

        RowLayout {
            Layout.fillWidth: true
            spacing: 12

            Item {
                Layout.alignment: Qt.AlignTop
                implicitWidth: 26
                implicitHeight: 26
                Symbol {
                    anchors.centerIn: parent
                    name: "sparkles"
                    size: 14
                    tint: QuarnStyle.accentText
                }
            }

            ColumnLayout {
                Layout.fillWidth: true
                spacing: 6

                RowLayout {
                    visible: thought.working
                    spacing: 8
                    BusyIndicator {
                        running: thought.working
                        Layout.preferredWidth: 16
                        Layout.preferredHeight: 16
                        padding: 0
                    }
                    PlainLabel {
                        objectName: "aiWorkingText"
                        Layout.fillWidth: true
                        text: "このPCのCodex CLIが会話を整理しています。"
                        font.pixelSize: 13
                        color: QuarnStyle.secondary
                        wrapMode: Text.Wrap
                    }
                }

                SelectableText {
                    objectName: "aiSummary"
                    visible: !thought.working
                    Layout.fillWidth: true
                    text: thought.detail != null ? (thought.detail.aiSummary ?? "") : ""
                    font.pixelSize: 13
                    font.weight: Font.Medium
                    color: QuarnStyle.primary
                    activeFocusOnTab: false
                    Accessible.role: Accessible.StaticText
                    Accessible.name: text
                }
                RowLayout {
                    objectName: "nextStep"
                    visible: !thought.working
                    spacing: 5
                    Symbol {
                        objectName: "nextStepSymbol"
                        property string symbolName: thought.step.symbol
                        name: symbolName
                        size: 13
                        tint: nextStepText.color
                    }
                    PlainLabel {
                        id: nextStepText
                        objectName: "nextStepText"
                        text: thought.step.text
                        font.pixelSize: 12
                        font.weight: Font.DemiBold
                        color: QuarnStyle.tone(thought.step.tone)
                    }
                }
                PlainLabel {
                    objectName: "aiRequest"
                    visible: !thought.working && thought.requestLine !== ""
                    Layout.fillWidth: true
                    text: thought.requestLine
                    font.pixelSize: 12
                    wrapMode: Text.Wrap
                }
                Button {
                    objectName: "useDraftButton"
                    visible: !thought.working && thought.detail != null && thought.detail.aiDraft != null
                    flat: true
                    padding: 2
                    leftPadding: 0
                    text: "返信案を使う"
                    font.pixelSize: 12
                    palette.buttonText: QuarnStyle.accentText
                    background: null
                    Accessible.role: Accessible.Link
                    Accessible.name: text
                    onClicked: thought.appModel.operations.useDraft()
                }
            }
        }
        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 1
            color: QuarnStyle.tinted(QuarnStyle.primary, 0.1)
        }
    }
}
