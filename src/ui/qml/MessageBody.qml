import QtQuick
import Quarn.Ui

// A message body as the sender wrote it: plain text, in which the http(s)://
// and mailto: addresses can be opened, by a click or with Enter while the
// text cursor is on one, and only then. The rich text for that is built in
// C++ from escaped pieces (Presenter.linkedBody); nothing the sender wrote is
// ever read as markup, and a body without an address stays plain text.
TextEdit {
    id: body

    property string bodyText

    // An address the user chose to open.
    signal linkOpened(string link)

    readonly property string linkedHtml: Presenter.linkedBody(bodyText)

    textFormat: linkedHtml !== "" ? TextEdit.RichText : TextEdit.PlainText
    text: linkedHtml !== "" ? linkedHtml : bodyText
    readOnly: true
    selectByMouse: true
    selectByKeyboard: true
    wrapMode: TextEdit.Wrap
    // A stop of the Tab chain that shows its text cursor: the text can be
    // selected with Shift and the arrows, and Enter opens the address under
    // the cursor.
    activeFocusOnTab: true
    cursorVisible: activeFocus

    onLinkActivated: link => body.linkOpened(link)

    Keys.onPressed: event => {
        if (event.key !== Qt.Key_Return && event.key !== Qt.Key_Enter) {
            event.accepted = false;
            return;
        }
        const r = body.cursorRectangle;
        const link = body.linkAt(r.x + 1, r.y + r.height / 2);
        if (link !== "")
            body.linkOpened(link);
        else
            event.accepted = false;
    }

    HoverHandler {
        cursorShape: body.hoveredLink !== "" ? Qt.PointingHandCursor : Qt.IBeamCursor
    }
}
