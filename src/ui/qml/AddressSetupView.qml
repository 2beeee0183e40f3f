import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quarn.Rules

// Shown while the signed-in account has no mailbox: claiming an address.
// The fields start empty every time the screen appears and go with it.
Rectangle {
    id: setup

    objectName: "addressSetupView"

    required property var appModel
    required property var commands
    required property string mailDomain

    color: QuarnStyle.canvas

    function takeFocus() {
        localPart.forceActiveFocus();
    }

    ColumnLayout {
        anchors.centerIn: parent
        spacing: 18

        Symbol {
            Layout.alignment: Qt.AlignHCenter
            name: "at"
            size: 40
        }
        ColumnLayout {
            Layout.alignment: Qt.AlignHCenter
            spacing: 6
            PlainLabel {
                Layout.alignment: Qt.AlignHCenter
                text: "Quarnアドレスを作る"
                font.pixelSize: 20
                font.weight: Font.DemiBold
            }
            PlainLabel {
                Layout.alignment: Qt.AlignHCenter
                text: "このアドレスがQuarnアカウント名になります。"
                color: QuarnStyle.secondary
            }
        }
        RowLayout {
            Layout.alignment: Qt.AlignHCenter
            Layout.preferredWidth: 380
            Layout.maximumWidth: 380
            spacing: 6
            TextField {
                id: localPart

                objectName: "localPartField"
                Layout.fillWidth: true
                placeholderText: "yourname"
                Accessible.role: Accessible.EditableText
                Accessible.name: "アドレス"
            }
            PlainLabel {
                objectName: "mailDomainLabel"
                Layout.maximumWidth: 220
                text: "@" + setup.mailDomain
                elide: Text.ElideMiddle
            }
        }
        TextField {
            id: displayName

            objectName: "displayNameField"
            Layout.alignment: Qt.AlignHCenter
            Layout.preferredWidth: 380
            placeholderText: "表示名"
            Accessible.role: Accessible.EditableText
            Accessible.name: "表示名"
        }
        InkButton {
            objectName: "claimButton"
            Layout.alignment: Qt.AlignHCenter
            text: setup.appModel.isClaimingAddress ? "作成中…" : "このアドレスで始める"
            enabled: SetupRules.canClaimAddress(localPart.text, displayName.text, setup.appModel.isClaimingAddress)
            font.pixelSize: 15
            topPadding: 10
            bottomPadding: 10
            leftPadding: 22
            rightPadding: 22
            // The texts go as typed; trimming only decides the button.
            onClicked: setup.appModel.operations.claimAddress(localPart.text, displayName.text)
        }
        PlainLabel {
            Layout.alignment: Qt.AlignHCenter
            text: "同じアカウントで、ほかのQuarn製品にもログインできます。"
            font.pixelSize: 11
            color: QuarnStyle.tertiary
        }
    }
}
