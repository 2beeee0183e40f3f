// A stand-in for quarn-mail in the URL hand-off tests: it claims the instance
// exactly as the application does and prints what reaches it, one line each:
//   delivered            the URLs went to the running instance (exit 0)
//   standalone <why>     the private folder is unsafe (exit 2)
//   listening            this process is the running instance
//   url <url>            a URL this instance handles, its own ones first
//   activated            a later start has been served
// It runs until it is killed. QUARN_HANDOFF_BOUND_MS sets the time bound.

#include "app/urlhandoff.h"

#include <QCoreApplication>
#include <QStringList>

#include <chrono>
#include <cstdio>

namespace {

void say(const QByteArray &line)
{
    std::fputs(line.constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const QStringList urls = quarn::UrlHandoff::urlsFromArguments(arguments);
    const int bound = qEnvironmentVariableIntValue("QUARN_HANDOFF_BOUND_MS");

    quarn::UrlHandoff handoff;
    switch (handoff.claim(urls, std::chrono::milliseconds(bound > 0 ? bound : 10'000))) {
    case quarn::UrlHandoff::Outcome::delivered:
        say("delivered");
        return 0;
    case quarn::UrlHandoff::Outcome::failed:
        std::fprintf(stderr, "%s\n", qPrintable(handoff.errorString()));
        return 1;
    case quarn::UrlHandoff::Outcome::standalone:
        say("standalone " + handoff.errorString().toUtf8());
        return 2;
    case quarn::UrlHandoff::Outcome::primary:
        break;
    }

    QCoreApplication app(argc, argv);
    if (!handoff.listen()) {
        std::fprintf(stderr, "%s\n", qPrintable(handoff.errorString()));
        return 3;
    }
    QObject::connect(&handoff, &quarn::UrlHandoff::urlReceived, [](const QString &url) { say("url " + url.toUtf8()); });
    QObject::connect(&handoff, &quarn::UrlHandoff::activationRequested, [] { say("activated"); });
    say("listening");
    for (const QString &url : urls)
        say("url " + url.toUtf8());
    return app.exec();
}
