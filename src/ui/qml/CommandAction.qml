import QtQuick
import QtQuick.Controls

// A menu item for one command of the window's command table: the name, the
// first key and the enabled state are the command's, and choosing the item
// runs it. Further keys of the command are bound by the main window.
Action {
    required property var command

    objectName: command.id + "Action"
    text: command.name
    shortcut: command.shortcut
    enabled: command.enabled
    onTriggered: command.trigger()
}
