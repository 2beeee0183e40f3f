#pragma once

// The main window as the application shows it (offscreen), for screen tests
// and the picture programs: the real QML on the real model (Harness, from
// tests/app), driven the way a user drives it. Items are found by objectName,
// pressed and typed into with QTest on the window, waited for with QTRY_*, and
// the window can be written to a PNG file.
//
//     Harness h(service.baseUrl(), Harness::Codex::double_);
//     QVERIFY(h.saveToken(service.token()));
//     quarn::blockOn(h.model->bootstrap(), 60s);
//     Window w(*h.model);
//     w.click(u"statusRow_done"_s);
//     QTRY_COMPARE(w.text(u"listTitle"_s), u"Done"_s);
//     w.grab(folder + u"/done.png"_s);
//
// A scheme is chosen before the window loads (useScheme); the screens follow
// the application palette as they follow the desktop's.

#include "app/appcommands.h"
#include "app/appmodelharness.h"
#include "core/blocking.h"
#include "ui/commandtable.h"
#include "ui/mainwindow.h"

#include <QAccessible>
#include <QDeadlineTimer>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPalette>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QStringList>
#include <QTest>
#include <QTextStream>
#include <QtQuickTest/quicktest.h>

#include <chrono>

namespace quarn::testing {

/// Collects the warnings screens cause (QML errors, missing symbols) while
/// it lives; tests check it is empty after each function.
class UiWarnings
{
public:
    UiWarnings() { s_previous = qInstallMessageHandler(&UiWarnings::record); }
    ~UiWarnings() { qInstallMessageHandler(s_previous); }
    UiWarnings(const UiWarnings &) = delete;
    UiWarnings &operator=(const UiWarnings &) = delete;

    static QStringList &list()
    {
        static QStringList warnings;
        return warnings;
    }
    static void clear() { list().clear(); }
    [[nodiscard]] static bool isEmpty() { return list().isEmpty(); }
    [[nodiscard]] static QString text() { return list().join(u'\n'); }

private:
    static void record(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (type != QtDebugMsg && type != QtInfoMsg
            && (message.contains(QLatin1String("qrc:")) || message.contains(QLatin1String("no icon for the symbol"))))
            list().append(message);
        if (s_previous)
            s_previous(type, context, message);
    }
    static inline QtMessageHandler s_previous = nullptr;
};

/// Light or dark application palette; call before the window loads.
inline void useScheme(bool dark)
{
    if (!dark) {
        QGuiApplication::setPalette(QPalette());
        return;
    }
    QPalette p;
    const QColor window(0x2a, 0x2b, 0x30), base(0x1f, 0x20, 0x24), text(0xec, 0xec, 0xef);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, QColor(0x35, 0x36, 0x3c));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::ToolTipBase, base);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, QColor(0x8c, 0x8d, 0x94));
    p.setColor(QPalette::Highlight, QColor(0x4f, 0x6b, 0xd6));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Light, QColor(0x45, 0x46, 0x4d));
    p.setColor(QPalette::Midlight, QColor(0x3a, 0x3b, 0x41));
    p.setColor(QPalette::Mid, QColor(0x30, 0x31, 0x36));
    p.setColor(QPalette::Dark, QColor(0x18, 0x19, 0x1c));
    p.setColor(QPalette::Shadow, Qt::black);
    p.setColor(QPalette::Link, QColor(0x8a, 0xa4, 0xff));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x7a, 0x7b, 0x80));
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x7a, 0x7b, 0x80));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x7a, 0x7b, 0x80));
    QGuiApplication::setPalette(p);
}

/// The window on a model, loaded the way the application loads it.
class Window
{
public:
    explicit Window(AppModel &model, std::chrono::milliseconds refreshInterval = AppCommands::kRefreshInterval)
        : commands(model, refreshInterval)
    {
        QObject::connect(&engine, &QQmlEngine::warnings, [](const QList<QQmlError> &errors) {
            for (const QQmlError &error : errors)
                UiWarnings::list().append(error.toString());
        });
        window = ui::loadMainWindow(engine, model, commands);
        if (window)
            (void)QTest::qWaitForWindowExposed(window);
        // The undo note outlasts any slow run: a test never races its end.
        if (ui::CommandTable *t = table())
            t->setNoteDuration(std::chrono::minutes(10));
    }

    /// The window's command table (its menus, keys, palette and shortcut sheet).
    [[nodiscard]] ui::CommandTable *table() const
    {
        return window ? qobject_cast<ui::CommandTable *>(window->property("commandTable").value<QObject *>()) : nullptr;
    }
    /// Whether the item named `name` has the keyboard focus.
    [[nodiscard]] bool hasFocus(const QString &name) const
    {
        QQuickItem *i = item(name);
        return i && i->hasActiveFocus();
    }

    /// The object of the window's tree named `name`, or nullptr. Popups and
    /// their contents count (they live in the window's overlay).
    [[nodiscard]] QObject *find(const QString &name) const
    {
        if (!window)
            return nullptr;
        if (QObject *found = window->findChild<QObject *>(name))
            return found;
        if (QQuickItem *found = findItem(window->contentItem(), name))
            return found;
        // The other windows the main one declares (the settings window).
        const QList<QQuickWindow *> others = window->findChildren<QQuickWindow *>();
        for (QQuickWindow *other : others) {
            if (QQuickItem *found = findItem(other->contentItem(), name))
                return found;
        }
        // Objects that are neither items nor QObject children of the tree
        // (a Loader's non-visual children live under their item).
        return findObject(window->contentItem(), name);
    }
    /// The same among the visual children of `item` (a control's content
    /// item is not always a QObject child of the control).
    static QQuickItem *findItem(QQuickItem *item, const QString &name)
    {
        if (!item)
            return nullptr;
        if (item->objectName() == name)
            return item;
        const QList<QQuickItem *> children = item->childItems();
        for (QQuickItem *child : children) {
            if (QQuickItem *found = findItem(child, name))
                return found;
        }
        return nullptr;
    }
    /// Every visible item below `root` (the whole window by default) named `name`.
    [[nodiscard]] QList<QQuickItem *> findAll(const QString &name, QQuickItem *root = nullptr) const
    {
        QList<QQuickItem *> found;
        collect(root ? root : window->contentItem(), name, found);
        return found;
    }
    [[nodiscard]] QQuickItem *item(const QString &name) const { return qobject_cast<QQuickItem *>(find(name)); }
    /// The `text` property of the object named `name` ("" when there is none).
    [[nodiscard]] QString text(const QString &name) const
    {
        QObject *o = find(name);
        return o ? o->property("text").toString() : QString();
    }
    /// Whether the item named `name` exists and takes input.
    [[nodiscard]] bool isEnabled(const QString &name) const
    {
        QQuickItem *i = item(name);
        return i && i->isEnabled();
    }
    /// Whether the item named `name` exists and is visible on screen.
    [[nodiscard]] bool shown(const QString &name) const
    {
        QQuickItem *i = item(name);
        return i && i->isVisible() && i->width() > 0 && i->height() > 0;
    }
    /// The "count" label inside the sidebar row `row`.
    [[nodiscard]] QString count(const QString &row) const
    {
        QQuickItem *label = findItem(item(row), QStringLiteral("count"));
        return label ? label->property("text").toString() : QString();
    }

    /// A left click in the middle of `target`, in its own window, after
    /// scrolling it into sight as a user would.
    void click(QQuickItem *target) const
    {
        QVERIFY(target);
        QVERIFY2(target->isVisible(), qPrintable(target->objectName()));
        scrollIntoView(target);
        // A layout that has not yet placed the item would send the click elsewhere.
        QVERIFY(QQuickTest::qWaitForPolish(target->window()));
        const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
        QTest::mouseClick(target->window(), Qt::LeftButton, {}, centre.toPoint());
    }
    void click(const QString &name) const
    {
        QQuickItem *target = item(name);
        QVERIFY2(target, qPrintable(name));
        click(target);
    }
    /// The pointer moves over the middle of `name`.
    void hover(const QString &name) const
    {
        QQuickItem *target = item(name);
        QVERIFY2(target, qPrintable(name));
        QTest::mouseMove(window, target->mapToScene(QPointF(target->width() / 2, target->height() / 2)).toPoint());
    }
    /// Clicks into the field `name` and types `text` after what it holds.
    void type(const QString &name, const QString &text) const
    {
        click(name);
        QTRY_VERIFY(item(name)->hasActiveFocus());
        QQuickItem *field = item(name);
        field->setProperty("cursorPosition", field->property("length"));
        typeText(text, field->window());
    }
    /// Selects everything in the field `name` and types `text` over it.
    void retype(const QString &name, const QString &text) const
    {
        click(name);
        QTRY_VERIFY(item(name)->hasActiveFocus());
        QQuickItem *field = item(name);
        QMetaObject::invokeMethod(field, "selectAll");
        QTest::keyClick(field->window(), Qt::Key_Backspace);
        typeText(text, field->window());
    }
    /// Types `text` into whatever has the keyboard focus, character by character.
    void typeText(const QString &text, QWindow *target = nullptr) const
    {
        if (!target)
            target = window;
        for (qsizetype i = 0; i < text.size(); ++i) {
            const qsizetype length = text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
            const QString piece = text.mid(i, length);
            i += length - 1;
            const char16_t c = piece.at(0).unicode();
            const Qt::Key key = c == u' '                 ? Qt::Key_Space
                : c == u'\t'                              ? Qt::Key_Tab
                : c == u'\n'                              ? Qt::Key_Return
                : c < 0x80 && QChar(c).isLetterOrNumber() ? Qt::Key(QChar(c).toUpper().unicode())
                                                          : Qt::Key_unknown;
            QTest::sendKeyEvent(QTest::Press, target, key, piece, Qt::NoModifier);
            QTest::sendKeyEvent(QTest::Release, target, key, piece, Qt::NoModifier);
        }
    }
    /// Empties the focused field `name` (select all, delete) by keys.
    void clear(const QString &name) const
    {
        click(name);
        QTRY_VERIFY(item(name)->hasActiveFocus());
        QTest::keyClick(window, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(window, Qt::Key_Delete);
    }
    void key(Qt::Key key, Qt::KeyboardModifiers modifiers = {}) const { QTest::keyClick(window, key, modifiers); }

    /// The name and role a screen reader (or an AT-SPI client) gets for `item`.
    [[nodiscard]] static QString accessibleName(QQuickItem *item)
    {
        QAccessibleInterface *a = item ? QAccessible::queryAccessibleInterface(item) : nullptr;
        return a ? a->text(QAccessible::Name) : QString();
    }
    [[nodiscard]] static QAccessible::Role accessibleRole(QQuickItem *item)
    {
        QAccessibleInterface *a = item ? QAccessible::queryAccessibleInterface(item) : nullptr;
        return a ? a->role() : QAccessible::NoRole;
    }

    /// Renders the window as it stands into `path` (PNG).
    [[nodiscard]] bool grab(const QString &path) const
    {
        QCoreApplication::processEvents();
        const QImage image = window->grabWindow();
        return !image.isNull() && image.save(path, "PNG");
    }

    AppCommands commands;
    QQmlApplicationEngine engine;
    QQuickWindow *window = nullptr;

    /// Scrolls every enclosing scroll area so that `target` is in sight.
    static void scrollIntoView(QQuickItem *target)
    {
        for (QQuickItem *p = target->parentItem(); p; p = p->parentItem()) {
            if (!p->inherits("QQuickFlickable"))
                continue;
            const qreal top = target->mapToItem(p, QPointF(0, 0)).y();
            const qreal bottom = top + target->height();
            qreal y = p->property("contentY").toReal();
            if (bottom > p->height())
                y += bottom - p->height();
            else if (top < 0)
                y += top;
            p->setProperty("contentY", y);
        }
    }

private:
    static QObject *findObject(QQuickItem *item, const QString &name)
    {
        if (!item)
            return nullptr;
        if (QObject *found = item->findChild<QObject *>(name, Qt::FindDirectChildrenOnly))
            return found;
        const QList<QQuickItem *> children = item->childItems();
        for (QQuickItem *child : children) {
            if (QObject *found = findObject(child, name))
                return found;
        }
        return nullptr;
    }
    static void collect(QQuickItem *item, const QString &name, QList<QQuickItem *> &found)
    {
        if (!item || !item->isVisible())
            return;
        if (item->objectName() == name)
            found.append(item);
        const QList<QQuickItem *> children = item->childItems();
        for (QQuickItem *child : children)
            collect(child, name, found);
    }
};

/// Waits (30 s at most) until nothing a test started on `model` is still
/// running (loads, sends, AI runs, chat turns, older pages), so that the
/// model can go.
inline void waitUntilIdle(const AppModel &model)
{
    QDeadlineTimer bound(30'000);
    while (!bound.hasExpired()
        && (model.isLoading() || model.isSending() || model.isRunningAI() || model.isLoadingOlderMessages()
            || model.isSendingAIChat()))
        QTest::qWait(20);
    QTest::qWait(50);
}

/// Writes the pictures of one area of the screens in one scheme, as
/// "<area>-<name>-<scheme>.png" in a folder, and prints each path on its own
/// line (the screens programs' output).
class Pictures
{
public:
    Pictures(QString area, QString folder, QString scheme)
        : m_area(std::move(area))
        , m_folder(std::move(folder))
        , m_scheme(std::move(scheme))
    { }

    /// Lets events arrive for `settleFor` first (bindings, layouts, images);
    /// none for a state that an arriving answer would end.
    bool save(QQuickWindow *window, const QString &name, std::chrono::milliseconds settleFor = {})
    {
        if (settleFor.count() > 0)
            QTest::qWait(int(settleFor.count()));
        QCoreApplication::processEvents();
        const QString path = QDir(m_folder).filePath(QStringLiteral("%1-%2-%3.png").arg(m_area, name, m_scheme));
        const QImage image = window ? window->grabWindow() : QImage();
        if (image.isNull() || !image.save(path, "PNG")) {
            QTextStream(stderr) << "screens_" << m_area << ": could not write " << path << '\n';
            m_failed = true;
            return false;
        }
        QTextStream(stdout) << path << '\n';
        return true;
    }
    bool save(const Window &w, const QString &name, std::chrono::milliseconds settleFor = {})
    {
        return save(w.window, name, settleFor);
    }
    [[nodiscard]] bool failed() const { return m_failed; }

private:
    QString m_area;
    QString m_folder;
    QString m_scheme;
    bool m_failed = false;
};

} // namespace quarn::testing
