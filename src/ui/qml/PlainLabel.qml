import QtQuick
import QtQuick.Controls

// Every text label of the screens, and always plain text. Names, subjects,
// previews, AI answers and error texts come from outside the program: a label
// that read them as markup would let any sender restyle a row, forge a header
// or make the screens fetch a remote image when the mail is shown. Constant
// texts use it too, so that no screen has a second kind of label to copy.
Label {
    textFormat: Text.PlainText
}
