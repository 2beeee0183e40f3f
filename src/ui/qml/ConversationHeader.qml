import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quarn.Ui
import Quarn.Rules

// The shown conversation's subject and person, and its actions: Todo and
// event for Orro, the status menu (only the statuses a user may choose) and
// the AI triage.
Pane {
    id: header

    objectName: "conversationHeader"

    required property var appModel
    required property var detail
    // The window's commands: "AIで整理" follows its command's rule and says why
    // it cannot run.
    property var commandTable: null

    readonly property var runAICommand: commandTable ? commandTable.command("runAI") : null

    // The Orro sheet's kind while it is open ("task" or "event"), else null.
    property var orroAction: null

    readonly property var statusPresentation: ScreenRules.status(detail != null ? detail.status : "")

    function openOrro(kind) {
        orroAction = kind;
        orroSheet.openFromConversation(kind, detail);
    }

    implicitHeight: Math.max(76, implicitContentHeight + topPadding + bottomPadding)
    leftPadding: 22
    rightPadding: 22
    topPadding: 12
    bottomPadding: 12
    background: null

    RowLayout {
        anchors.fill: parent
        spacing: 10

        ColumnLayout {
            Layout.fillWidth: true
            spacing: 4

            PlainLabel {
                objectName: "detailSubject"
                Layout.fillWidth: true
                text: header.detail != null ? Presenter.isolated(header.detail.subject) : ""
                font.pixelSize: 16
                font.weight: Font.DemiBold
                elide: Text.ElideRight
                Accessible.role: Accessible.Heading
                Accessible.name: text
            }
            AbstractButton {
                id: personButton

                objectName: "personButton"
                Layout.fillWidth: true
                Layout.maximumWidth: implicitWidth
                hoverEnabled: true
                focusPolicy: Qt.StrongFocus
                padding: 2
                text: header.detail != null ? Presenter.isolated(header.detail.participantName) + " · "
                                        + Presenter.isolated(header.detail.participantAddress) : ""
                ToolTip.visible: hovered
                ToolTip.delay: 600
                ToolTip.text: "この人とのすべてのやりとりを見る"
                Accessible.role: Accessible.Button
                Accessible.name: text
                Accessible.description: ToolTip.text
                Keys.onReturnPressed: clicked()
                onClicked: header.appModel.operations.openPerson(header.detail.participantAddress)

                background: Rectangle {
                    radius: 4
                    color: personButton.hovered ? QuarnStyle.tinted(QuarnStyle.primary, 0.06) : "transparent"
                    border.width: personButton.visualFocus ? 2 : 0
                    border.color: QuarnStyle.accentText
                }
                contentItem: RowLayout {
                    spacing: 5
                    Symbol {
                        name: "person.crop.circle"
                        size: 13
                        tint: QuarnStyle.secondary
                    }
                    PlainLabel {
                        Layout.fillWidth: true
                        text: personButton.text
                        font.pixelSize: QuarnStyle.captionSize
                        color: QuarnStyle.secondary
                        elide: Text.ElideRight
                    }
                    Symbol {
                        name: ScreenRules.transportSymbol(header.detail != null ? header.detail.transport : "")
                        size: 12
                        tint: QuarnStyle.secondary
                    }
                }
            }
        }

        Button {
            objectName: "todoButton"
            text: "Todo"
            icon.source: QuarnStyle.symbol("checkmark.circle")
            display: AbstractButton.TextBesideIcon
            ToolTip.visible: hovered
            ToolTip.delay: 600
            ToolTip.text: "このConversationからOrroのTodoを作る"
            Accessible.name: text
            Accessible.description: ToolTip.text
            onClicked: header.openOrro("task")
        }
        Button {
            objectName: "eventButton"
            text: "予定"
            icon.source: QuarnStyle.symbol("calendar")
            display: AbstractButton.TextBesideIcon
            ToolTip.visible: hovered
            ToolTip.delay: 600
            ToolTip.text: "このConversationからOrroの予定を作る"
            Accessible.name: text
            Accessible.description: ToolTip.text
            onClicked: header.openOrro("event")
        }
        ToolButton {
            id: statusButton

            objectName: "statusMenuButton"
            text: header.statusPresentation.label
            icon.source: QuarnStyle.symbol(header.statusPresentation.symbol)
            display: AbstractButton.TextBesideIcon
            Accessible.role: Accessible.ButtonMenu
            Accessible.name: "ステータス: " + text
            onClicked: statusMenu.open()

            Menu {
                id: statusMenu

                objectName: "statusMenu"
                y: statusButton.height

                Repeater {
                    model: ScreenRules.userSelectableStatuses()
                    delegate: MenuItem {
                        id: statusItem

                        required property var modelData
                        // The conversation's own status carries a check mark,
                        // as in a native menu.
                        readonly property bool current: header.detail != null
                                                        && header.detail.status === modelData.status

                        objectName: "statusMenuItem_" + modelData.status
                        text: modelData.label
                        icon.source: QuarnStyle.symbol(modelData.symbol)
                        // Room for the mark on every item, so the labels line up.
                        leftPadding: padding + checkMark.width + spacing
                        Accessible.name: text
                        Accessible.checkable: true
                        Accessible.checked: current
                        onTriggered: header.appModel.operations.setStatus(modelData.status)

                        Symbol {
                            id: checkMark

                            objectName: "statusMenuCheck"
                            x: statusItem.padding
                            anchors.verticalCenter: parent.verticalCenter
                            name: "checkmark"
                            size: 12
                            tint: statusItem.highlighted ? QuarnStyle.system.highlightedText : QuarnStyle.primary
                            visible: statusItem.current
                        }
                    }
                }
            }
        }
        // A disabled button gets neither pointer nor keyboard: the area
        // around it says why, on hover and, for the keyboard, when Tab
        // reaches it in the button's place.
        Item {
            id: runAIArea

            objectName: "runAIButtonArea"
            implicitWidth: runAIButton.implicitWidth
            implicitHeight: runAIButton.implicitHeight
            activeFocusOnTab: !runAIButton.enabled
            Accessible.role: Accessible.Button
            Accessible.name: "AIで整理"
            Accessible.description: runAIToolTip.text
            Accessible.ignored: runAIButton.enabled

            Rectangle {
                anchors.fill: parent
                visible: runAIArea.activeFocus
                color: "transparent"
                radius: 4
                border.width: QuarnStyle.focusRingWidth
                border.color: QuarnStyle.focusRing
            }

            Button {
                id: runAIButton

                objectName: "runAIButton"
                anchors.fill: parent
                text: header.appModel.isRunningAI ? "" : "AIで整理"
                icon.source: header.appModel.isRunningAI ? "" : QuarnStyle.symbol("sparkles")
                display: AbstractButton.TextBesideIcon
                enabled: header.runAICommand ? header.runAICommand.enabled : true
                Accessible.name: "AIで整理"
                Accessible.description: header.appModel.isRunningAI ? "整理しています"
                                                                    : header.runAICommand ? header.runAICommand.reason : ""
                implicitWidth: Math.max(implicitBackgroundWidth + leftInset + rightInset,
                                        aiLabelMetrics.width + 26 + leftPadding + rightPadding)
                onClicked: header.appModel.operations.runAI()

                TextMetrics {
                    id: aiLabelMetrics
                    text: "AIで整理"
                }
                BusyIndicator {
                    objectName: "runAIProgress"
                    anchors.centerIn: parent
                    width: 18
                    height: 18
                    padding: 0
                    visible: header.appModel.isRunningAI
                    running: visible
                }
            }
            HoverHandler {
                id: runAIHover
            }
            ToolTip {
                id: runAIToolTip

                objectName: "runAIToolTip"
                visible: (runAIHover.hovered || runAIArea.activeFocus) && text !== ""
                delay: 400
                width: Math.min(implicitWidth, 380)
                text: header.runAICommand && !header.runAICommand.enabled ? header.runAICommand.reason : ""

                // On the tooltip's own background, in whichever scheme.
                contentItem: PlainLabel {
                    text: runAIToolTip.text
                    wrapMode: Text.WordWrap
                    color: runAIToolTip.palette.toolTipText
                }
            }
        }
    }

    OrroActionSheet {
        id: orroSheet

        appModel: header.appModel
        onClosed: header.orroAction = null
    }
}
