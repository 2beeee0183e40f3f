import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Shown while there is no device token: the browser sign-in.
Item {
    id: setup

    objectName: "tokenSetupView"

    required property var appModel
    required property var commands
    required property string mailDomain

    ColumnLayout {
        anchors.centerIn: parent
        spacing: 14

        Symbol {
            Layout.alignment: Qt.AlignHCenter
            name: "envelope.badge.shield.half.filled"
            size: 48
        }
        Label {
            Layout.alignment: Qt.AlignHCenter
            text: "Quarn Mail"
            font.pixelSize: 22
            font.weight: Font.DemiBold
        }
        Label {
            Layout.alignment: Qt.AlignHCenter
            text: "このMacを " + setup.mailDomain + " に接続します"
            color: QuarnStyle.secondary
        }
        Button {
            objectName: "signInButton"
            Layout.alignment: Qt.AlignHCenter
            text: setup.appModel.isSigningIn ? "ブラウザで続行中…" : "Quarnアカウントを作成・ログイン"
            enabled: !setup.appModel.isSigningIn
            highlighted: true
            palette.highlight: QuarnStyle.ink
            onClicked: setup.appModel.operations.signInWithQuarn()
        }
        Label {
            Layout.alignment: Qt.AlignHCenter
            text: "Googleログインまたはメールリンクで続けます。パスワードはQuarn Mailに渡りません。"
            font.pixelSize: 11
            color: QuarnStyle.secondary
        }
    }
}
