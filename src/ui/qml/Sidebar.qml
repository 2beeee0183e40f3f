import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quarn.Rules

// The left column: header, compose button, the six status lists with their
// counts, People and AI, and the mailbox and Codex status at the foot.
Rectangle {
    id: sidebar

    objectName: "sidebar"

    required property var appModel
    required property var commands
    required property string mailDomain

    // Every status in its order, labelled as everywhere else.
    readonly property var statuses: ["needs_you", "ai_working", "waiting", "scheduled", "inbox", "done"].map(
        status => Object.assign({ status: status }, ScreenRules.status(status)))

    function count(status) {
        const state = appModel.state;
        if (state == null || state.counts == null)
            return 0;
        return state.counts[status] ?? 0;
    }

    color: QuarnStyle.dark ? Qt.lighter(QuarnStyle.canvas, 1.12) : Qt.darker(QuarnStyle.canvas, 1.03)

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 12
        spacing: 4

        RowLayout {
            spacing: 8
            Layout.bottomMargin: 8
            Symbol {
                name: "envelope.badge"
                size: 20
            }
            PlainLabel {
                objectName: "sidebarTitle"
                text: "Quarn Mail"
                font.pixelSize: 14
                font.weight: Font.DemiBold
            }
        }

        SidebarComposeButton {
            Layout.fillWidth: true
            Layout.bottomMargin: 8
            clickAction: function () {
                sidebar.commands.newMessage();
            }
        }

        Repeater {
            model: sidebar.statuses
            delegate: SidebarRow {
                required property var modelData

                Layout.fillWidth: true
                objectName: "statusRow_" + modelData.status
                label: modelData.label
                symbol: modelData.symbol
                count: sidebar.count(modelData.status)
                bold: sidebar.appModel.selectedStatus === modelData.status
                highlighted: sidebar.appModel.lens === "work" && sidebar.appModel.selectedStatus === modelData.status
                onClicked: sidebar.appModel.operations.selectStatus(modelData.status)
            }
        }

        MenuSeparator {
            Layout.fillWidth: true
        }

        SidebarRow {
            Layout.fillWidth: true
            objectName: "peopleRow"
            label: "People"
            symbol: "person.2"
            count: sidebar.appModel.people.count
            bold: sidebar.appModel.lens === "people"
            highlighted: bold
            onClicked: sidebar.appModel.operations.selectPeople()
        }
        SidebarRow {
            Layout.fillWidth: true
            objectName: "aiRow"
            label: "AI"
            symbol: "sparkles"
            count: sidebar.appModel.aiConversations.count
            bold: sidebar.appModel.lens === "ai"
            highlighted: bold
            onClicked: sidebar.appModel.operations.selectAI()
        }

        Item {
            Layout.fillHeight: true
        }

        MenuSeparator {
            Layout.fillWidth: true
        }
        PlainLabel {
            objectName: "mailboxAddress"
            Layout.fillWidth: true
            elide: Text.ElideRight
            text: {
                const state = sidebar.appModel.state;
                return state != null && state.mailbox != null ? state.mailbox.address : "me@" + sidebar.mailDomain;
            }
            font.pixelSize: 12
            font.weight: Font.Medium
        }
        RowLayout {
            spacing: 6
            Accessible.role: Accessible.StaticText
            Accessible.name: codexStatus.text
            Symbol {
                name: sidebar.appModel.isCodexReady ? "checkmark.seal" : "exclamationmark.triangle"
                size: 14
            }
            PlainLabel {
                id: codexStatus
                objectName: "codexStatus"
                text: sidebar.appModel.isCodexReady ? "Codex CLI · Ready" : "Codex CLI · 要確認"
                font.pixelSize: 11
                color: QuarnStyle.secondary
            }
        }
    }
}
