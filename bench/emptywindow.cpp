// The baseline of the start-up benchmark: the QML engine and an empty window
// of the application's size, drawn by the renderer the application would
// choose here, which says on standard error when its first frame is on
// screen.
#include "ui/mainwindow.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>

#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    quarn::ui::chooseRenderer();
    QQmlApplicationEngine engine;
    engine.loadData("import QtQuick\nWindow { width: 1240; height: 780; visible: true }\n");
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().value(0));
    if (!window)
        return 1;
    bool told = false;
    QObject::connect(
        window, &QQuickWindow::frameSwapped, window,
        [&told] {
            if (told)
                return;
            told = true;
            std::fputs("startup first-frame\n", stderr);
            std::fflush(stderr);
        },
        Qt::QueuedConnection);
    return QGuiApplication::exec();
}
