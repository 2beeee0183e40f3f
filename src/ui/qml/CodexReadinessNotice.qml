import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Why the AI cannot answer while the Codex CLI is not ready, and what to do:
// the probe's finding, the step that fixes it with its command (selectable,
// to paste into a terminal), and a button that probes again once it is done.
// A disabled "送る" alone would leave the user guessing.
Rectangle {
    id: notice

    objectName: "codexNotReadyNotice"

    required property var appModel

    readonly property bool checkingFirst: appModel.isCheckingCodex && appModel.codexProblem === ""

    visible: !appModel.isCodexReady
    implicitHeight: column.implicitHeight + 24
    radius: 10
    color: QuarnStyle.tinted(QuarnStyle.warm, QuarnStyle.dark ? 0.22 : 0.08)
    border.width: 1
    border.color: QuarnStyle.tinted(QuarnStyle.warm, 0.35)
    Accessible.role: Accessible.AlertMessage
    Accessible.name: title.text

    ColumnLayout {
        id: column

        anchors.fill: parent
        anchors.margins: 12
        spacing: 6

        RowLayout {
            Layout.fillWidth: true
            spacing: 6
            Symbol {
                visible: !notice.checkingFirst
                name: "exclamationmark.triangle"
                size: 14
                tint: QuarnStyle.warmText
            }
            BusyIndicator {
                visible: notice.checkingFirst
                running: visible
                Layout.preferredWidth: 16
                Layout.preferredHeight: 16
                padding: 0
            }
            PlainLabel {
                id: title

                objectName: "codexNotReadyTitle"
                Layout.fillWidth: true
                text: notice.checkingFirst ? "Codex CLIを確認しています…" : "Codex CLIの準備ができていません"
                font.pixelSize: 13
                font.weight: Font.DemiBold
                color: QuarnStyle.primary
                wrapMode: Text.WordWrap
            }
            Button {
                objectName: "recheckCodexButton"
                visible: !notice.checkingFirst
                text: notice.appModel.isCheckingCodex ? "確認しています…" : "もう一度確認"
                enabled: !notice.appModel.isCheckingCodex
                Accessible.role: Accessible.Button
                Accessible.name: "もう一度確認"
                onClicked: notice.appModel.operations.checkCodex()
            }
        }
        PlainLabel {
            objectName: "codexProblemText"
            Layout.fillWidth: true
            visible: text !== ""
            text: notice.appModel.codexProblem
            wrapMode: Text.WordWrap
            font.pixelSize: 12
            color: QuarnStyle.primary
        }
        PlainLabel {
            objectName: "codexRemedyText"
            Layout.fillWidth: true
            visible: text !== ""
            text: notice.appModel.codexRemedy
            wrapMode: Text.WordWrap
            font.pixelSize: 12
            color: QuarnStyle.secondary
        }
        Rectangle {
            Layout.fillWidth: true
            visible: notice.appModel.codexFixCommand !== ""
            implicitHeight: command.implicitHeight + 12
            radius: 6
            color: QuarnStyle.tinted(QuarnStyle.primary, 0.06)

            SelectableText {
                id: command

                objectName: "codexFixCommand"
                anchors.fill: parent
                anchors.margins: 6
                text: notice.appModel.codexFixCommand
                font.family: "monospace"
                font.pixelSize: 12
                color: QuarnStyle.primary
                selectedTextColor: QuarnStyle.system.highlightedText
                selectionColor: QuarnStyle.system.highlight
                activeFocusOnTab: true
                Accessible.role: Accessible.StaticText
                Accessible.name: text
            }
        }
    }
}
