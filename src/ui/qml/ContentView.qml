import QtQuick

// The window's root: nothing but the canvas until start-up has read the token
// file (a moment), then the setup screens until there is a token and a
// mailbox, the workspace afterwards. The address setup is only for an account
// the service said has no mailbox: while the first load runs, or when the
// service could not be reached, the workspace shows (with its banner, and its
// refresh loop tries again).
Item {
    id: content

    required property var appModel
    required property var commands
    required property var commandTable
    required property string mailDomain

    // A command of the table that the shown screen carries out (search,
    // reply, the Orro sheets); only the workspace has any.
    function screenCommand(id) {
        if (screenLoader.item && screenLoader.item.screenCommand)
            screenLoader.item.screenCommand(id);
    }

    readonly property string screen: {
        if (!appModel.hasReadToken)
            return "starting";
        if (!appModel.isConfigured)
            return "tokenSetup";
        if (appModel.needsAddress)
            return "addressSetup";
        return "workspace";
    }

    Loader {
        id: screenLoader

        objectName: "screenLoader"
        anchors.fill: parent
        // Each screen puts the focus on its first control when it appears, so
        // typing and the arrow keys work without a click.
        focus: true
        onLoaded: item.takeFocus()
        sourceComponent: content.screen === "starting" ? null
                       : content.screen === "tokenSetup" ? tokenSetup
                       : content.screen === "addressSetup" ? addressSetup : workspace
    }

    Component {
        id: tokenSetup
        TokenSetupView {
            appModel: content.appModel
            commands: content.commands
            mailDomain: content.mailDomain
        }
    }
    Component {
        id: addressSetup
        AddressSetupView {
            appModel: content.appModel
            commands: content.commands
            mailDomain: content.mailDomain
        }
    }
    Component {
        id: workspace
        MailWorkspace {
            appModel: content.appModel
            commands: content.commands
            commandTable: content.commandTable
            mailDomain: content.mailDomain
        }
    }
}
