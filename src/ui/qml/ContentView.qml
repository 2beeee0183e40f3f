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
    required property string mailDomain

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
        objectName: "screenLoader"
        anchors.fill: parent
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
            mailDomain: content.mailDomain
        }
    }
}
