import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quarn.Ui
import Quarn.Rules

// One message of the conversation: the viewer's own on the trailing side,
// others' on the leading side, each with its direction, sender, time and
// delivery state over the card.
Item {
    id: entry

    objectName: "timelineMessage_" + message.id

    // The message (the model's message map) and the viewer's id (or null).
    required property var message
    required property var viewerID

    // An address in the body the user chose to open.
    signal linkOpened(string link)

    readonly property bool own: ScreenRules.isOwnMessage(message.senderUserId, viewerID)
    readonly property bool failed: message.deliveryStatus === "failed"
    readonly property real columnWidth: Math.min(560, Math.max(0, width - 72))

    implicitHeight: column.implicitHeight

    Accessible.role: Accessible.ListItem
    Accessible.name: (own ? "送信" : "受信") + ", " + message.senderName + ", " + when.text + ", "
                     + (message.deliveryLabel !== "" ? message.deliveryLabel + ", " : "") + message.bodyText

    ColumnLayout {
        id: column

        objectName: "messageColumn"
        x: entry.own ? entry.width - width : 0
        width: entry.columnWidth
        spacing: 5

        RowLayout {
            // The viewer's own line sits over its card on the trailing side.
            Layout.fillWidth: !entry.own
            Layout.alignment: entry.own ? Qt.AlignRight : Qt.AlignLeft
            Layout.maximumWidth: entry.columnWidth
            spacing: 5
            Symbol {
                name: entry.own ? "paperplane.fill" : "envelope.open.fill"
                size: 12
                tint: QuarnStyle.secondary
            }
            PlainLabel {
                objectName: "direction"
                text: entry.own ? "送信" : "受信"
                font.pixelSize: QuarnStyle.captionSize
                color: QuarnStyle.secondary
            }
            PlainLabel {
                Layout.fillWidth: !entry.own
                Layout.maximumWidth: entry.columnWidth - 120
                text: Presenter.isolated(entry.message.senderName)
                font.pixelSize: QuarnStyle.captionSize
                color: QuarnStyle.secondary
                elide: Text.ElideRight
            }
            PlainLabel {
                id: when
                text: ScreenRules.relativeTime(entry.message.createdAt, ScreenRules.now)
                font.pixelSize: QuarnStyle.captionSize
                color: QuarnStyle.secondary
            }
        }
        PlainLabel {
            objectName: "deliveryLabel"
            Layout.alignment: entry.own ? Qt.AlignRight : Qt.AlignLeft
            visible: text !== ""
            text: entry.message.deliveryLabel
            font.pixelSize: QuarnStyle.captionSize
            color: entry.failed ? QuarnStyle.warmText : QuarnStyle.tinted(QuarnStyle.secondary, 0.6 * 0.65)
        }
        MessageCard {
            Layout.alignment: entry.own ? Qt.AlignRight : Qt.AlignLeft
            Layout.maximumWidth: entry.columnWidth
            bodyText: entry.message.bodyText
            own: entry.own
            onLinkOpened: link => entry.linkOpened(link)
        }
    }
}
