// The browser sign-in from end to end, as on a desktop: the model opens the
// service's sign-in page, a real browser (headless Chromium) shows it and the
// user's button is pressed, the browser's quarn-mail://auth redirect is given
// to a second start of the real quarn-mail executable (as the desktop entry
// does), which hands it to the running application; that ends with a saved
// token and a configured model.
//
// This process plays the running application: the real model and the same
// URL hand-off and commands as the executable. The build's sign-in URLs name
// 127.0.0.1:8787, so the test runs in a network namespace of its own
// (tests/support/loopback-only), where that port is free and nothing can
// leave the machine, the browser included.

#include "account/devicecredentialstore.h"
#include "app/appcommands.h"
#include "app/appmodelharness.h"
#include "app/urlhandoff.h"
#include "core/blocking.h"
#include "headlessbrowser.h"
#include "support/referenceservice.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QUrlQuery>

using namespace Qt::StringLiterals;
using namespace quarn;
using namespace quarn::testing;
using quarn::test::ReferenceService;

class TestBrowserSignIn : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariable("QUARN_LOOPBACK_ONLY") != u"1"_s)
            QSKIP("runs inside tests/support/loopback-only (ctest starts it there)");
        QVERIFY2(!HeadlessBrowser::executable().isEmpty(), "chromium is not installed (scripts/setup installs it)");
        m_service.setServeArguments({ u"--port"_s, u"8787"_s });
        QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
        QCOMPARE(m_service.baseUrl(), QUrl(u"http://127.0.0.1:8787"_s));
    }

    void signInThroughTheBrowser_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<bool>("signedIn");
        QTest::newRow("allowed") << u"allow"_s << true;
        QTest::newRow("denied") << u"deny"_s << false;
    }

    void signInThroughTheBrowser()
    {
        QFETCH(QString, button);
        QFETCH(bool, signedIn);

        // The running application: its model, its commands, its URL hand-off.
        Harness h(m_service.baseUrl());
        QTemporaryDir runtime;
        AppCommands commands(*h.model);
        // One data folder for this running instance and the desktop's later
        // start: the lock there decides who runs.
        const QString dataHome = h.home.filePath(u"second-start-data"_s);
        QVERIFY(QDir().mkpath(dataHome));
        UrlHandoff handoff(
            QFileInfo(dataHome).canonicalFilePath() + u"/Quarn Mail"_s, { runtime.filePath(u"quarn-mail"_s) });
        QCOMPARE(handoff.claim({}), UrlHandoff::Outcome::primary);
        QVERIFY2(handoff.listen(), qPrintable(handoff.errorString()));
        connect(&handoff, &UrlHandoff::urlReceived, &commands, &AppCommands::openURL);
        QSignalSpy received(&handoff, &UrlHandoff::urlReceived);
        blockOn(h.model->bootstrap(), 60s);
        QVERIFY(!h.model->isConfigured());

        h.model->signInWithQuarn();
        QVERIFY(h.model->isSigningIn());
        QCOMPARE(h.opened.size(), 1);
        const QUrl page = h.opened.first();
        QCOMPARE(page.adjusted(QUrl::RemoveQuery), QUrl(u"http://127.0.0.1:8787/auth/oauth/authorize"_s));

        HeadlessBrowser browser;
        QVERIFY2(browser.start(), qPrintable(browser.errorString()));
        QVERIFY2(browser.open(page), qPrintable(browser.errorString()));
        const std::optional<QString> redirect = browser.runAndCatchRedirect(
            u"document.querySelector('button[value=%1]').click()"_s.arg(button), u"quarn-mail:"_s);
        QVERIFY2(redirect, qPrintable(browser.errorString()));
        QVERIFY(redirect->startsWith(u"quarn-mail://auth?"_s));
        QCOMPARE(QUrlQuery(QUrl(*redirect)).queryItemValue(u"state"_s), QUrlQuery(page).queryItemValue(u"state"_s));

        // The desktop starts the program with the URL; that start hands it on.
        QProcess second;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"XDG_RUNTIME_DIR"_s, runtime.path());
        environment.insert(u"XDG_DATA_HOME"_s, dataHome);
        second.setProcessEnvironment(environment);
        second.start(QStringLiteral(QUARN_MAIL_EXECUTABLE), { *redirect });
        QTRY_COMPARE_WITH_TIMEOUT(second.state(), QProcess::NotRunning, 20'000);
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(received.size(), 1);
        QCOMPARE(received.first().first().toString(), *redirect);

        QTRY_VERIFY_WITH_TIMEOUT(!h.model->isSigningIn(), 20'000);
        if (signedIn) {
            QTRY_VERIFY_WITH_TIMEOUT(h.model->isConfigured() && h.model->state() && !h.model->isLoading(), 20'000);
            QVERIFY(!h.model->errorMessage());
            QVERIFY(h.model->state()->mailbox);
            const std::optional<QString> saved = DeviceCredentialStore(h.dataDir()).load();
            QVERIFY(saved);
            QVERIFY(saved->startsWith(u"tok_mail_"_s));
            QVERIFY(*saved != m_service.token());
        } else {
            QCOMPARE(h.model->errorMessage(),
                std::optional<QString>(u"Quarnアカウントに接続できませんでした。もう一度試してください。"_s));
            QVERIFY(!h.model->isConfigured());
            QVERIFY(!DeviceCredentialStore(h.dataDir()).load());
        }
        // The second start only handed the URL over: it stored no token of
        // its own in the data folder it shares with the running instance.
        QVERIFY(!QFileInfo::exists(dataHome + u"/Quarn Mail/device-token"_s));
    }

private:
    ReferenceService m_service;
};

QTEST_GUILESS_MAIN(TestBrowserSignIn)
#include "test_browsersignin.moc"
