import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// ? or F1: every key of the window, grouped, from the same command table as
// the menus and the palette, so the sheet cannot tell of keys that do not
// work. Escape or "閉じる" closes it.
Popup {
    id: sheet

    objectName: "shortcutSheet"

    required property var commandTable

    parent: Overlay.overlay
    modal: true
    focus: true
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside
    width: Math.min(720, parent.width - 80)
    height: Math.min(620, parent.height - 80)
    x: Math.round((parent.width - width) / 2)
    y: Math.round((parent.height - height) / 2)
    padding: 22

    onOpened: closeButton.forceActiveFocus()

    background: Rectangle {
        radius: 12
        color: QuarnStyle.controlBackground
        border.width: 1
        border.color: QuarnStyle.tinted(QuarnStyle.primary, 0.15)
    }

    contentItem: ColumnLayout {
        spacing: 12
        Accessible.role: Accessible.Dialog
        Accessible.name: "ショートカット一覧"

        RowLayout {
            Layout.fillWidth: true
            PlainLabel {
                Layout.fillWidth: true
                text: "ショートカット一覧"
                font.pixelSize: 18
                font.weight: Font.DemiBold
                Accessible.role: Accessible.Heading
                Accessible.name: text
            }
            Button {
                id: closeButton

                objectName: "shortcutSheetClose"
                text: "閉じる"
                flat: true
                Accessible.role: Accessible.Button
                Accessible.name: text
                onClicked: sheet.close()
            }
        }

        ScrollView {
            id: scroller

            Layout.fillWidth: true
            Layout.fillHeight: true
            contentWidth: availableWidth
            clip: true

            // Two columns of groups.
            GridLayout {
                width: scroller.availableWidth
                columns: 2
                columnSpacing: 28
                rowSpacing: 18

                Repeater {
                    model: sheet.visible ? sheet.commandTable.shortcutSheet() : []

                    delegate: ColumnLayout {
                        id: group

                        required property var modelData

                        Layout.fillWidth: true
                        Layout.preferredWidth: 1
                        Layout.alignment: Qt.AlignTop
                        spacing: 5

                        PlainLabel {
                            text: group.modelData.group
                            font.pixelSize: 12
                            font.weight: Font.DemiBold
                            color: QuarnStyle.secondary
                            Accessible.role: Accessible.Heading
                            Accessible.name: text
                        }
                        Repeater {
                            model: group.modelData.rows

                            delegate: RowLayout {
                                id: entry

                                required property var modelData

                                objectName: modelData.id !== "" ? "sheetRow_" + modelData.id : ""
                                Layout.fillWidth: true
                                spacing: 8
                                Accessible.role: Accessible.StaticText
                                Accessible.name: modelData.name + ", " + modelData.keys

                                PlainLabel {
                                    Layout.fillWidth: true
                                    text: entry.modelData.name
                                    font.pixelSize: 12
                                    elide: Text.ElideRight
                                }
                                PlainLabel {
                                    text: entry.modelData.keys
                                    font.pixelSize: 12
                                    font.family: "monospace"
                                    color: QuarnStyle.accentText
                                }
                            }
                        }
                    }
                }
            }
        }
    }
}
