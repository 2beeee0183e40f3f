// Runs one trust check or one preparation of the Codex runner and prints how
// it ended, so that a test can run it as another user than itself (an
// installation that root owns, a runtime folder its owner cannot read).
//   codex-stage-probe source <path> <digest>    trusted | refused
//   codex-stage-probe staged <path> <digest>    trusted | refused
//   codex-stage-probe prepare <candidate> <runtime folder> <digest>
//       staged <path> | runner <kind> | platform <errno>
//   codex-stage-probe chat <candidate> <runtime folder> <digest> <work base>
//       starts a chat turn and keeps running, as an application with a run
//       in progress does, until its standard input ends: then it quits its
//       event loop the way the application quits
//   codex-stage-probe sweep <work base>          <number of folders removed>

#include "ai/codexrunner.h"
#include "core/blocking.h"
#include "core/error.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <chrono>
#include <cstdio>

#include <unistd.h>

namespace {

int say(const QByteArray &line)
{
    std::fputs(line.constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const QString mode = arguments.value(1);
    if ((mode == QLatin1String("source") || mode == QLatin1String("staged")) && arguments.size() == 4) {
        const bool trusted = mode == QLatin1String("source")
            ? quarn::CodexRunner::isTrustedCodexBinary(arguments.at(2), arguments.at(3))
            : quarn::CodexRunner::isTrustedStagedBinary(arguments.at(2), arguments.at(3));
        return say(trusted ? "trusted" : "refused");
    }
    if (mode == QLatin1String("prepare") && arguments.size() == 5) {
        quarn::CodexRunner::Configuration configuration;
        configuration.installCandidates = { arguments.at(2) };
        configuration.runtimeDirectory = arguments.at(3);
        configuration.pinnedDigest = arguments.at(4);
        quarn::CodexRunner runner(configuration);
        try {
            return say("staged " + quarn::blockOn(runner.prepare(), std::chrono::seconds(60)).toUtf8());
        } catch (const quarn::CodexRunnerError &e) {
            return say("runner " + QByteArray::number(int(e.kind())));
        } catch (const quarn::PlatformError &e) {
            return say("platform " + QByteArray::number(e.code()));
        }
    }
    if (mode == QLatin1String("chat") && arguments.size() == 6) {
        quarn::CodexRunner::Configuration configuration;
        configuration.installCandidates = { arguments.at(2) };
        configuration.runtimeDirectory = arguments.at(3);
        configuration.pinnedDigest = arguments.at(4);
        configuration.temporaryDirectory = arguments.at(5);
        static quarn::CodexRunner *const runner = new quarn::CodexRunner(configuration);
        QList<quarn::AIChatMessage> messages(1);
        messages.first().id = QStringLiteral("msg_1");
        messages.first().content = QStringLiteral("こんにちは");
        auto turn = runner->chat(messages);
        (void)turn;
        QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(&input, &QSocketNotifier::activated, &app, [&input] {
            char byte = 0;
            if (::read(STDIN_FILENO, &byte, 1) <= 0) {
                input.setEnabled(false);
                QCoreApplication::quit();
            }
        });
        say("running");
        return QCoreApplication::exec();
    }
    if (mode == QLatin1String("sweep") && arguments.size() == 3)
        return say(QByteArray::number(quarn::CodexRunner::sweepStaleWorkFolders(arguments.at(2))));
    std::fputs("usage: codex-stage-probe source|staged <path> <digest> | prepare <candidate> <runtime> <digest>"
               " | chat <candidate> <runtime> <digest> <work base> | sweep <work base>\n",
        stderr);
    return 2;
}
