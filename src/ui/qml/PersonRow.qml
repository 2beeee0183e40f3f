import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quarn.Ui

// One correspondent in the people list: initial, name, last contact,
// address, and how much is going on with them.
ItemDelegate {
    id: row

    required property int index
    required property string email
    required property string displayName
    required property var conversationCount
    required property var messageCount
    required property var lastMessageAt
    required property var needsYouCount
    required property var waitingCount

    readonly property var suffix: Presenter.activitySuffix(needsYouCount, waitingCount)

    objectName: "personRow_" + email
    topPadding: 8
    bottomPadding: 8
    leftPadding: 14
    rightPadding: 14
    Accessible.role: Accessible.ListItem
    Accessible.name: displayName + ", " + email
    Accessible.selected: highlighted

    // Selected and keyboard-current rows look as they do in the conversation list.
    background: Rectangle {
        color: row.highlighted ? QuarnStyle.tinted(QuarnStyle.accent, QuarnStyle.dark ? 0.35 : 0.12)
                               : row.hovered ? QuarnStyle.tinted(QuarnStyle.primary, 0.04) : "transparent"
        border.width: row.ListView.isCurrentItem && row.ListView.view.activeFocus ? 2 : 0
        border.color: QuarnStyle.accentText
    }

    contentItem: RowLayout {
        spacing: 10

        Rectangle {
            Layout.preferredWidth: 32
            Layout.preferredHeight: 32
            Layout.alignment: Qt.AlignTop
            radius: 16
            color: QuarnStyle.tinted(QuarnStyle.accent, 0.11)

            PlainLabel {
                objectName: "avatarInitial"
                anchors.centerIn: parent
                text: Presenter.avatarInitial(row.displayName)
                font.pixelSize: 12
                font.weight: Font.DemiBold
                color: QuarnStyle.accentText
            }
        }

        ColumnLayout {
            Layout.fillWidth: true
            spacing: 2

            RowLayout {
                Layout.fillWidth: true
                spacing: 6
                PlainLabel {
                    Layout.fillWidth: true
                    text: Presenter.isolated(row.displayName)
                    font.pixelSize: 13
                    font.weight: Font.DemiBold
                    color: QuarnStyle.primary
                    elide: Text.ElideRight
                    maximumLineCount: 1
                }
                PlainLabel {
                    text: Presenter.relativeTime(row.lastMessageAt, Presenter.now)
                    font.pixelSize: 10
                    color: QuarnStyle.tertiary
                }
            }
            PlainLabel {
                Layout.fillWidth: true
                text: Presenter.isolated(row.email)
                font.pixelSize: 11
                color: QuarnStyle.secondary
                elide: Text.ElideRight
            }
            RowLayout {
                Layout.fillWidth: true
                spacing: 0
                PlainLabel {
                    objectName: "activityLine"
                    text: Presenter.activityLine(row.conversationCount, row.messageCount)
                    font.pixelSize: 10
                    color: QuarnStyle.tertiary
                }
                PlainLabel {
                    objectName: "activitySuffix"
                    Layout.leftMargin: text === "" ? 0 : 6
                    Layout.fillWidth: true
                    text: row.suffix.text
                    font.pixelSize: 10
                    font.weight: row.suffix.warm ? Font.DemiBold : Font.Normal
                    color: row.suffix.warm ? QuarnStyle.warmText : QuarnStyle.tertiary
                    elide: Text.ElideRight
                }
            }
        }
    }
}
