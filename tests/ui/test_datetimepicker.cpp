// The shared date-and-time picker on its own: opened and worked with the
// keyboard and the mouse as a user would, its value written back by its
// owner, and the earliest time kept.

#include "ui/mainwindow.h"
#include "ui/symbols.h"

#include <QDateTime>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

qint64 local(int y, int mo, int d, int h, int mi, int s = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s)).toMSecsSinceEpoch();
}

/// A window holding one picker whose value its owner keeps, as a form does.
const char *const kScene = R"(
import QtQuick
import Quarn.Ui
Window {
    width: 600; height: 420; visible: true
    property real kept: 0
    property real earliest: NaN
    property alias picker: picker
    DateTimePicker {
        id: picker
        objectName: "picker"
        x: 10; y: 10
        accessibleName: "送信日時"
        value: kept
        minimumValue: earliest
        onEdited: v => kept = v
    }
}
)";

QQuickItem *findItem(QQuickItem *item, const QString &name)
{
    if (!item)
        return nullptr;
    if (item->objectName() == name)
        return item;
    for (QQuickItem *child : item->childItems()) {
        if (QQuickItem *found = findItem(child, name))
            return found;
    }
    return nullptr;
}

void collect(QQuickItem *item, QList<QQuickItem *> &into)
{
    for (QQuickItem *child : item->childItems()) {
        into.append(child);
        collect(child, into);
    }
}

} // namespace

class TestDateTimePicker : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QQuickStyle::setStyle(u"Fusion"_s);
        quarn::ui::ensureIconTheme();
        m_engine.addImportPath(u"qrc:/qt/qml"_s);
        m_engine.addImageProvider(u"symbol"_s, new quarn::ui::SymbolImageProvider);
    }

    void init()
    {
        QQmlComponent component(&m_engine);
        component.setData(kScene, QUrl(u"memory:/scene.qml"_s));
        QTRY_VERIFY(!component.isLoading());
        m_window.reset(qobject_cast<QQuickWindow *>(component.create()));
        QVERIFY2(m_window, qPrintable(component.errorString()));
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        m_picker = m_window->property("picker").value<QQuickItem *>();
        QVERIFY(m_picker);
    }

    void cleanup() { m_window.reset(); }

    void keyboardMovesDayMonthAndTime()
    {
        m_window->setProperty("kept", double(local(2030, 5, 31, 10, 5)));
        QCOMPARE(text(u"dateTimePickerField"_s), u"2030/05/31 10:05"_s);
        QCOMPARE(m_picker->property("accessibleName").toString(), u"送信日時"_s);

        click(u"dateTimePickerField"_s);
        QTRY_VERIFY(m_picker->property("popupOpen").toBool());
        QCOMPARE(text(u"shownMonthLabel"_s), u"2030年5月"_s);

        QTest::keyClick(m_window.get(), Qt::Key_Right);
        QCOMPARE(kept(), local(2030, 6, 1, 10, 5));
        QCOMPARE(text(u"shownMonthLabel"_s), u"2030年6月"_s);
        QTest::keyClick(m_window.get(), Qt::Key_Up);
        QCOMPARE(kept(), local(2030, 5, 25, 10, 5));
        // Paging shows another month without choosing a day.
        QTest::keyClick(m_window.get(), Qt::Key_PageDown);
        QCOMPARE(text(u"shownMonthLabel"_s), u"2030年6月"_s);
        QCOMPARE(kept(), local(2030, 5, 25, 10, 5));

        // Tab reaches the hour wheel; Down turns it.
        QTest::keyClick(m_window.get(), Qt::Key_Tab);
        QTest::keyClick(m_window.get(), Qt::Key_Down);
        QTRY_COMPARE(kept(), local(2030, 5, 25, 11, 5));
        QTest::keyClick(m_window.get(), Qt::Key_Tab);
        QTest::keyClick(m_window.get(), Qt::Key_Up);
        QTRY_COMPARE(kept(), local(2030, 5, 25, 11, 4));
        QCOMPARE(text(u"dateTimePickerField"_s), u"2030/05/25 11:04"_s);

        QTest::keyClick(m_window.get(), Qt::Key_Escape);
        QTRY_VERIFY(!m_picker->property("popupOpen").toBool());
    }

    // Nothing earlier than the minimum can be picked: a move before it lands
    // on the first whole minute not before it (no seconds), and earlier days
    // do not take a click.
    void earliestTimeIsKept()
    {
        const qint64 minimum = local(2030, 5, 20, 9, 31, 30);
        const qint64 firstMinute = local(2030, 5, 20, 9, 32);
        m_window->setProperty("earliest", double(minimum));
        m_window->setProperty("kept", double(local(2030, 5, 21, 9, 0)));
        click(u"dateTimePickerField"_s);
        QTRY_VERIFY(m_picker->property("popupOpen").toBool());

        QTest::keyClick(m_window.get(), Qt::Key_Left);
        QCOMPARE(kept(), firstMinute);
        QSignalSpy edited(m_picker, SIGNAL(edited(double)));
        QTest::keyClick(m_window.get(), Qt::Key_Left);
        QCOMPARE(kept(), firstMinute);
        QCOMPARE(edited.count(), 0);

        QQuickItem *grid = findItem(m_window->contentItem(), u"dateTimePickerGrid"_s);
        if (!grid) {
            // The calendar lives in the popup layer of the window.
            grid = findItem(m_window->contentItem()->parentItem(), u"dateTimePickerGrid"_s);
        }
        QVERIFY(grid);
        // Clicking the 1st of the month (before the minimum) does nothing.
        QQuickItem *first = nullptr;
        QList<QQuickItem *> cells;
        collect(grid, cells);
        for (QQuickItem *cell : std::as_const(cells)) {
            if (cell->property("text").toString() == u"1"_s && cell->property("inMonth").toBool())
                first = cell;
        }
        QVERIFY(first);
        QTest::mouseClick(m_window.get(), Qt::LeftButton, {},
            first->mapToScene(QPointF(first->width() / 2, first->height() / 2)).toPoint());
        QCOMPARE(edited.count(), 0);
        QCOMPARE(kept(), firstMinute);
    }

private:
    [[nodiscard]] qint64 kept() const { return qint64(m_window->property("kept").toDouble()); }
    [[nodiscard]] QQuickItem *item(const QString &name) const
    {
        return findItem(
            m_window->contentItem()->parentItem() ? m_window->contentItem()->parentItem() : m_window->contentItem(),
            name);
    }
    [[nodiscard]] QString text(const QString &name) const
    {
        QQuickItem *found = item(name);
        return found ? found->property("text").toString() : u"<missing %1>"_s.arg(name);
    }
    void click(const QString &name) const
    {
        QQuickItem *target = item(name);
        QVERIFY(target);
        QTest::mouseClick(m_window.get(), Qt::LeftButton, {},
            target->mapToScene(QPointF(target->width() / 2, target->height() / 2)).toPoint());
    }

    QQmlEngine m_engine;
    std::unique_ptr<QQuickWindow> m_window;
    QQuickItem *m_picker = nullptr;
};

QTEST_MAIN(TestDateTimePicker)
#include "test_datetimepicker.moc"
