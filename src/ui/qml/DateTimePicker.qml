import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A compact date-and-time field: it shows the chosen day and time ("2026/12/10
// 10:05", local time) and opens a calendar with hour and minute wheels below
// it. Minutes are the finest step; seconds of a chosen value are dropped.
//
// Interface
//   value         (real)   the time shown, in milliseconds since 1970-01-01 UTC.
//                          A JavaScript Date converts with `date.getTime()`.
//   minimumValue  (real)   the earliest time the user can pick, in the same
//                          unit; NaN (the default) means no limit. Days wholly
//                          before it are greyed out, and a pick earlier than
//                          it becomes the first whole minute not before it.
//   accessibleName (string) what a screen reader calls the field ("日時").
//   popupOpen     (bool)   whether the calendar is open (read only);
//                          openPicker() and closePicker() open and close it.
//   edited(real value)     the user picked `value`, already kept at or after
//                          the minimum.
//
// The picker never writes `value` itself, so a binding on it stays intact:
// the owner writes the picked value back where it keeps it, e.g.
//     DateTimePicker { value: form.when; onEdited: value => form.when = value }
//
// Keyboard: Space or Return on the field opens the calendar; in the calendar
// the arrow keys move the day (Left/Right one day, Up/Down one week),
// Page Up/Page Down the month, Tab reaches the hour and minute wheels (Up and
// Down turn them), Return or Escape closes it.
Item {
    id: picker

    property real value: Date.now()
    property real minimumValue: NaN
    property string accessibleName: "日時"
    readonly property alias popupOpen: popup.opened

    signal edited(real value)

    function openPicker() {
        popup.open();
    }
    function closePicker() {
        popup.close();
    }

    // The value the user's pick turns into: the minimum at least, whole
    // minutes (a minimum with seconds is pushed up to its next minute).
    function clamped(ms) {
        if (!isNaN(minimumValue) && ms < minimumValue)
            return Math.ceil(minimumValue / 60000) * 60000;
        return ms;
    }
    function pick(year, month, day, hour, minute) {
        const chosen = new Date(year, month, day, hour, minute, 0, 0).getTime();
        const result = clamped(chosen);
        if (result !== value)
            picker.edited(result);
    }
    function startOfDay(ms) {
        const d = new Date(ms);
        return new Date(d.getFullYear(), d.getMonth(), d.getDate()).getTime();
    }

    readonly property date shownDate: new Date(value)

    // The calendar pages to the month of a new value.
    onValueChanged: {
        const d = new Date(value);
        popup.showMonth(d.getFullYear(), d.getMonth());
    }

    implicitWidth: field.implicitWidth
    implicitHeight: field.implicitHeight

    Button {
        id: field

        objectName: "dateTimePickerField"
        anchors.fill: parent
        text: Qt.formatDateTime(picker.shownDate, "yyyy/MM/dd HH:mm")
        icon.source: QuarnStyle.symbol("calendar")
        display: AbstractButton.TextBesideIcon
        Accessible.role: Accessible.ComboBox
        Accessible.name: picker.accessibleName + " " + text
        onClicked: popup.opened ? popup.close() : popup.open()
    }

    Popup {
        id: popup

        objectName: "dateTimePickerPopup"
        y: field.height + 4
        padding: 10
        focus: true
        closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutsideParent

        // The month on show, which paging changes without changing the value.
        property int shownYear: picker.shownDate.getFullYear()
        property int shownMonth: picker.shownDate.getMonth()

        function showMonth(year, month) {
            const first = new Date(year, month, 1);
            shownYear = first.getFullYear();
            shownMonth = first.getMonth();
        }
        function moveDays(days) {
            const d = picker.shownDate;
            const moved = new Date(d.getFullYear(), d.getMonth(), d.getDate() + days, d.getHours(), d.getMinutes());
            picker.pick(moved.getFullYear(), moved.getMonth(), moved.getDate(), moved.getHours(), moved.getMinutes());
        }

        onAboutToShow: {
            // Below the field, or above it when the window has no room below.
            const below = picker.mapToItem(null, 0, field.height + 4).y;
            y = below + implicitHeight + 8 <= picker.Window.height ? field.height + 4 : -implicitHeight - 4;
            showMonth(picker.shownDate.getFullYear(), picker.shownDate.getMonth());
            grid.forceActiveFocus();
        }

        contentItem: RowLayout {
            spacing: 12

            ColumnLayout {
                spacing: 4

                RowLayout {
                    Layout.fillWidth: true
                    ToolButton {
                        objectName: "previousMonthButton"
                        text: "‹"
                        Accessible.role: Accessible.Button
                        Accessible.name: "前の月"
                        onClicked: popup.showMonth(popup.shownYear, popup.shownMonth - 1)
                    }
                    PlainLabel {
                        objectName: "shownMonthLabel"
                        Layout.fillWidth: true
                        horizontalAlignment: Text.AlignHCenter
                        text: popup.shownYear + "年" + (popup.shownMonth + 1) + "月"
                        font.weight: Font.DemiBold
                    }
                    ToolButton {
                        objectName: "nextMonthButton"
                        text: "›"
                        Accessible.role: Accessible.Button
                        Accessible.name: "次の月"
                        onClicked: popup.showMonth(popup.shownYear, popup.shownMonth + 1)
                    }
                }

                DayOfWeekRow {
                    Layout.fillWidth: true
                    locale: grid.locale
                    delegate: PlainLabel {
                        required property string shortName
                        text: shortName
                        horizontalAlignment: Text.AlignHCenter
                        color: QuarnStyle.secondary
                        font.pixelSize: 11
                    }
                }

                MonthGrid {
                    id: grid

                    objectName: "dateTimePickerGrid"
                    Layout.fillWidth: true
                    implicitWidth: 7 * 32
                    year: popup.shownYear
                    month: popup.shownMonth
                    locale: Qt.locale("ja_JP")
                    focus: true
                    Accessible.role: Accessible.Table
                    Accessible.name: picker.accessibleName + " " + popup.shownYear + "年" + (popup.shownMonth + 1) + "月"

                    delegate: PlainLabel {
                        id: day

                        required property var model
                        // From the parts, not model.date: a QDate reaches
                        // JavaScript as midnight UTC, another day in some zones.
                        readonly property real start: new Date(model.year, model.month, model.day).getTime()
                        readonly property bool inMonth: model.month === grid.month
                        readonly property bool beforeMinimum: !isNaN(picker.minimumValue)
                                                              && start < picker.startOfDay(picker.minimumValue)
                        readonly property bool selected: model.year === picker.shownDate.getFullYear()
                                                         && model.month === picker.shownDate.getMonth()
                                                         && model.day === picker.shownDate.getDate()

                        text: model.day
                        horizontalAlignment: Text.AlignHCenter
                        verticalAlignment: Text.AlignVCenter
                        height: 26
                        opacity: !inMonth || beforeMinimum ? 0.35 : 1
                        color: selected ? "white" : QuarnStyle.primary
                        Accessible.role: Accessible.Cell
                        Accessible.name: model.year + "年" + (model.month + 1) + "月" + model.day + "日"
                        background: Rectangle {
                            radius: 13
                            color: day.selected ? QuarnStyle.accent : "transparent"
                        }

                        TapHandler {
                            enabled: !day.beforeMinimum
                            onTapped: {
                                const d = picker.shownDate;
                                picker.pick(day.model.year, day.model.month, day.model.day, d.getHours(),
                                            d.getMinutes());
                            }
                        }
                    }

                    Keys.onPressed: event => {
                        switch (event.key) {
                        case Qt.Key_Left:
                            popup.moveDays(-1);
                            break;
                        case Qt.Key_Right:
                            popup.moveDays(1);
                            break;
                        case Qt.Key_Up:
                            popup.moveDays(-7);
                            break;
                        case Qt.Key_Down:
                            popup.moveDays(7);
                            break;
                        case Qt.Key_PageUp:
                            popup.showMonth(popup.shownYear, popup.shownMonth - 1);
                            break;
                        case Qt.Key_PageDown:
                            popup.showMonth(popup.shownYear, popup.shownMonth + 1);
                            break;
                        case Qt.Key_Return:
                        case Qt.Key_Enter:
                            popup.close();
                            break;
                        default:
                            return;
                        }
                        event.accepted = true;
                    }
                }
            }

            RowLayout {
                Layout.alignment: Qt.AlignVCenter
                spacing: 2

                TimeWheel {
                    id: hours
                    objectName: "hourTumbler"
                    steps: 24
                    current: picker.shownDate.getHours()
                    Accessible.name: picker.accessibleName + " 時"
                    onTurned: index => {
                        const d = picker.shownDate;
                        picker.pick(d.getFullYear(), d.getMonth(), d.getDate(), index, d.getMinutes());
                    }
                }
                PlainLabel {
                    text: ":"
                    font.weight: Font.DemiBold
                }
                TimeWheel {
                    id: minutes
                    objectName: "minuteTumbler"
                    steps: 60
                    current: picker.shownDate.getMinutes()
                    Accessible.name: picker.accessibleName + " 分"
                    onTurned: index => {
                        const d = picker.shownDate;
                        picker.pick(d.getFullYear(), d.getMonth(), d.getDate(), d.getHours(), index);
                    }
                }
            }
        }
    }

    // A wheel of two-digit numbers. `current` follows the value; a turn by
    // the user is reported once the wheel has come to rest, and the wheel
    // then shows whatever the owner made of it (perhaps the minimum).
    component TimeWheel: Tumbler {
        id: wheel

        property int steps: 0
        property int current: 0
        property bool settling: false

        signal turned(int index)

        model: steps
        visibleItemCount: 3
        wrap: true
        implicitWidth: 44
        implicitHeight: 96
        focus: true
        activeFocusOnTab: true
        Accessible.role: Accessible.SpinBox

        function follow() {
            settling = true;
            currentIndex = current;
            settling = false;
        }
        onCurrentChanged: follow()
        Component.onCompleted: follow()
        onCurrentIndexChanged: {
            if (!settling && !moving && currentIndex !== current)
                turned(currentIndex);
        }
        onMovingChanged: {
            if (!moving && currentIndex !== current)
                turned(currentIndex);
        }

        // Spelled out as a Component: inside an inline component the implicit
        // wrapping of a delegate fails.
        delegate: Component {
            PlainLabel {
                required property int index
                text: index < 10 ? "0" + index : index
                horizontalAlignment: Text.AlignHCenter
                verticalAlignment: Text.AlignVCenter
                font.pixelSize: 14
                font.weight: Tumbler.displacement === 0 ? Font.DemiBold : Font.Normal
                opacity: 1.0 - Math.abs(Tumbler.displacement) / 2
            }
        }
        Keys.onPressed: event => {
            if (event.key === Qt.Key_Return || event.key === Qt.Key_Enter) {
                popup.close();
                event.accepted = true;
            }
        }
    }
}
