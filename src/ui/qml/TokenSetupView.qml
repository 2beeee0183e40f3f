import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Shown while there is no usable device token: the browser sign-in. There is
// no field for a token: one arrives through the browser or the provisioning
// mode.
Rectangle {
    id: setup

    objectName: "tokenSetupView"

    required property var appModel
    required property var commands
    required property string mailDomain

    // The sign-in button is the screen's one control.
    function takeFocus() {
        signIn.forceActiveFocus();
    }

    color: QuarnStyle.canvas

    ColumnLayout {
        anchors.centerIn: parent
        width: Math.min(implicitWidth, parent.width - 40)
        spacing: 18

        Symbol {
            Layout.alignment: Qt.AlignHCenter
            name: "envelope.badge.shield.half.filled"
            size: 40
            tint: QuarnStyle.accent
        }
        PlainLabel {
            Layout.alignment: Qt.AlignHCenter
            text: "Quarn Mail"
            font.pixelSize: 22
            font.weight: Font.DemiBold
        }
        PlainLabel {
            objectName: "tokenSetupSubtitle"
            Layout.alignment: Qt.AlignHCenter
            Layout.maximumWidth: setup.width - 40
            // "このMac" on the desktop the product began on; this is a PC.
            text: "このPCを " + setup.mailDomain + " に接続します"
            font.pixelSize: 12
            color: QuarnStyle.secondary
            elide: Text.ElideMiddle
        }
        RowLayout {
            Layout.alignment: Qt.AlignHCenter
            spacing: 10

            InkButton {
                id: signIn

                objectName: "signInButton"
                text: setup.appModel.isSigningIn ? "ブラウザで続行中…" : "Quarnアカウントを作成・ログイン"
                enabled: !setup.appModel.isSigningIn
                font.pixelSize: 15
                topPadding: 10
                bottomPadding: 10
                leftPadding: 22
                rightPadding: 22
                onClicked: setup.appModel.operations.signInWithQuarn()
            }
            // A sign-in abandoned in the browser would otherwise hold the
            // screen until a restart.
            Button {
                objectName: "cancelSignInButton"
                visible: setup.appModel.isSigningIn
                text: "キャンセル"
                font.pixelSize: 13
                Accessible.role: Accessible.Button
                Accessible.name: text
                onClicked: setup.appModel.operations.cancelSignIn()
            }
        }
        PlainLabel {
            Layout.alignment: Qt.AlignHCenter
            Layout.maximumWidth: setup.width - 40
            text: "Googleログインまたはメールリンクで続けます。パスワードはQuarn Mailに渡りません。"
            font.pixelSize: 11
            color: QuarnStyle.secondary
            wrapMode: Text.Wrap
            horizontalAlignment: Text.AlignHCenter
        }
    }
}
