import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quarn.Rules

// The application's one window: its menus, the content and the error alert.
ApplicationWindow {
    id: window

    // Set by loadMainWindow (mainwindow.cpp).
    required property var appModel
    required property var commands
    required property var commandTable
    required property string mailDomain

    function command(id) {
        return commandTable.command(id);
    }

    width: 1240
    height: 780
    minimumWidth: 980
    minimumHeight: 640
    title: "Quarn Mail"
    color: QuarnStyle.canvas

    // The controls, menus and sheets take the desktop's colours as the
    // screens' own texts do, so a dark scheme reaches every popup too.
    palette.window: QuarnStyle.system.window
    palette.windowText: QuarnStyle.system.windowText
    palette.base: QuarnStyle.system.base
    palette.alternateBase: QuarnStyle.system.alternateBase
    palette.text: QuarnStyle.system.text
    palette.button: QuarnStyle.system.button
    palette.buttonText: QuarnStyle.system.buttonText
    palette.highlight: QuarnStyle.system.highlight
    palette.highlightedText: QuarnStyle.system.highlightedText
    palette.placeholderText: QuarnStyle.system.placeholderText
    palette.light: QuarnStyle.system.light
    palette.midlight: QuarnStyle.system.midlight
    palette.mid: QuarnStyle.system.mid
    palette.dark: QuarnStyle.system.dark
    palette.shadow: QuarnStyle.system.shadow

    menuBar: MenuBar {
        delegate: MenuBarItem {
            Accessible.role: Accessible.MenuItem
            Accessible.name: text
        }

        // Every item is a command of the table, which also feeds the palette
        // and the shortcut sheet.
        Menu {
            objectName: "fileMenu"
            title: "ファイル"

            CommandAction { command: window.command("newMessage") }
            CommandAction { command: window.command("refresh") }
            CommandAction { command: window.command("settings") }
            MenuSeparator {}
            CommandAction { command: window.command("palette") }
            CommandAction { command: window.command("shortcuts") }
            MenuSeparator {}
            CommandAction { command: window.command("quit") }
        }
        Menu {
            objectName: "conversationMenu"
            title: "Conversation"

            CommandAction { command: window.command("runAI") }
            MenuSeparator {}
            CommandAction { command: window.command("needsYou") }
            CommandAction { command: window.command("waiting") }
            CommandAction { command: window.command("done") }
            MenuSeparator {}
            CommandAction { command: window.command("fileNeedsYou") }
            CommandAction { command: window.command("fileWaiting") }
            CommandAction { command: window.command("fileInbox") }
            CommandAction { command: window.command("fileDone") }
            CommandAction { command: window.command("undo") }
            MenuSeparator {}
            CommandAction { command: window.command("reply") }
            CommandAction { command: window.command("useDraft") }
            CommandAction { command: window.command("todo") }
            CommandAction { command: window.command("event") }
            MenuSeparator {}
            CommandAction { command: window.command("renameAIConversation") }
            CommandAction { command: window.command("deleteAIConversation") }
        }
        Menu {
            objectName: "goMenu"
            title: "移動"

            CommandAction { command: window.command("show_needs_you") }
            CommandAction { command: window.command("show_ai_working") }
            CommandAction { command: window.command("show_waiting") }
            CommandAction { command: window.command("show_scheduled") }
            CommandAction { command: window.command("show_inbox") }
            CommandAction { command: window.command("show_done") }
            CommandAction { command: window.command("showPeople") }
            CommandAction { command: window.command("showAI") }
            MenuSeparator {}
            CommandAction { command: window.command("next") }
            CommandAction { command: window.command("previous") }
            CommandAction { command: window.command("search") }
        }
    }

    // A command's further keys (F5 beside Ctrl+R, / beside Ctrl+F...).
    Instantiator {
        model: window.commandTable.commands
        delegate: Shortcut {
            required property var modelData

            sequences: modelData.alternateShortcuts
            enabled: modelData.enabled && modelData.alternateShortcuts.length > 0
            onActivated: modelData.trigger()
        }
    }

    // The commands only the screens can carry out.
    Connections {
        target: window.commandTable

        function onScreenCommand(id) {
            switch (id) {
            case "settings":
                settingsWindow.present();
                break;
            case "quit":
                Qt.quit();
                break;
            case "palette":
                palette.open();
                break;
            case "shortcuts":
                shortcutSheet.open();
                break;
            default:
                content.screenCommand(id);
            }
        }
    }

    CommandPalette {
        id: palette

        commandTable: window.commandTable
    }

    ShortcutSheet {
        id: shortcutSheet

        commandTable: window.commandTable
    }

    ContentView {
        id: content

        anchors.fill: parent
        commandTable: window.commandTable
        appModel: window.appModel
        commands: window.commands
        mailDomain: window.mailDomain
    }

    // The settings window: a window of its own beside the main one, as desktop
    // applications keep their preferences. It does not see the model; its
    // controls take the same desktop colours as the main window's.
    ApplicationWindow {
        id: settingsWindow

        objectName: "settingsWindow"
        title: "設定"
        transientParent: window
        width: 520
        height: 290
        minimumWidth: 520
        minimumHeight: 290
        maximumWidth: 520
        maximumHeight: 290
        color: QuarnStyle.canvas
        palette: window.palette

        function present() {
            show();
            raise();
            requestActivate();
            settingsView.focusEditor();
        }
        // A closed window has nothing more to wait for.
        onVisibleChanged: if (!visible)
            MailSignature.saveNow()

        MailSettingsView {
            id: settingsView

            anchors.fill: parent
        }
    }

    // The compose window's "署名を設定" asks for the settings window.
    Connections {
        target: MailSignature

        function onEditorRequested() {
            settingsWindow.present();
        }
    }

    Dialog {
        id: errorAlert

        objectName: "errorAlert"
        title: "Quarn Mail"
        modal: true
        anchors.centerIn: parent
        width: Math.min(420, window.width - 80)
        closePolicy: Popup.CloseOnEscape

        PlainLabel {
            objectName: "errorText"
            width: errorAlert.availableWidth
            text: window.appModel.errorMessage ?? ""
            wrapMode: Text.WordWrap
        }

        footer: DialogButtonBox {
            Button {
                objectName: "closeErrorButton"
                text: "閉じる"
                DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
            }
        }

        // However the alert goes, the message goes with it.
        onClosed: window.commands.dismissError()
    }

    Connections {
        target: window.appModel

        function onErrorMessageChanged() {
            if (window.appModel.errorMessage != null)
                errorAlert.open();
            else
                errorAlert.close();
        }
    }
}
