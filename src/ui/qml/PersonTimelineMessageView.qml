import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quarn.Ui

// One message of a person's timeline: the conversation it belongs to, who
// sent it and when, the text, and whom it went to. The viewer's own messages
// sit on the right.
Item {
    id: message

    required property string id
    required property string conversationId
    required property string subject
    required property string conversationStatus
    required property var senderUserId
    required property string bodyText
    required property string deliveryStatus
    required property string deliveryLabel
    required property var createdAt
    required property var recipients
    // The signed-in user's id (null when unknown).
    required property var viewerID

    readonly property string messageId: id
    readonly property bool outgoing: Presenter.isOutgoing(senderUserId, viewerID)
    readonly property var chips: Presenter.recipientChips(recipients)
    readonly property real widest: Math.max(subjectButton.implicitWidth, meta.implicitWidth,
        bodyEdit.implicitWidth + 30, chipRow.implicitWidth)

    signal openConversation
    // An address in the body the user chose to open.
    signal linkOpened(string link)

    objectName: "timelineMessage_" + id
    implicitHeight: column.implicitHeight + 18

    ColumnLayout {
        id: column

        objectName: "messageColumn"
        width: Math.max(72, Math.min(560, message.width, message.widest))
        anchors.right: message.outgoing ? parent.right : undefined
        anchors.left: message.outgoing ? undefined : parent.left
        spacing: 7

        AbstractButton {
            id: subjectButton

            objectName: "subjectButton"
            Layout.alignment: message.outgoing ? Qt.AlignRight : Qt.AlignLeft
            Layout.maximumWidth: column.width
            Accessible.role: Accessible.Button
            Accessible.name: message.subject + " · " + statusText.text
            onClicked: message.openConversation()

            contentItem: RowLayout {
                spacing: 5
                Symbol {
                    name: "text.bubble"
                    size: 13
                    opacity: 0.7
                }
                PlainLabel {
                    Layout.fillWidth: true
                    text: Presenter.isolated(message.subject)
                    font.pixelSize: 12
                    font.weight: Font.Medium
                    font.underline: subjectButton.hovered
                    color: QuarnStyle.primary
                    elide: Text.ElideRight
                    maximumLineCount: 1
                }
                PlainLabel {
                    id: statusText

                    objectName: "statusWording"
                    text: Presenter.statusWording(message.conversationStatus)
                    font.pixelSize: 11
                    color: QuarnStyle.tertiary
                }
            }
        }

        RowLayout {
            id: meta

            objectName: "metaLine"
            Layout.alignment: message.outgoing ? Qt.AlignRight : Qt.AlignLeft
            spacing: 5

            Symbol {
                name: message.outgoing ? "paperplane.fill" : "envelope.open.fill"
                size: 12
                opacity: 0.6
            }
            PlainLabel {
                objectName: "directionLabel"
                text: message.outgoing ? "送信" : "受信"
                font.pixelSize: 11
                color: QuarnStyle.secondary
            }
            PlainLabel {
                text: Presenter.relativeTime(message.createdAt, Presenter.now)
                font.pixelSize: 11
                color: QuarnStyle.secondary
            }
            PlainLabel {
                objectName: "deliveryLabel"
                visible: message.outgoing && text !== ""
                text: message.deliveryLabel
                font.pixelSize: 11
                color: message.deliveryStatus === "failed" ? QuarnStyle.warmText : QuarnStyle.tinted(QuarnStyle.secondary, 0.65 * QuarnStyle.secondary.a)
            }
        }

        Item {
            objectName: "bubble"
            Layout.fillWidth: true
            Layout.alignment: message.outgoing ? Qt.AlignRight : Qt.AlignLeft
            implicitHeight: bodyEdit.implicitHeight + 30

            // The fill is drawn opaque in one layer and faded as a whole, so
            // the square that gives one corner its small radius does not
            // darken where it overlaps.
            Item {
                anchors.fill: parent
                opacity: message.outgoing ? 0.11 : 0.055
                layer.enabled: true

                Rectangle {
                    anchors.fill: parent
                    radius: 14
                    color: message.outgoing ? QuarnStyle.accent : QuarnStyle.primary
                }
                Rectangle {
                    width: 14
                    height: 14
                    radius: 4
                    anchors.bottom: parent.bottom
                    anchors.right: message.outgoing ? parent.right : undefined
                    anchors.left: message.outgoing ? undefined : parent.left
                    color: message.outgoing ? QuarnStyle.accent : QuarnStyle.primary
                }
            }

            MessageBody {
                id: bodyEdit

                objectName: "bodyText"
                x: 15
                y: 15
                width: parent.width - 30
                bodyText: message.bodyText
                font.pixelSize: 13
                color: QuarnStyle.primary
                selectionColor: QuarnStyle.system.highlight
                selectedTextColor: QuarnStyle.system.highlightedText
                Accessible.role: Accessible.StaticText
                Accessible.name: message.bodyText
                onLinkOpened: link => message.linkOpened(link)
            }
        }

        RowLayout {
            id: chipRow

            objectName: "recipientChips"
            Layout.alignment: message.outgoing ? Qt.AlignRight : Qt.AlignLeft
            Layout.maximumWidth: column.width
            visible: message.chips.labels.length > 0
            spacing: 4

            Repeater {
                model: message.chips.labels

                Rectangle {
                    required property string modelData

                    objectName: "recipientChip"
                    Layout.maximumWidth: 150
                    Layout.fillWidth: true
                    implicitWidth: chipText.implicitWidth + 12
                    implicitHeight: chipText.implicitHeight + 6
                    radius: height / 2
                    color: QuarnStyle.tinted(QuarnStyle.primary, 0.045)

                    PlainLabel {
                        id: chipText

                        anchors.fill: parent
                        anchors.leftMargin: 6
                        anchors.rightMargin: 6
                        verticalAlignment: Text.AlignVCenter
                        text: Presenter.isolated(parent.modelData)
                        font.pixelSize: 9
                        color: QuarnStyle.secondary
                        elide: Text.ElideRight
                    }
                }
            }
            PlainLabel {
                objectName: "chipOverflow"
                visible: text !== ""
                text: message.chips.overflow
                font.pixelSize: 9
                color: QuarnStyle.tertiary
            }
        }
    }
}
