#include "shell/application.h"

#include "ai/codexrunner.h"
#include "app/appcommands.h"
#include "app/appmodel.h"
#include "app/desktopnotifier.h"
#include "app/launchercount.h"
#include "app/listmodels.h"
#include "app/urlhandoff.h"
#include "platform/paths.h"
#include "ui/mainwindow.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QSocketNotifier>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace quarn {

namespace {

void report(const QString &message)
{
    std::fprintf(stderr, "quarn-mail: %s\n", qPrintable(message));
}

/// With QUARN_TRACE_STARTUP set, the start-up benchmark learns from standard
/// error when the first frame is on screen ("quarn-mail: startup first-frame
/// <ms>") and when the first frame that shows conversations is ("... first-list
/// <ms>"), in milliseconds since the application object was made. A frame
/// counts for the list only if it was synchronised after the rows arrived.
void traceStartUp(QQuickWindow &window, const AppModel &model, QElapsedTimer clock)
{
    struct Trace
    {
        QElapsedTimer clock;
        bool frameTold = false;
        bool listTold = false;
        std::atomic<bool> rowsArrived = false;
        std::atomic<bool> listSynchronised = false;
    };
    const auto trace = std::make_shared<Trace>();
    trace->clock = clock;
    const auto tell = [trace](const char *event) {
        std::fprintf(stderr, "quarn-mail: startup %s %lld\n", event, static_cast<long long>(trace->clock.elapsed()));
        std::fflush(stderr);
    };
    ConversationListModel *list = model.filteredConversationsModel();
    QObject::connect(list, &RecordListModel::countChanged, &window, [trace, list, &window] {
        if (list->count() > 0 && !trace->rowsArrived.exchange(true))
            window.update();
    });
    // The render loop may synchronise and swap on its own thread.
    QObject::connect(
        &window, &QQuickWindow::beforeSynchronizing, &window,
        [trace] {
            if (trace->rowsArrived)
                trace->listSynchronised = true;
        },
        Qt::DirectConnection);
    QObject::connect(
        &window, &QQuickWindow::frameSwapped, &window,
        [trace, tell] {
            if (!trace->frameTold) {
                trace->frameTold = true;
                tell("first-frame");
            }
            if (trace->listSynchronised && !trace->listTold) {
                trace->listTold = true;
                tell("first-list");
            }
        },
        Qt::QueuedConnection);
}

int g_quitPipe[2] = { -1, -1 };

void requestQuit(int)
{
    const char byte = 1;
    (void)!::write(g_quitPipe[1], &byte, 1);
}

/// Ctrl-C in a terminal, SIGTERM at log-out and SIGHUP when the terminal
/// goes end the event loop as the menu's "終了" does, so that what is torn
/// down on the way (a Codex CLI child still running, with its process
/// group) really goes: the default action would end the process at once.
void quitOnTerminationSignals(QGuiApplication &app)
{
    if (::pipe2(g_quitPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(g_quitPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });
    struct sigaction action
    {
    };
    action.sa_handler = requestQuit;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : { SIGINT, SIGTERM, SIGHUP })
        ::sigaction(signal, &action, nullptr);
}

} // namespace

int runApplication(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const QStringList urls = UrlHandoff::urlsFromArguments(arguments);

    // Settled before anything touches the display: a start that only brings
    // a URL to the running instance needs no window and ends once it is taken.
    // One instance per data folder, whatever this start's environment says
    // about runtime or cache folders.
    UrlHandoff handoff(platform::applicationSupportDirectory());
    const UrlHandoff::Outcome outcome = handoff.claim(urls);
    switch (outcome) {
    case UrlHandoff::Outcome::delivered:
        return 0;
    case UrlHandoff::Outcome::failed:
        report(handoff.errorString());
        return 1;
    case UrlHandoff::Outcome::standalone:
        report(handoff.errorString());
        break;
    case UrlHandoff::Outcome::primary:
        break;
    }

    QGuiApplication app(argc, argv);
    ui::chooseRenderer();
    QElapsedTimer sinceStart;
    sinceStart.start();
    QGuiApplication::setOrganizationName(u"Quarn"_s);
    QGuiApplication::setApplicationName(u"Quarn Mail"_s);
    QGuiApplication::setDesktopFileName(u"quarn-mail"_s);

    // The running instance that cannot be reached would make every later
    // start wait and fail, the browser's sign-in callback with it: it gives
    // the data folder up and says why instead.
    if (outcome == UrlHandoff::Outcome::primary && !handoff.listen()) {
        report(u"他の起動からURLを受け取れないため、Quarn Mailを起動できません（%1）"_s.arg(handoff.errorString()));
        handoff.release();
        return 1;
    }

    quitOnTerminationSignals(app);
    // Work folders of Codex runs that an instance which was killed or quit
    // while its child ran left behind; those of living runs stay.
    auto sweeping = CodexRunner::shared().sweepStaleWorkFolders();
    (void)sweeping;

    // The one model of the process. It is never destroyed: operations started
    // by the window, the menus or a URL may still be suspended when the event
    // loop ends, and each would resume into a destroyed model. The token and
    // AI conversation files are complete after every write, so nothing is
    // lost at exit. (The pointer stays reachable, so leak checkers agree.)
    static AppModel *const model = new AppModel();
    // Drafts are written a moment after typing rests; the last words typed
    // before quitting are written before the process ends.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, model, [] { model->saveDraftsNow(); });

    AppCommands commands(*model);
    QObject::connect(&handoff, &UrlHandoff::urlReceived, &commands, &AppCommands::openURL);

    // The desktop's side: new needs-you work as notifications, whose "開く"
    // takes the same road as a conversation link, and the needs-you count on
    // the launcher icon.
    DesktopNotifier notifier(*model);
    LauncherCount launcher(QGuiApplication::desktopFileName() + u".desktop"_s);
    QObject::connect(&commands, &AppCommands::refreshFinished, &notifier, &DesktopNotifier::refreshFinished);
    QObject::connect(&notifier, &DesktopNotifier::needsYouCountChanged, &launcher, &LauncherCount::setCount);
    QObject::connect(&notifier, &DesktopNotifier::openURLRequested, &commands, &AppCommands::openURL);

    QQmlApplicationEngine engine;
    QQuickWindow *window = ui::loadMainWindow(engine, *model, commands);
    if (!window) {
        report(u"the main window could not be loaded"_s);
        return 1;
    }
    if (qEnvironmentVariableIsSet("QUARN_TRACE_STARTUP"))
        traceStartUp(*window, *model, sinceStart);
    const auto bringForward = [window] {
        window->show();
        window->raise();
        window->requestActivate();
    };
    QObject::connect(&handoff, &UrlHandoff::activationRequested, window, bringForward);

    QObject::connect(&notifier, &DesktopNotifier::activationRequested, window, bringForward);
    QObject::connect(window, &QWindow::activeChanged, &notifier,
        [window, &notifier] { notifier.setWindowActive(window->isActive()); });
    notifier.setWindowActive(window->isActive());

    // The URLs this start was given, after the window has started the model.
    for (const QString &url : urls)
        commands.openURL(url);
    return QGuiApplication::exec();
}

} // namespace quarn
