import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The messages exchanged with the selected person.
Item {
    id: pane

    objectName: "personTimelinePane"

    required property var appModel

    EmptyState {
        anchors.centerIn: parent
        visible: pane.appModel.personTimeline == null
        symbol: "person.2"
        title: "People"
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 22
        visible: pane.appModel.personTimeline != null

        Label {
            text: pane.appModel.personTimeline?.person.displayName ?? ""
            font.pixelSize: 16
            font.weight: Font.DemiBold
        }
        ListView {
            id: messages

            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            spacing: 10
            model: pane.appModel.filteredPersonMessages
            ScrollBar.vertical: ScrollBar {}

            delegate: Frame {
                required property string subject
                required property string senderName
                required property string bodyText

                width: messages.width - 12
                ColumnLayout {
                    width: parent.width
                    Label {
                        text: senderName + " · " + subject
                        font.pixelSize: 11
                        color: QuarnStyle.secondary
                    }
                    Label {
                        Layout.fillWidth: true
                        text: bodyText
                        wrapMode: Text.WordWrap
                    }
                }
            }
        }
    }
}
