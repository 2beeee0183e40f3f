import QtQuick
import QtQuick.Controls

// A text field of several lines that holds plain text only, whatever is typed,
// pasted or prefilled from a message.
TextArea {
    textFormat: TextEdit.PlainText
}
