#pragma once

// The main window loaded as the application loads it, with what the compose,
// setup and settings tests do to it: find a control by objectName, click it,
// type into it, and read what it shows.

#include "app/appcommands.h"
#include "app/appmodel.h"
#include "ui/mainwindow.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>

namespace quarn::testing {

class ComposeTestWindow
{
public:
    explicit ComposeTestWindow(AppModel &model)
        : commands(model)
    {
        window = ui::loadMainWindow(engine, model, commands);
    }

    /// The item named `name` in the main window or in another window of the
    /// same engine (the settings window); nullptr when there is none.
    [[nodiscard]] QQuickItem *item(const QString &name) const
    {
        for (QObject *root : engine.rootObjects()) {
            auto *w = qobject_cast<QQuickWindow *>(root);
            if (!w)
                continue;
            if (QQuickItem *found = findItem(w->contentItem(), name))
                return found;
            for (QQuickWindow *other : w->findChildren<QQuickWindow *>()) {
                if (QQuickItem *found = findItem(other->contentItem(), name))
                    return found;
            }
        }
        return nullptr;
    }
    /// Any object named `name` (items, popups, windows, the compose session).
    [[nodiscard]] QObject *find(const QString &name) const
    {
        if (QQuickItem *found = item(name))
            return found;
        for (QObject *root : engine.rootObjects()) {
            if (root->objectName() == name)
                return root;
            if (QObject *found = root->findChild<QObject *>(name))
                return found;
        }
        // Objects that are neither items nor QObject children of the tree
        // (a Loader's non-visual children live under their item).
        return findObject(window ? window->contentItem() : nullptr, name);
    }
    [[nodiscard]] QString text(const QString &name) const
    {
        QObject *object = find(name);
        return object ? object->property("text").toString() : QString();
    }
    [[nodiscard]] bool isShown(const QString &name) const
    {
        QQuickItem *target = item(name);
        return target && target->isVisible();
    }
    [[nodiscard]] bool isEnabled(const QString &name) const
    {
        QQuickItem *target = item(name);
        return target && target->isEnabled();
    }

    /// A left click in the middle of the item, in its own window.
    void click(const QString &name) const
    {
        QQuickItem *target = item(name);
        QVERIFY2(target, qPrintable(QStringLiteral("no item ") + name));
        QVERIFY2(target->isVisible(), qPrintable(name + QStringLiteral(" is hidden")));
        scrollIntoView(target);
        const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
        QTest::mouseClick(target->window(), Qt::LeftButton, {}, centre.toPoint());
    }
    /// Clicks into a text control and types `text` at its end, key by key;
    /// "\n" presses Return.
    void type(const QString &name, const QString &text) const
    {
        QQuickItem *target = item(name);
        QVERIFY2(target, qPrintable(QStringLiteral("no item ") + name));
        target->forceActiveFocus();
        QVERIFY(target->hasActiveFocus());
        target->setProperty("cursorPosition", target->property("length"));
        for (const QChar c : text) {
            if (c == u'\n')
                QTest::keyClick(target->window(), Qt::Key_Return);
            else
                QTest::sendKeyEvent(QTest::Click, target->window(),
                    c.unicode() < 0x80 ? Qt::Key(c.toUpper().unicode()) : Qt::Key_unknown, QString(c), Qt::NoModifier);
        }
    }
    /// Selects everything in a text control and types `text` over it.
    void retype(const QString &name, const QString &text) const
    {
        QQuickItem *target = item(name);
        QVERIFY2(target, qPrintable(QStringLiteral("no item ") + name));
        target->forceActiveFocus();
        QMetaObject::invokeMethod(target, "selectAll");
        QTest::keyClick(target->window(), Qt::Key_Backspace);
        type(name, text);
    }

    /// Scrolls every enclosing scroll area so that `target` is in sight, as
    /// a user scrolls before clicking.
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

    static QQuickItem *findItem(QQuickItem *item, const QString &name)
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
    static QObject *findObject(QQuickItem *item, const QString &name)
    {
        if (!item)
            return nullptr;
        if (QObject *found = item->findChild<QObject *>(name, Qt::FindDirectChildrenOnly))
            return found;
        for (QQuickItem *child : item->childItems()) {
            if (QObject *found = findObject(child, name))
                return found;
        }
        return nullptr;
    }

    AppCommands commands;
    QQmlApplicationEngine engine;
    QQuickWindow *window = nullptr;
};

} // namespace quarn::testing
