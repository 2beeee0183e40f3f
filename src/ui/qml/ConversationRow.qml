import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quarn.Ui
import Quarn.Rules

// One conversation of the list: who and when, the subject, and the AI
// summary (with its badge) or the preview.
ItemDelegate {
    id: row

    objectName: "conversationRow_" + id

    required property int index
    required property string id
    required property string subject
    required property string participantName
    required property string transport
    required property string preview
    required property double lastMessageAt
    required property var aiSummary
    required property bool unread

    // The row's conversation is the selected one.
    property bool selected
    // The keyboard's current row.
    property bool current

    // A click, or Enter on the current row.
    signal activated

    readonly property string when: ScreenRules.relativeTime(lastMessageAt, ScreenRules.now)

    focusPolicy: Qt.NoFocus
    topPadding: 10
    bottomPadding: 10
    leftPadding: 16
    rightPadding: 16
    onClicked: activated()

    Accessible.role: Accessible.ListItem
    Accessible.name: (unread ? "未読 " : "") + participantName + ", " + when + ", " + subject + ", "
                     + (aiSummary != null ? "AI " + aiSummary : preview)
    Accessible.selected: selected

    background: Rectangle {
        color: row.selected ? QuarnStyle.tinted(QuarnStyle.accent, QuarnStyle.dark ? 0.35 : 0.12)
                            : row.hovered ? QuarnStyle.tinted(QuarnStyle.primary, 0.04) : "transparent"
        border.width: row.current ? 2 : 0
        border.color: QuarnStyle.accentText
        Rectangle {
            anchors.bottom: parent.bottom
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.leftMargin: 16
            height: 1
            color: QuarnStyle.tinted(QuarnStyle.primary, 0.06)
        }
    }

    contentItem: ColumnLayout {
        spacing: 3

        RowLayout {
            spacing: 6
            Layout.fillWidth: true
            Rectangle {
                objectName: "unreadDot"
                visible: row.unread
                implicitWidth: 6
                implicitHeight: 6
                radius: 3
                color: QuarnStyle.warm
            }
            PlainLabel {
                objectName: "rowName"
                // As wide as the name, up to what the time leaves free.
                Layout.maximumWidth: Math.max(40, row.availableWidth - rowTime.implicitWidth - 40)
                text: Presenter.isolated(row.participantName)
                font.pixelSize: 12
                font.weight: Font.DemiBold
                elide: Text.ElideRight
                maximumLineCount: 1
            }
            Symbol {
                name: ScreenRules.transportSymbol(row.transport)
                size: 12
                tint: QuarnStyle.tertiary
            }
            Item {
                Layout.fillWidth: true
            }
            PlainLabel {
                id: rowTime
                objectName: "rowTime"
                text: row.when
                font.pixelSize: QuarnStyle.captionSize
                color: QuarnStyle.tertiary
            }
        }
        PlainLabel {
            objectName: "rowSubject"
            Layout.fillWidth: true
            text: Presenter.isolated(row.subject)
            font.pixelSize: 13
            font.weight: Font.Medium
            elide: Text.ElideRight
            maximumLineCount: 1
        }
        RowLayout {
            Layout.fillWidth: true
            spacing: 6
            Rectangle {
                objectName: "aiBadge"
                visible: row.aiSummary != null
                Layout.alignment: Qt.AlignTop
                Layout.topMargin: 2
                implicitWidth: badgeText.implicitWidth + 8
                implicitHeight: badgeText.implicitHeight + 4
                radius: 4
                color: QuarnStyle.tinted(QuarnStyle.accent, QuarnStyle.dark ? 0.3 : 0.1)
                PlainLabel {
                    id: badgeText
                    anchors.centerIn: parent
                    text: "AI"
                    font.pixelSize: 8
                    font.bold: true
                    color: QuarnStyle.accentText
                }
            }
            PlainLabel {
                objectName: "rowSummary"
                Layout.fillWidth: true
                text: Presenter.isolated(row.aiSummary != null ? row.aiSummary : row.preview)
                font.pixelSize: 11
                color: QuarnStyle.secondary
                elide: Text.ElideRight
                wrapMode: Text.Wrap
                maximumLineCount: 2
            }
        }
    }
}
