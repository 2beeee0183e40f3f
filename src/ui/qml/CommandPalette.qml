import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Ctrl+K: every command of the window's table, then the people and the
// conversations of the loaded lists, narrowed by what is typed (case
// ignored, anywhere in the name). Up and Down choose, Enter runs, Escape
// closes. A command that cannot run now is listed greyed with the reason.
Popup {
    id: palette

    objectName: "commandPalette"

    required property var commandTable

    // The rows for the text typed (CommandTable.paletteEntries).
    property var entries: []

    function refilter() {
        entries = commandTable.paletteEntries(field.text);
        list.currentIndex = entries.length > 0 ? 0 : -1;
    }
    function run(index) {
        const entry = entries[index];
        if (entry === undefined || !entry.enabled)
            return;
        close();
        // Once the palette is gone, so that a command that moves the focus
        // (the search field, the reply box) keeps it.
        Qt.callLater(() => palette.commandTable.trigger(entry.id));
    }

    parent: Overlay.overlay
    modal: true
    focus: true
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside
    width: Math.min(560, parent.width - 80)
    height: Math.min(460, parent.height - 120)
    x: Math.round((parent.width - width) / 2)
    y: 72
    padding: 0

    onAboutToShow: {
        field.text = "";
        refilter();
    }
    onOpened: field.forceActiveFocus()

    background: Rectangle {
        radius: 12
        color: QuarnStyle.controlBackground
        border.width: 1
        border.color: QuarnStyle.tinted(QuarnStyle.primary, 0.15)
    }

    contentItem: ColumnLayout {
        spacing: 0
        Accessible.role: Accessible.Dialog
        Accessible.name: "コマンドパレット"

        TextField {
            id: field

            objectName: "paletteField"
            Layout.fillWidth: true
            Layout.margins: 12
            placeholderText: "コマンド、人、件名を入力"
            font.pixelSize: 15
            Accessible.role: Accessible.EditableText
            Accessible.name: "コマンドを検索"
            onTextEdited: palette.refilter()
            Keys.onDownPressed: list.incrementCurrentIndex()
            Keys.onUpPressed: list.decrementCurrentIndex()
            Keys.onReturnPressed: palette.run(list.currentIndex)
            Keys.onEnterPressed: palette.run(list.currentIndex)
        }
        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 1
            color: QuarnStyle.tinted(QuarnStyle.primary, 0.1)
        }
        PlainLabel {
            objectName: "paletteEmpty"
            Layout.fillWidth: true
            Layout.margins: 16
            visible: palette.entries.length === 0
            text: "見つかりません"
            color: QuarnStyle.secondary
            horizontalAlignment: Text.AlignHCenter
        }
        ListView {
            id: list

            objectName: "paletteList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            model: palette.entries
            highlightMoveDuration: 0
            ScrollBar.vertical: ScrollBar {}
            Accessible.role: Accessible.List
            Accessible.name: "コマンド"

            delegate: ItemDelegate {
                id: row

                required property var modelData
                required property int index

                objectName: "paletteRow_" + modelData.id
                width: list.width
                enabled: modelData.enabled
                highlighted: ListView.isCurrentItem
                focusPolicy: Qt.NoFocus
                leftPadding: 16
                rightPadding: 16
                topPadding: 7
                bottomPadding: 7
                // A screen reader hears the name, the keys and, for a command
                // that cannot run, that it cannot and why.
                Accessible.role: Accessible.ListItem
                Accessible.name: modelData.name + (modelData.shortcut !== "" ? ", " + modelData.shortcut : "")
                                 + (modelData.enabled ? "" : ", 使用できません")
                Accessible.description: modelData.reason
                Accessible.selected: highlighted
                onClicked: palette.run(index)

                background: Rectangle {
                    color: row.highlighted ? QuarnStyle.tinted(QuarnStyle.accent, QuarnStyle.dark ? 0.35 : 0.12)
                                           : "transparent"
                }
                contentItem: RowLayout {
                    spacing: 10
                    opacity: row.modelData.enabled ? 1 : 0.5
                    PlainLabel {
                        text: row.modelData.group
                        textFormat: Text.PlainText
                        font.pixelSize: QuarnStyle.captionSize
                        color: QuarnStyle.tertiary
                        Layout.preferredWidth: 84
                        elide: Text.ElideRight
                    }
                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 1
                        PlainLabel {
                            objectName: "paletteRowName"
                            Layout.fillWidth: true
                            text: row.modelData.name
                            textFormat: Text.PlainText
                            font.pixelSize: 13
                            elide: Text.ElideRight
                        }
                        PlainLabel {
                            objectName: "paletteRowReason"
                            Layout.fillWidth: true
                            visible: !row.modelData.enabled
                            text: row.modelData.reason
                            textFormat: Text.PlainText
                            font.pixelSize: QuarnStyle.captionSize
                            color: QuarnStyle.warmText
                            elide: Text.ElideRight
                        }
                    }
                    PlainLabel {
                        objectName: "paletteRowShortcut"
                        text: row.modelData.shortcut
                        textFormat: Text.PlainText
                        font.pixelSize: QuarnStyle.captionSize
                        color: QuarnStyle.secondary
                        Layout.maximumWidth: 200
                        elide: Text.ElideRight
                    }
                }
            }
        }
    }
}
