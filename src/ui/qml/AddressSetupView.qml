import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Shown while the account has no mailbox: claiming an address.
Item {
    id: setup

    objectName: "addressSetupView"

    required property var appModel
    required property var commands
    required property string mailDomain

    ColumnLayout {
        anchors.centerIn: parent
        spacing: 12

        Symbol {
            Layout.alignment: Qt.AlignHCenter
            name: "at"
            size: 40
        }
        Label {
            Layout.alignment: Qt.AlignHCenter
            text: "Quarnアドレスを作る"
            font.pixelSize: 20
            font.weight: Font.DemiBold
        }
        Label {
            Layout.alignment: Qt.AlignHCenter
            text: "このアドレスがQuarnアカウント名になります。"
            color: QuarnStyle.secondary
        }
        RowLayout {
            Layout.preferredWidth: 380
            TextField {
                id: localPart
                Layout.fillWidth: true
                placeholderText: "yourname"
            }
            Label {
                text: "@" + setup.mailDomain
            }
        }
        TextField {
            id: displayName
            Layout.preferredWidth: 380
            placeholderText: "表示名"
        }
        Button {
            Layout.alignment: Qt.AlignHCenter
            text: setup.appModel.isClaimingAddress ? "作成中…" : "このアドレスで始める"
            enabled: !setup.appModel.isClaimingAddress && localPart.text.trim() !== ""
                     && displayName.text.trim() !== ""
            highlighted: true
            palette.highlight: QuarnStyle.ink
            onClicked: setup.appModel.operations.claimAddress(localPart.text, displayName.text)
        }
        Label {
            Layout.alignment: Qt.AlignHCenter
            text: "同じアカウントで、ほかのQuarn製品にもログインできます。"
            font.pixelSize: 11
            color: QuarnStyle.secondary
        }
    }
}
