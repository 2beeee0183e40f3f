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
    required property string mailDomain

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

        Menu {
            objectName: "fileMenu"
            title: "ファイル"

            Action {
                objectName: "newMessageAction"
                text: "新規メッセージ"
                shortcut: "Ctrl+N"
                onTriggered: window.commands.newMessage()
            }
            Action {
                objectName: "settingsAction"
                text: "設定…"
                shortcut: "Ctrl+,"
                onTriggered: settingsWindow.present()
            }
            MenuSeparator {}
            Action {
                text: "終了"
                shortcut: StandardKey.Quit
                onTriggered: Qt.quit()
            }
        }
        Menu {
            objectName: "conversationMenu"
            title: "Conversation"

            Action {
                objectName: "runAIAction"
                text: "AIで整理"
                shortcut: "Shift+Ctrl+K"
                enabled: window.commands.canRunAI
                onTriggered: window.commands.runAI()
            }
            MenuSeparator {}
            Action {
                objectName: "needsYouAction"
                text: "Needs you"
                onTriggered: window.commands.setStatus("needs_you")
            }
            Action {
                objectName: "waitingAction"
                text: "Waiting"
                onTriggered: window.commands.setStatus("waiting")
            }
            Action {
                objectName: "doneAction"
                text: "Done"
                onTriggered: window.commands.setStatus("done")
            }
        }
    }

    ContentView {
        anchors.fill: parent
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
        }

        MailSettingsView {
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
