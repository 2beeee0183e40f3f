#include "platform/desktopopener.h"

#include <QCoroProcess>
#include <QProcess>

namespace quarn::platform {

namespace {

// A handler query answers at once; a stuck one is no handler.
constexpr std::chrono::milliseconds kQueryTimeLimit { 10'000 };
constexpr int kStartTimeLimitMs = 5000;

} // namespace

QCoro::Task<bool> hasDesktopHandler(DesktopPrograms programs, QString mimeType)
{
    QProcess query;
    query.setProcessChannelMode(QProcess::SeparateChannels);
    query.setStandardInputFile(QProcess::nullDevice());
    const QStringList arguments { QStringLiteral("query"), QStringLiteral("default"), mimeType };
    // The start itself is over at once (fork and exec happen inside start());
    // waiting for it only collects the outcome.
    query.start(programs.mimeQuery, arguments);
    if (!query.waitForStarted(kStartTimeLimitMs))
        co_return false;
    auto finishing = qCoro(query).waitForFinished(kQueryTimeLimit);
    const bool finished = co_await std::move(finishing);
    if (!finished) {
        query.kill();
        query.waitForFinished(1000);
        co_return false;
    }
    if (query.exitStatus() != QProcess::NormalExit || query.exitCode() != 0)
        co_return false;
    co_return !query.readAllStandardOutput().trimmed().isEmpty();
}

QCoro::Task<bool> openWithDesktop(DesktopPrograms programs, QString target)
{
    auto *opener = new QProcess();
    opener->setStandardInputFile(QProcess::nullDevice());
    opener->setStandardOutputFile(QProcess::nullDevice());
    opener->setStandardErrorFile(QProcess::nullDevice());
    const QStringList arguments { target };
    opener->start(programs.opener, arguments);
    const bool didStart = opener->waitForStarted(kStartTimeLimitMs);
    if (didStart && opener->state() != QProcess::NotRunning) {
        auto finishing = qCoro(*opener).waitForFinished(programs.settle);
        co_await std::move(finishing);
    }
    if (didStart && opener->state() != QProcess::NotRunning) {
        // It runs the handler in the foreground: it must not be killed when
        // this operation is over, and goes once it has ended.
        QObject::connect(opener, &QProcess::finished, opener, &QObject::deleteLater);
        co_return true;
    }
    const bool opened = didStart && opener->exitStatus() == QProcess::NormalExit && opener->exitCode() == 0;
    delete opener;
    co_return opened;
}

} // namespace quarn::platform
