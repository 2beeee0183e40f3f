import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The selected conversation: header, AI summary and messages.
Item {
    id: pane

    objectName: "conversationPane"

    required property var appModel
    required property var commands

    readonly property var detail: appModel.detail

    EmptyState {
        anchors.centerIn: parent
        visible: pane.detail == null
        symbol: "rectangle.and.text.magnifyingglass"
        title: "Conversationを選択"
        description: "メールとQuarnチャットを、次の一手で整理します。"
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 22
        visible: pane.detail != null
        spacing: 10

        Label {
            objectName: "detailSubject"
            Layout.fillWidth: true
            text: pane.detail?.subject ?? ""
            font.pixelSize: 16
            font.weight: Font.DemiBold
            elide: Text.ElideRight
        }
        Label {
            Layout.fillWidth: true
            text: (pane.detail?.participantName ?? "") + " · " + (pane.detail?.participantAddress ?? "")
            font.pixelSize: 11
            color: QuarnStyle.secondary
        }
        Frame {
            Layout.fillWidth: true
            visible: pane.detail?.aiSummary != null
            background: Rectangle {
                radius: 8
                color: Qt.rgba(QuarnStyle.accent.r, QuarnStyle.accent.g, QuarnStyle.accent.b, 0.08)
            }
            RowLayout {
                anchors.fill: parent
                spacing: 12
                Symbol {
                    Layout.alignment: Qt.AlignTop
                    name: "sparkles"
                }
                Label {
                    Layout.fillWidth: true
                    text: pane.detail?.aiSummary ?? ""
                    wrapMode: Text.WordWrap
                }
            }
        }
        ListView {
            id: messages

            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            spacing: 12
            model: pane.detail?.messages ?? []
            ScrollBar.vertical: ScrollBar {}

            delegate: Frame {
                required property var modelData

                width: messages.width - 12
                ColumnLayout {
                    width: parent.width
                    Label {
                        text: modelData.senderName + "  " + new Date(modelData.createdAt).toLocaleString(Qt.locale("ja_JP"), Locale.ShortFormat)
                        font.pixelSize: 11
                        color: QuarnStyle.secondary
                    }
                    Label {
                        Layout.fillWidth: true
                        text: modelData.bodyText
                        wrapMode: Text.WordWrap
                    }
                }
            }
        }
    }
}
