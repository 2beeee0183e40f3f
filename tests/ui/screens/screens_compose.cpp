// Renders the compose sheet, the setup screens and the settings window in
// their states to PNG files, for a person to look at:
//
//     screens_compose <output folder> light|dark
//
// prints the path of every picture it writes, one a line. The model is the
// real one on the reference service (demo data) and the Codex CLI double.

#include "app/appmodelharness.h"
#include "core/blocking.h"
#include "support/referenceservice.h"
#include "ui/uiharness.h"

#include <QDir>
#include <QGuiApplication>
#include <QPalette>
#include <QQuickWindow>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdio>
#include <functional>

using namespace Qt::StringLiterals;
using namespace quarn;
using namespace quarn::testing;
using quarn::test::ReferenceService;

namespace {

/// Pumps events until `done` or about five seconds have passed.
bool settle(const std::function<bool()> &done)
{
    for (int i = 0; i < 250; ++i) {
        if (done())
            return true;
        QTest::qWait(20);
    }
    return done();
}

void storeSignature(const QString &signature)
{
    QSettings settings;
    settings.setValue(u"mailSignature"_s, signature);
    settings.sync();
}

QObject *session(Window &w)
{
    return w.find(u"composeSession"_s);
}

bool openCompose(Harness &h, Window &w)
{
    h.model->setComposePresented(true);
    return settle([&] { return w.shown(u"recipientField"_s); });
}

void closeCompose(Harness &h, Window &w)
{
    h.model->setComposePresented(false);
    settle([&] { return !w.shown(u"recipientField"_s); });
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QCoreApplication::setOrganizationName(u"Quarn"_s);
    QCoreApplication::setApplicationName(u"Quarn Mail Screens"_s);
    if (argc != 3) {
        std::fprintf(stderr, "usage: screens_compose <output folder> light|dark\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const QString scheme = QString::fromLocal8Bit(argv[2]);
    useScheme(scheme == u"dark"_s);
    QDir().mkpath(folder);
    QTemporaryDir settingsHome;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsHome.path());
    Pictures shots(u"compose"_s, folder, scheme);

    ReferenceService service;
    if (!service.start()) {
        std::fprintf(stderr, "screens_compose: %s\n", qPrintable(service.errorString()));
        return 1;
    }
    const QString domain = service.mailDomain();

    // The compose sheet.
    {
        storeSignature(u"佐藤 健\n株式会社クオーン 営業部"_s);
        Harness h(service.baseUrl(), Harness::Codex::double_);
        h.home.setAnswer(u"{\"subject\":\"来週の打ち合わせ日程のご相談\"}"_s.toUtf8());
        (void)h.saveToken(service.token());
        blockOn(h.model->bootstrap(), 60s);
        Window w(*h.model);
        if (!w.window)
            return 1;
        (void)QTest::qWaitForWindowExposed(w.window);

        openCompose(h, w);
        shots.save(w.window, u"empty"_s, 50ms);

        w.type(u"recipientField"_s, u"aoi@"_s + domain + u", ren@"_s + domain + u", tanaka@"_s);
        shots.save(w.window, u"chips-invalid"_s, 50ms);
        closeCompose(h, w);

        openCompose(h, w);
        w.type(u"recipientField"_s, u"aoi@"_s + domain + u", ren@"_s + domain);
        w.type(u"bodyEditor"_s, u"お疲れさまです。\n来週の定例を木曜に移せますか。"_s);
        session(w)->setProperty("quietInterval", 60'000);
        shots.save(w.window, u"chat"_s, 50ms);
        closeCompose(h, w);

        openCompose(h, w);
        session(w)->setProperty("quietInterval", 50);
        w.type(u"recipientField"_s, u"kim@example.com, aoi@"_s + domain);
        w.type(u"bodyEditor"_s, u"Kim様\n\n来週の打ち合わせですが、火曜か水曜の午後でご都合はいかがでしょうか。"_s);
        settle([&] {
            return session(w)->property("subject").toString() == u"来週の打ち合わせ日程のご相談"_s
                && !session(w)->property("isGeneratingSubject").toBool();
        });
        shots.save(w.window, u"email-signature"_s, 50ms);

        w.click(u"scheduleSwitch"_s);
        settle([&] { return w.item(u"schedulePicker"_s) != nullptr; });
        w.click(Window::findItem(w.item(u"schedulePicker"_s), u"dateTimePickerField"_s));
        settle([&] { return w.find(u"schedulePicker"_s)->property("popupOpen").toBool(); });
        shots.save(w.window, u"scheduled-picker"_s, 50ms);
        closeCompose(h, w);

        storeSignature(QString());
        Window blank(*h.model);
        (void)QTest::qWaitForWindowExposed(blank.window);
        openCompose(h, blank);
        h.home.setControl(u"delay_ms=1500\n"_s);
        blank.type(u"recipientField"_s, u"kim@example.com"_s);
        blank.type(u"bodyEditor"_s, u"見積もりの件、金曜までにお返事します。"_s);
        blank.click(u"regenerateSubjectButton"_s);
        settle([&] { return session(blank)->property("isGeneratingSubject").toBool(); });
        shots.save(blank.window, u"generating-no-signature"_s, 50ms);
        settle([&] { return !session(blank)->property("isGeneratingSubject").toBool(); });
        closeCompose(h, blank);

        // The settings window with a signature typed.
        auto *settings = qobject_cast<QQuickWindow *>(blank.find(u"settingsWindow"_s));
        if (settings) {
            settings->show();
            (void)QTest::qWaitForWindowExposed(settings);
            blank.type(u"signatureEditor"_s, u"佐藤 健\n株式会社クオーン 営業部\nTel 03-1234-5678"_s);
            shots.save(settings, u"settings"_s, 50ms);
            settings->close();
        }
        storeSignature(QString());
    }

    // The token setup, idle and waiting for the browser.
    {
        Harness h(service.baseUrl());
        Window w(*h.model);
        (void)QTest::qWaitForWindowExposed(w.window);
        settle([&] { return w.shown(u"tokenSetupView"_s); });
        shots.save(w.window, u"token-setup"_s, 50ms);
        w.click(u"signInButton"_s);
        settle([&] { return h.model->isSigningIn(); });
        shots.save(w.window, u"token-setup-busy"_s, 50ms);
    }

    // The address setup: disabled, ready, and claiming.
    {
        ReferenceService empty(ReferenceService::Data::Empty);
        if (!empty.start()) {
            std::fprintf(stderr, "screens_compose: %s\n", qPrintable(empty.errorString()));
            return 1;
        }
        Harness h(empty.baseUrl());
        (void)h.saveToken(empty.token());
        blockOn(h.model->bootstrap(), 60s);
        Window w(*h.model);
        (void)QTest::qWaitForWindowExposed(w.window);
        settle([&] { return w.shown(u"addressSetupView"_s); });
        w.type(u"localPartField"_s, u"ab"_s);
        shots.save(w.window, u"address-setup-disabled"_s, 50ms);
        w.type(u"localPartField"_s, u"c"_s);
        w.type(u"displayNameField"_s, u"佐藤 健"_s);
        shots.save(w.window, u"address-setup-ready"_s, 50ms);
        w.click(u"claimButton"_s);
        // Drawn before the answer can arrive: the claim is still running.
        shots.save(w.window, u"address-setup-busy"_s);
        settle([&] { return !h.model->isClaimingAddress(); });
    }
    return shots.failed() ? 1 : 0;
}
