import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A centred placeholder for something on its way: what it is (a subject, a
// name; may be empty), a spinner with "読み込み中…", or, once its load has
// failed, the failure with a button to try again.
ColumnLayout {
    id: state

    // The item being loaded, shown as plain text (it may come from outside).
    property string title
    property string detail
    property bool failed: false
    property string failureText: "読み込めませんでした。"

    signal retryRequested

    spacing: 10

    PlainLabel {
        objectName: "loadingTitle"
        Layout.alignment: Qt.AlignHCenter
        Layout.maximumWidth: state.width
        visible: state.title !== ""
        text: state.title
        font.pixelSize: 16
        font.weight: Font.DemiBold
        color: QuarnStyle.primary
        elide: Text.ElideRight
        Accessible.role: Accessible.Heading
        Accessible.name: text
    }
    PlainLabel {
        objectName: "loadingDetail"
        Layout.alignment: Qt.AlignHCenter
        Layout.maximumWidth: state.width
        visible: state.detail !== ""
        text: state.detail
        font.pixelSize: QuarnStyle.captionSize
        color: QuarnStyle.secondary
        elide: Text.ElideRight
    }
    RowLayout {
        Layout.alignment: Qt.AlignHCenter
        visible: !state.failed
        spacing: 8

        BusyIndicator {
            objectName: "loadingSpinner"
            Layout.preferredWidth: 20
            Layout.preferredHeight: 20
            padding: 0
            running: !state.failed && state.visible
            Accessible.name: "読み込み中"
        }
        PlainLabel {
            objectName: "loadingLabel"
            text: "読み込み中…"
            color: QuarnStyle.secondary
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }
    }
    RowLayout {
        Layout.alignment: Qt.AlignHCenter
        visible: state.failed
        spacing: 6

        Symbol {
            name: "exclamationmark.triangle"
            size: 14
            tint: QuarnStyle.warmText
        }
        PlainLabel {
            objectName: "loadingFailure"
            text: state.failureText
            color: QuarnStyle.secondary
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }
    }
    Button {
        objectName: "loadingRetry"
        Layout.alignment: Qt.AlignHCenter
        visible: state.failed
        text: "再試行"
        Accessible.role: Accessible.Button
        Accessible.name: text
        onClicked: state.retryRequested()
    }
}
