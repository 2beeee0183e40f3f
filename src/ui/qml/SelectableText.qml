import QtQuick

// Text from outside that the user may select and copy (an AI summary, a chat
// bubble): read-only and plain, never markup.
TextEdit {
    textFormat: TextEdit.PlainText
    readOnly: true
    selectByMouse: true
    wrapMode: TextEdit.Wrap
}
