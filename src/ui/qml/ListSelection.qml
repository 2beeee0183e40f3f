import QtQuick

// The keyboard side of a list whose current row is the model's selection
// (conversations, people, AI conversations): the current row follows the
// selection wherever it comes from (a click, a key, a reload, coming back to
// the lens), and the keys select through the window's command table, so a
// key opens a row as a click does. Declared inside the ListView, which
// forwards its keys here (Keys.forwardTo).
Item {
    id: selection

    required property ListView view
    // The selected row's identity (id or email), or null.
    required property var selectedKey
    required property var commandTable

    // Space / Shift+Space: read on (1) or back (-1) in what is shown beside the list.
    signal scrollRequested(int pages)
    signal enterPressed

    // The rows a page holds, less one that stays in sight.
    readonly property int pageRows: Math.max(1, Math.floor(view.height / Math.max(
        24, view.currentItem ? view.currentItem.height : 64)) - 1)

    function sync() {
        const row = selectedKey == null || view.model == null ? -1 : view.model.rowOf(selectedKey);
        if (view.currentIndex !== row)
            view.currentIndex = row;
    }
    onSelectedKeyChanged: {
        sync();
        if (view.currentIndex >= 0)
            view.positionViewAtIndex(view.currentIndex, ListView.Contain);
    }
    Component.onCompleted: {
        sync();
        if (view.currentIndex >= 0)
            view.positionViewAtIndex(view.currentIndex, ListView.Contain);
    }

    // A reload moves rows under the selection; the current row moves with it.
    Connections {
        target: selection.view.model
        ignoreUnknownSignals: true

        function onRowsInserted() {
            selection.sync();
        }
        function onRowsRemoved() {
            selection.sync();
        }
        function onRowsMoved() {
            selection.sync();
        }
        function onModelReset() {
            selection.sync();
        }
        function onLayoutChanged() {
            selection.sync();
        }
    }

    Keys.onPressed: event => {
        event.accepted = true;
        switch (event.key) {
        case Qt.Key_Down:
            selection.commandTable.moveSelection(1);
            break;
        case Qt.Key_Up:
            selection.commandTable.moveSelection(-1);
            break;
        case Qt.Key_Home:
            selection.commandTable.selectRow(0);
            break;
        case Qt.Key_End:
            selection.commandTable.selectRow(selection.view.count - 1);
            break;
        case Qt.Key_PageDown:
            selection.commandTable.moveSelection(selection.pageRows);
            break;
        case Qt.Key_PageUp:
            selection.commandTable.moveSelection(-selection.pageRows);
            break;
        case Qt.Key_Space:
            selection.scrollRequested((event.modifiers & Qt.ShiftModifier) ? -1 : 1);
            break;
        case Qt.Key_Return:
        case Qt.Key_Enter:
            selection.enterPressed();
            break;
        default:
            event.accepted = false;
        }
    }
}
