// Pictures of the keyboard's own screens on the reference service's demo
// mailbox: the command palette (with a disabled command and its reason), the
// shortcut sheet, and the note after filing with its undo; reached by keys, as
// a user reaches them. Arguments: output folder, "light" or "dark".

#include "support/referenceservice.h"
#include "ui/uiharness.h"

#include <QDir>
#include <QGuiApplication>
#include <QTextStream>

using namespace Qt::StringLiterals;
using namespace quarn;
using namespace quarn::testing;
using quarn::test::ReferenceService;

namespace {

/// Lets bindings, layouts and image loads settle before a picture.
void settle()
{
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
        QTest::qWait(40);
    }
}

/// Waits (20 s at most) until `done` holds.
bool waitFor(const std::function<bool()> &done)
{
    QDeadlineTimer bound(20'000);
    while (!done() && !bound.hasExpired())
        QTest::qWait(20);
    return done();
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3 || (args[2] != u"light"_s && args[2] != u"dark"_s)) {
        QTextStream(stderr) << "usage: screens_keyboard <output folder> light|dark\n";
        return 2;
    }
    QDir().mkpath(args[1]);
    useScheme(args[2] == u"dark"_s);
    Pictures pictures(u"keyboard"_s, args[1], args[2]);
    UiWarnings warnings;

    ReferenceService service;
    if (!service.start()) {
        QTextStream(stderr) << "screens_keyboard: " << service.errorString() << '\n';
        return 1;
    }
    Harness h(service.baseUrl());
    if (!h.saveToken(service.token()))
        return 1;
    run(h.model->bootstrap());
    Window w(*h.model);
    if (!w.window || !QTest::qWaitForWindowActive(w.window)) {
        QTextStream(stderr) << "screens_keyboard: the window did not load\n" << UiWarnings::text() << '\n';
        return 1;
    }
    AppModel &model = *h.model;
    settle();

    // The palette: everything, then narrowed to a command that cannot run
    // without the Codex CLI.
    w.key(Qt::Key_K, Qt::ControlModifier);
    settle();
    pictures.save(w, u"palette"_s);
    w.typeText(u"ai"_s);
    settle();
    pictures.save(w, u"palette-filtered"_s);
    w.key(Qt::Key_Escape);
    settle();

    w.key(Qt::Key_F1);
    settle();
    pictures.save(w, u"shortcut-sheet"_s);
    w.key(Qt::Key_Escape);
    settle();

    // The first conversation by Down, filed with e: the next one opens and
    // the note offers the undo.
    w.key(Qt::Key_Down);
    if (!waitFor([&] { return model.detail().has_value(); }))
        return 1;
    const QString first = model.detail()->id;
    w.key(Qt::Key_E);
    if (!waitFor([&] { return w.shown(u"undoNote"_s) && model.detail() && model.detail()->id != first; }))
        return 1;
    settle();
    pictures.save(w, u"undo-note"_s);

    if (!UiWarnings::isEmpty())
        QTextStream(stderr) << UiWarnings::text() << '\n';
    waitUntilIdle(model);
    return pictures.failed() ? 1 : 0;
}
