import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The short note after filing a conversation from the keyboard ("Doneに移動
// しました") with "元に戻す" while the change can be undone. It takes no
// focus and blocks nothing; the table lets it go after a few seconds.
Rectangle {
    id: note

    objectName: "undoNote"

    required property var commandTable

    visible: commandTable.note !== ""
    implicitWidth: row.implicitWidth + 28
    implicitHeight: row.implicitHeight + 16
    radius: 10
    color: QuarnStyle.dark ? Qt.lighter(QuarnStyle.canvas, 1.6) : QuarnStyle.ink
    border.width: 1
    border.color: QuarnStyle.tinted(QuarnStyle.primary, 0.12)
    Accessible.role: Accessible.AlertMessage
    Accessible.name: commandTable.note

    RowLayout {
        id: row

        anchors.centerIn: parent
        spacing: 14

        PlainLabel {
            objectName: "undoNoteText"
            text: note.commandTable.note
            color: "white"
            font.pixelSize: 13
        }
        Button {
            id: undoButton

            objectName: "undoButton"
            visible: note.commandTable.canUndo
            text: "元に戻す"
            flat: true
            focusPolicy: Qt.NoFocus
            palette.buttonText: "white"
            font.pixelSize: 13
            font.weight: Font.DemiBold
            Accessible.role: Accessible.Button
            Accessible.name: text + " (" + note.commandTable.command("undo").shortcutText + ")"
            onClicked: note.commandTable.undo()
        }
    }
}
