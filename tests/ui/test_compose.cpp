// The compose sheet, the setup screens and the settings window as a user
// works them: typing and clicking in the real window (offscreen), on the real
// model against the reference service and the Codex CLI double. What a send
// produced is read back from the service itself.

#include "ai/codexdoublehome.h"
#include "api/apiclient.h"
#include "app/appmodelharness.h"
#include "app/composesession.h"
#include "app/desktopnotifier.h"
#include "app/draftstore.h"
#include "app/mailsignaturesetting.h"
#include "core/blocking.h"
#include "support/referenceservice.h"
#include "ui/uiharness.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

using namespace Qt::StringLiterals;
using namespace quarn;
using namespace quarn::testing;
using quarn::test::ReferenceService;

namespace {

/// Opens the settings window as a user does (Ctrl+,); nullptr when it does not show.
QWindow *openSettings(const Window &w)
{
    QTest::keyClick(w.window, Qt::Key_Comma, Qt::ControlModifier);
    auto *settings = qobject_cast<QWindow *>(w.find(u"settingsWindow"_s));
    return settings && QTest::qWaitFor([settings] { return settings->isVisible(); }) ? settings : nullptr;
}

void storeSignature(const QString &signature)
{
    QSettings settings;
    settings.setValue(u"mailSignature"_s, signature);
    settings.sync();
}

} // namespace

class TestCompose : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(u"Quarn"_s);
        QCoreApplication::setApplicationName(u"Quarn Mail Compose UI Test"_s);
        QVERIFY(m_settingsHome.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settingsHome.path());
        QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
        m_domain = m_service.mailDomain();
        QVERIFY(m_service.addUser(u"Aoi"_s, u"aoi@example.org"_s, u"testaoi"_s));
        QVERIFY(m_service.addUser(u"Ren"_s, u"ren@example.org"_s, u"testren"_s));
    }

    void init()
    {
        UiWarnings::clear();
        storeSignature(QString());
    }

    void cleanup() { QVERIFY2(UiWarnings::isEmpty(), qPrintable(UiWarnings::text())); }

    // Chat or e-mail follows the recipients, and the signature only goes with
    // e-mail, in its exact form; the conversation exists on the service.
    void sendingCreatesTheConversation_data()
    {
        QTest::addColumn<QString>("recipients");
        QTest::addColumn<QString>("signature");
        QTest::addColumn<bool>("signatureShown");
        QTest::addColumn<QString>("footer");
        QTest::addColumn<QString>("sentBody");
        QTest::addColumn<ConversationTransport>("transport");

        const QString aoi = u"testaoi@"_s + m_domain;
        const QString ren = u"TestRen@"_s + m_domain;
        QTest::newRow("internal only: chat, nothing appended")
            << aoi + u", "_s + ren << u"佐藤 健"_s << false << u"2人にQuarn chatとして送信"_s << u"明日の件です。"_s
            << ConversationTransport::chat;
        QTest::newRow("one external: e-mail with the signature")
            << aoi + u"; kim@example.com"_s << u"  佐藤 健\n営業部\n"_s << true
            << u"2人に "_s + m_domain + u" からEmail送信"_s << u"明日の件です。\n\n—\n佐藤 健\n営業部"_s
            << ConversationTransport::mixed;
        QTest::newRow("blank signature: nothing appended")
            << u"kim@example.com"_s << u" \n "_s << true << u"1人に "_s + m_domain + u" からEmail送信"_s
            << u"明日の件です。"_s << ConversationTransport::email;
    }
    void sendingCreatesTheConversation()
    {
        QFETCH(QString, recipients);
        QFETCH(QString, signature);
        QFETCH(bool, signatureShown);
        QFETCH(QString, footer);
        QFETCH(QString, sentBody);
        QFETCH(ConversationTransport, transport);
        storeSignature(signature);

        Harness h(m_service.baseUrl());
        QVERIFY(h.saveToken(m_service.token()));
        run(h.model->bootstrap());
        Window w(*h.model);
        QVERIFY(w.window);
        QVERIFY(QTest::qWaitForWindowExposed(w.window));
        w.click(u"composeToolbarButton"_s);
        QTRY_VERIFY(w.shown(u"recipientField"_s));
        QCOMPARE(w.text(u"footerCaption"_s), u"宛先を入力"_s);
        QVERIFY(!w.isEnabled(u"composeSendButton"_s));

        w.type(u"recipientField"_s, recipients);
        w.type(u"bodyEditor"_s, u"\n明日の件です。\n"_s);
        QCOMPARE(w.text(u"footerCaption"_s), footer);
        QCOMPARE(w.shown(u"signatureSection"_s), signatureShown);
        if (signatureShown) {
            const bool blank = signature.trimmed().isEmpty();
            QCOMPARE(w.isEnabled(u"includeSignatureBox"_s), !blank);
            QCOMPARE(w.shown(u"signatureHint"_s), blank);
            QCOMPARE(w.shown(u"signaturePreview"_s), !blank);
        }
        QVERIFY(w.isEnabled(u"composeSendButton"_s));
        w.click(u"composeSendButton"_s);
        QTRY_VERIFY_WITH_TIMEOUT(!h.model->composePresented(), 20'000);
        QTRY_VERIFY_WITH_TIMEOUT(!h.model->isSending(), 20'000);
        QVERIFY(!h.model->errorMessage());
        QVERIFY(h.model->selectedConversationID());

        const ConversationDetail sent
            = run(APIClient(m_service.baseUrl()).conversation(*h.model->selectedConversationID(), m_service.token()));
        QCOMPARE(sent.messages.constLast().bodyText, sentBody);
        QCOMPARE(sent.subject, u"明日の件です。"_s);
        QCOMPARE(sent.transport, transport);
    }

    // The settings window, opened from the menu or from the sheet's link,
    // edits the signature that an open sheet shows at once; it is stored at
    // every keystroke and read again after a restart.
    void signatureEditedWhileComposing()
    {
        Harness h(m_service.baseUrl());
        QVERIFY(h.saveToken(m_service.token()));
        run(h.model->bootstrap());
        {
            Window w(*h.model);
            QVERIFY(QTest::qWaitForWindowActive(w.window));
            QWindow *settings = openSettings(w);
            QVERIFY(settings);
            QCOMPARE(settings->size(), QSize(520, 290));
            settings->close();

            h.model->setComposePresented(true);
            QTRY_VERIFY(w.shown(u"recipientField"_s));
            w.type(u"recipientField"_s, u"kim@example.com"_s);
            QVERIFY(w.shown(u"signatureHint"_s));
            QVERIFY(!w.isEnabled(u"includeSignatureBox"_s));

            w.click(u"editSignatureLink"_s);
            QTRY_VERIFY(settings->isVisible());
            w.type(u"signatureEditor"_s, u"佐藤"_s);
            QTRY_COMPARE(QSettings().value(u"mailSignature"_s).toString(), u"佐藤"_s);
            QTRY_VERIFY(w.shown(u"signaturePreview"_s));
            QCOMPARE(w.text(u"signaturePreview"_s), u"佐藤"_s);
            QVERIFY(w.isEnabled(u"includeSignatureBox"_s));

            // Unchecking hides it and keeps it out of the body.
            w.click(u"includeSignatureBox"_s);
            QVERIFY(!w.shown(u"signaturePreview"_s));
            auto *session = w.find(u"composeSession"_s);
            QVERIFY(session);
            w.type(u"bodyEditor"_s, u"本文"_s);
            QCOMPARE(session->property("outgoingBody").toString(), u"本文"_s);
        }
        // A restart of the settings store: a new window reads what was typed.
        Window again(*h.model);
        QCOMPARE(again.text(u"signatureEditor"_s), u"佐藤"_s);
        QCOMPARE(MailSignatureSetting().text(), u"佐藤"_s);
        h.model->setComposePresented(false);
    }

    // Typing in the settings window shows in the compose sheet at once but
    // writes the settings file only once typing rests or the window closes;
    // a file that cannot be written is said in the window.
    void signatureIsWrittenWhenTypingRests()
    {
        Harness h(m_service.baseUrl());
        QVERIFY(h.saveToken(m_service.token()));
        run(h.model->bootstrap());
        Window w(*h.model);
        QVERIFY(QTest::qWaitForWindowActive(w.window));
        auto *signature = w.engine.singletonInstance<QObject *>(qmlTypeId("Quarn.Rules", 1, 0, "MailSignature"));
        QVERIFY(signature);
        // Typing that never rests long enough.
        signature->setProperty("quietInterval", 600'000);
        h.model->setComposePresented(true);
        QTRY_VERIFY(w.shown(u"recipientField"_s));
        w.type(u"recipientField"_s, u"kim@example.com"_s);
        QWindow *settings = openSettings(w);
        QVERIFY(settings);
        w.type(u"signatureEditor"_s, u"佐藤"_s);
        QTRY_COMPARE(w.text(u"signaturePreview"_s), u"佐藤"_s);
        QCOMPARE(QSettings().value(u"mailSignature"_s).toString(), QString());
        settings->close();
        QTRY_COMPARE(QSettings().value(u"mailSignature"_s).toString(), u"佐藤"_s);

        const QString file = QSettings().fileName();
        QVERIFY(QFile::remove(file));
        QVERIFY(QDir().mkpath(file + u"/in-the-way"_s));
        signature->setProperty("quietInterval", 600);
        w.click(u"editSignatureLink"_s);
        QTRY_VERIFY(settings->isVisible());
        w.type(u"signatureEditor"_s, u" 営業部"_s);
        QTRY_VERIFY(w.shown(u"settingsSaveError"_s));
        QVERIFY2(w.text(u"settingsSaveError"_s).contains(file), qPrintable(w.text(u"settingsSaveError"_s)));
        QVERIFY(QDir(file).removeRecursively());
        w.type(u"signatureEditor"_s, u"。"_s);
        QTRY_VERIFY(!w.shown(u"settingsSaveError"_s));
        QCOMPARE(QSettings().value(u"mailSignature"_s).toString(), u"佐藤 営業部。"_s);
        settings->close();
        h.model->setComposePresented(false);
    }

    // The notification switch in the settings window is on until the user
    // turns it off, and each toggle is what the notifier reads at once.
    void notificationSwitchIsStoredAtOnce()
    {
        QSettings().remove(u"notificationsEnabled"_s);
        Harness h(m_service.baseUrl());
        QVERIFY(h.saveToken(m_service.token()));
        run(h.model->bootstrap());
        Window w(*h.model);
        QVERIFY(QTest::qWaitForWindowActive(w.window));
        QWindow *settings = openSettings(w);
        QVERIFY(settings);
        QObject *toggle = w.find(u"notificationsSwitch"_s);
        QVERIFY(toggle);
        QVERIFY(toggle->property("checked").toBool());

        DesktopNotifier notifier(*h.model, QDBusConnection(u"quarn-test-no-bus"_s));
        QVERIFY(notifier.isEnabled());
        w.click(u"notificationsSwitch"_s);
        QTRY_VERIFY(!toggle->property("checked").toBool());
        QCOMPARE(QSettings().value(u"notificationsEnabled"_s), QVariant(false));
        QVERIFY(!notifier.isEnabled());
        w.click(u"notificationsSwitch"_s);
        QTRY_VERIFY(toggle->property("checked").toBool());
        QVERIFY(notifier.isEnabled());
        settings->close();
    }

    // The settings window is a window of its own; in a dark scheme its texts
    // must still read as the main window's do.
    void settingsWindowTakesTheDesktopColours()
    {
        useScheme(true);
        Harness h(m_service.baseUrl());
        QVERIFY(h.saveToken(m_service.token()));
        run(h.model->bootstrap());
        Window w(*h.model);
        QVERIFY(QTest::qWaitForWindowActive(w.window));
        QWindow *settings = openSettings(w);
        QVERIFY(settings);
        const QColor text = QGuiApplication::palette().color(QPalette::WindowText);
        auto *toggle = w.item(u"notificationsSwitch"_s);
        QVERIFY(toggle);
        auto *label = toggle->property("contentItem").value<QQuickItem *>();
        QVERIFY(label);
        QCOMPARE(label->property("color").value<QColor>(), text);
        QCOMPARE(w.find(u"signatureHeading"_s)->property("color").value<QColor>(), text);
        settings->close();
        useScheme(false);
    }

    // The subject follows the body once it has 8 characters and rests; a
    // hand edit stays through body changes until the regenerate button.
    void subjectFollowsTheBodyUntilEdited()
    {
        Harness h(m_service.baseUrl(), Harness::Codex::double_);
        h.home.setAnswer(u"{\"subject\":\"AIの件名\"}"_s.toUtf8());
        QVERIFY(h.saveToken(m_service.token()));
        run(h.model->bootstrap());
        Window w(*h.model);
        QVERIFY(QTest::qWaitForWindowExposed(w.window));
        h.model->setComposePresented(true);
        QTRY_VERIFY(w.shown(u"bodyEditor"_s));
        QObject *session = w.find(u"composeSession"_s);
        QVERIFY(session);
        session->setProperty("quietInterval", 60);
        QVERIFY(!w.shown(u"regenerateSubjectButton"_s));

        QSignalSpy generating(session, SIGNAL(isGeneratingSubjectChanged()));
        w.type(u"bodyEditor"_s, u"1234567"_s);
        QVERIFY(!generating.wait(400));
        QCOMPARE(w.text(u"subjectField"_s), QString());
        QVERIFY(w.shown(u"regenerateSubjectButton"_s));

        w.type(u"bodyEditor"_s, u"8"_s);
        QTRY_COMPARE(w.text(u"subjectField"_s), u"AIの件名"_s);
        QTRY_VERIFY(!w.shown(u"subjectProgress"_s));

        w.retype(u"subjectField"_s, u"自分で書いた件名"_s);
        QVERIFY(!session->property("subjectIsAutomatic").toBool());
        w.type(u"bodyEditor"_s, u" さらに書き足す"_s);
        QVERIFY(!generating.wait(400));
        QCOMPARE(w.text(u"subjectField"_s), u"自分で書いた件名"_s);

        w.click(u"regenerateSubjectButton"_s);
        QTRY_COMPARE(w.text(u"subjectField"_s), u"AIの件名"_s);
        QVERIFY(session->property("subjectIsAutomatic").toBool());
        h.model->setComposePresented(false);
    }

    // Switching the schedule on sets the next five-minute mark at least a
    // minute away on the model's clock; the message waits on the service.
    void scheduledSend()
    {
        Harness h(m_service.baseUrl());
        QVERIFY(h.saveToken(m_service.token()));
        run(h.model->bootstrap());
        h.now = QDateTime::fromString(u"2031-03-02T10:03:30Z"_s, Qt::ISODate).toMSecsSinceEpoch();
        Window w(*h.model);
        QVERIFY(QTest::qWaitForWindowExposed(w.window));
        h.model->setComposePresented(true);
        QTRY_VERIFY(w.shown(u"recipientField"_s));
        w.type(u"recipientField"_s, u"kim@example.com"_s);
        w.type(u"bodyEditor"_s, u"来月の予定です。"_s);
        QVERIFY(!w.item(u"schedulePicker"_s));

        w.click(u"scheduleSwitch"_s);
        QTRY_VERIFY(w.item(u"schedulePicker"_s));
        const qint64 expected = QDateTime::fromString(u"2031-03-02T10:05:00Z"_s, Qt::ISODate).toMSecsSinceEpoch();
        QObject *picker = w.find(u"schedulePicker"_s);
        QCOMPARE(qint64(picker->property("value").toDouble()), expected);
        QCOMPARE(qint64(picker->property("minimumValue").toDouble()), h.now + 60'000);
        // The Orro sheet has a picker of its own: this one is the schedule's.
        QQuickItem *field = Window::findItem(qobject_cast<QQuickItem *>(picker), u"dateTimePickerField"_s);
        QVERIFY(field);
        QCOMPARE(field->property("text").toString(),
            QDateTime::fromMSecsSinceEpoch(expected).toString(u"yyyy/MM/dd HH:mm"_s));
        QCOMPARE(w.text(u"footerCaption"_s), u"指定時刻に送信"_s);

        // One day later through the calendar's keyboard.
        w.click(field);
        QTRY_VERIFY(picker->property("popupOpen").toBool());
        QTest::keyClick(w.window, Qt::Key_Right);
        QTRY_COMPARE(qint64(picker->property("value").toDouble()), expected + 86'400'000);
        QTest::keyClick(w.window, Qt::Key_Return);
        QTRY_VERIFY(!picker->property("popupOpen").toBool());

        w.click(u"composeSendButton"_s);
        QTRY_VERIFY_WITH_TIMEOUT(!h.model->composePresented(), 20'000);
        QTRY_VERIFY_WITH_TIMEOUT(!h.model->isSending(), 20'000);
        QVERIFY(h.model->selectedConversationID());
        const ConversationDetail sent
            = run(APIClient(m_service.baseUrl()).conversation(*h.model->selectedConversationID(), m_service.token()));
        QCOMPARE(sent.status, ConversationStatus::scheduled);
        QCOMPARE(sent.messages.constLast().scheduledFor, std::optional<qint64>(expected + 86'400'000));
    }

    // A sheet left open while the clock passes the chosen time does not
    // schedule a time already past: the send is refused with the picker's
    // rule. The calendar opened again offers the clock's earliest time, and
    // a pick pushed up to it has no seconds.
    void aScheduleLeftOpenIsCheckedAtSend()
    {
        Harness h(m_service.baseUrl());
        QVERIFY(h.saveToken(m_service.token()));
        run(h.model->bootstrap());
        const auto at = [](const QString &iso) { return QDateTime::fromString(iso, Qt::ISODate).toMSecsSinceEpoch(); };
        h.now = at(u"2031-04-02T10:03:30Z"_s);
        Window w(*h.model);
        QVERIFY(QTest::qWaitForWindowExposed(w.window));
        h.model->setComposePresented(true);
        QTRY_VERIFY(w.shown(u"recipientField"_s));
        w.type(u"recipientField"_s, u"kim@example.com"_s);
        w.type(u"bodyEditor"_s, u"予約の確認です。"_s);
        w.click(u"scheduleSwitch"_s);
        QTRY_VERIFY(w.item(u"schedulePicker"_s));
        QObject *picker = w.find(u"schedulePicker"_s);
        QCOMPARE(qint64(picker->property("value").toDouble()), at(u"2031-04-02T10:05:00Z"_s));
        QVERIFY(!w.shown(u"scheduleProblem"_s));

        h.now = at(u"2031-04-02T10:04:30Z"_s);
        w.click(u"composeSendButton"_s);
        QVERIFY(!h.model->isSending());
        QTRY_VERIFY(w.shown(u"scheduleProblem"_s));
        QCOMPARE(w.text(u"scheduleProblem"_s), u"送信日時は今から1分以上先にしてください。"_s);
        QVERIFY(h.model->composePresented());
        // Ctrl+Return is refused alike.
        QTest::keyClick(w.window, Qt::Key_Return, Qt::ControlModifier);
        QVERIFY(!h.model->isSending());

        QQuickItem *field = Window::findItem(qobject_cast<QQuickItem *>(picker), u"dateTimePickerField"_s);
        w.click(field);
        QTRY_VERIFY(picker->property("popupOpen").toBool());
        QCOMPARE(qint64(picker->property("minimumValue").toDouble()), h.now + 60'000);
        QTest::keyClick(w.window, Qt::Key_Left);
        QTRY_COMPARE(qint64(picker->property("value").toDouble()), at(u"2031-04-02T10:06:00Z"_s));
        QVERIFY(!w.shown(u"scheduleProblem"_s));
        QTest::keyClick(w.window, Qt::Key_Return);
        QTRY_VERIFY(!picker->property("popupOpen").toBool());

        w.click(u"composeSendButton"_s);
        QTRY_VERIFY_WITH_TIMEOUT(!h.model->composePresented(), 20'000);
        QTRY_VERIFY_WITH_TIMEOUT(!h.model->isSending(), 20'000);
        QVERIFY(h.model->selectedConversationID());
        const ConversationDetail sent
            = run(APIClient(m_service.baseUrl()).conversation(*h.model->selectedConversationID(), m_service.token()));
        QCOMPARE(sent.messages.constLast().scheduledFor, std::optional<qint64>(at(u"2031-04-02T10:06:00Z"_s)));
    }

    // The signature under the body is all of it, as it will be appended.
    void wholeSignatureShowsUnderTheBody()
    {
        Harness h(m_service.baseUrl());
        QVERIFY(h.saveToken(m_service.token()));
        run(h.model->bootstrap());
        Window w(*h.model);
        QVERIFY(QTest::qWaitForWindowActive(w.window));
        h.model->setComposePresented(true);
        QTRY_VERIFY(w.shown(u"recipientField"_s));
        w.type(u"recipientField"_s, u"kim@example.com"_s);
        w.click(u"editSignatureLink"_s);
        auto *settings = qobject_cast<QWindow *>(w.find(u"settingsWindow"_s));
        QTRY_VERIFY(settings && settings->isVisible());
        const QString signature = u"山田 太郎\n株式会社クアーン 営業部\n03-1234-5678\nhttps://example.com/yamada"_s;
        w.type(u"signatureEditor"_s, signature);
        settings->close();

        QTRY_VERIFY(w.shown(u"signaturePreview"_s));
        QQuickItem *preview = w.item(u"signaturePreview"_s);
        QCOMPARE(preview->property("text").toString(), signature);
        QVERIFY(!preview->property("truncated").toBool());
        QCOMPARE(preview->property("lineCount").toInt(), 4);
        h.model->setComposePresented(false);
    }

    // A failed send leaves the sheet open with everything as typed.
    void failedSendKeepsTheSheet()
    {
        ReferenceService service;
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(service.token()));
        run(h.model->bootstrap());
        Window w(*h.model);
        QVERIFY(QTest::qWaitForWindowExposed(w.window));
        h.model->setComposePresented(true);
        QTRY_VERIFY(w.shown(u"recipientField"_s));
        w.type(u"recipientField"_s, u"kim@example.com"_s);
        w.type(u"bodyEditor"_s, u"届かない本文"_s);
        QVERIFY(service.stop());

        w.click(u"composeSendButton"_s);
        QTRY_VERIFY_WITH_TIMEOUT(h.model->errorMessage(), 30'000);
        QTRY_VERIFY(!h.model->isSending());
        QVERIFY(h.model->composePresented());
        QCOMPARE(w.text(u"recipientField"_s), u"kim@example.com"_s);
        QCOMPARE(w.text(u"bodyEditor"_s), u"届かない本文"_s);
        QCOMPARE(w.text(u"composeSendButton"_s), u"送信"_s);
        h.model->setErrorMessage(std::nullopt);
        h.model->setComposePresented(false);
    }

    // A stray "閉じる" or Escape loses nothing: the next "新規メッセージ"
    // opens what was typed; emptied fields leave no draft behind.
    void closingKeepsTheSheetAsTheDraft_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("閉じる") << false;
        QTest::newRow("Escape") << true;
    }
    void closingKeepsTheSheetAsTheDraft()
    {
        QFETCH(bool, escape);
        Harness h(m_service.baseUrl());
        QVERIFY(h.saveToken(m_service.token()));
        run(h.model->bootstrap());
        Window w(*h.model);
        QVERIFY(QTest::qWaitForWindowExposed(w.window));
        h.model->setComposePresented(true);
        QTRY_VERIFY(w.shown(u"recipientField"_s));
        w.type(u"recipientField"_s, u"kim@example.com, nobody"_s);
        QVERIFY(w.shown(u"invalidRecipientsLabel"_s));
        QCOMPARE(w.text(u"invalidRecipientsLabel"_s), u"宛先を確認: nobody"_s);
        QVERIFY(!w.isEnabled(u"composeSendButton"_s));
        w.type(u"bodyEditor"_s, u"書きかけの本文"_s);
        if (escape)
            QTest::keyClick(w.window, Qt::Key_Escape);
        else
            w.click(u"composeCloseButton"_s);
        QTRY_VERIFY(!h.model->composePresented());
        QVERIFY(h.model->composeDraft());

        QTest::keyClick(w.window, Qt::Key_N, Qt::ControlModifier);
        QTRY_VERIFY(w.shown(u"recipientField"_s));
        QCOMPARE(w.text(u"recipientField"_s), u"kim@example.com, nobody"_s);
        QCOMPARE(w.text(u"bodyEditor"_s), u"書きかけの本文"_s);
        QCOMPARE(w.text(u"invalidRecipientsLabel"_s), u"宛先を確認: nobody"_s);

        w.clear(u"recipientField"_s);
        w.clear(u"bodyEditor"_s);
        QTest::keyClick(w.window, Qt::Key_Escape);
        QTRY_VERIFY(!h.model->composePresented());
        QVERIFY(!h.model->composeDraft());
        QTest::keyClick(w.window, Qt::Key_N, Qt::ControlModifier);
        QTRY_VERIFY(w.shown(u"recipientField"_s));
        QCOMPARE(w.text(u"recipientField"_s), QString());
        QTest::keyClick(w.window, Qt::Key_Escape);
        QTRY_VERIFY(!h.model->composePresented());
    }

    // The user closes the sheet while its send is on its way and starts
    // another: the send's end closes nothing and touches nothing of the new
    // one, which started empty.
    void aSendClosesOnlyItsOwnSheet()
    {
        FakeService service;
        service.route("GET", stateTarget(ConversationStatus::needsYou), mailState(ConversationStatus::needsYou, {}));
        service.route("GET", stateTarget(ConversationStatus::waiting), mailState(ConversationStatus::waiting, {}));
        service.route("GET", "/api/people", PeopleResponse {});
        service.route("POST", "/api/conversations", 200, R"({"ok":true,"status":"waiting"})");
        const std::shared_ptr<Gate> creating = service.hold("POST", "/api/conversations");
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(u"tok_mail_"_s + QString(43, u'b')));
        run(h.model->bootstrap());
        Window w(*h.model);
        QVERIFY(QTest::qWaitForWindowExposed(w.window));

        h.model->setComposePresented(true);
        QTRY_VERIFY(w.shown(u"recipientField"_s));
        w.type(u"recipientField"_s, u"kim@example.com"_s);
        w.type(u"bodyEditor"_s, u"一通目の本文"_s);
        w.click(u"composeSendButton"_s);
        QTRY_VERIFY_WITH_TIMEOUT(creating->arrived() == 1, 20'000);
        QTest::keyClick(w.window, Qt::Key_Escape);
        QTRY_VERIFY(!h.model->composePresented());

        QTest::keyClick(w.window, Qt::Key_N, Qt::ControlModifier);
        QTRY_VERIFY(w.shown(u"recipientField"_s));
        QCOMPARE(w.text(u"bodyEditor"_s), QString());
        w.type(u"bodyEditor"_s, u"二通目"_s);
        creating->open();
        QTRY_VERIFY_WITH_TIMEOUT(!h.model->isSending(), 20'000);
        QVERIFY(h.model->composePresented());
        QVERIFY(w.shown(u"bodyEditor"_s));
        QCOMPARE(w.text(u"bodyEditor"_s), u"二通目"_s);
        QCOMPARE(h.model->composeDraft()->body, u"二通目"_s);
        QTest::keyClick(w.window, Qt::Key_Escape);
        QTRY_VERIFY(!h.model->composePresented());
    }

    // The send fails after the user closed its sheet and opened another: the
    // new sheet stays as it is (empty or typed), and the failed message is
    // neither lost nor put over it. It waits, in the drafts file too, and
    // opens in the next sheet once the current draft is sent or cleared.
    void aFailedSendNeverTakesTheNewSheetsPlace_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::newRow("new sheet empty") << QString();
        QTest::newRow("new sheet typed") << u"二通目"_s;
    }
    void aFailedSendNeverTakesTheNewSheetsPlace()
    {
        QFETCH(QString, typed);
        FakeService service;
        service.route("GET", stateTarget(ConversationStatus::needsYou), mailState(ConversationStatus::needsYou, {}));
        service.route("GET", "/api/people", PeopleResponse {});
        service.route("POST", "/api/conversations", 503, R"({"message":"ただいま送信できません"})");
        const std::shared_ptr<Gate> creating = service.hold("POST", "/api/conversations");
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(u"tok_mail_"_s + QString(43, u'd')));
        run(h.model->bootstrap());
        Window w(*h.model);
        QVERIFY(QTest::qWaitForWindowExposed(w.window));

        h.model->setComposePresented(true);
        QTRY_VERIFY(w.shown(u"recipientField"_s));
        w.type(u"recipientField"_s, u"kim@example.com"_s);
        w.type(u"bodyEditor"_s, u"一通目の本文"_s);
        w.click(u"composeSendButton"_s);
        QTRY_VERIFY_WITH_TIMEOUT(creating->arrived() == 1, 20'000);
        QTest::keyClick(w.window, Qt::Key_Escape);
        QTRY_VERIFY(!h.model->composePresented());
        QTest::keyClick(w.window, Qt::Key_N, Qt::ControlModifier);
        QTRY_VERIFY(w.shown(u"recipientField"_s));
        if (!typed.isEmpty())
            w.type(u"bodyEditor"_s, typed);

        creating->open();
        QTRY_VERIFY_WITH_TIMEOUT(!h.model->isSending(), 20'000);
        QVERIFY(h.model->composePresented());
        QCOMPARE(w.text(u"recipientField"_s), QString());
        QCOMPARE(w.text(u"bodyEditor"_s), typed);
        QVERIFY(h.model->errorMessage());
        QVERIFY(h.model->errorMessage()->contains(u"ただいま送信できません"_s));
        QVERIFY(h.model->errorMessage()->contains(u"送信できなかったメッセージは残してあります"_s));
        QCOMPARE(h.model->unsentComposes().size(), 1);
        QCOMPARE(h.model->unsentComposes().constFirst().body, u"一通目の本文"_s);
        h.model->saveDraftsNow();
        QFile file(h.dataDir() + u"/drafts.json"_s);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const std::optional<Drafts> stored = DraftStore::decode(file.readAll());
        QVERIFY(stored);
        QCOMPARE(stored->unsent, h.model->unsentComposes());
        h.model->setErrorMessage(std::nullopt);

        // The new sheet's words go (cleared), and the next sheet is the
        // failed message, as it was typed.
        w.clear(u"bodyEditor"_s);
        QTest::keyClick(w.window, Qt::Key_Escape);
        QTRY_VERIFY(!h.model->composePresented());
        QTest::keyClick(w.window, Qt::Key_N, Qt::ControlModifier);
        QTRY_VERIFY(w.shown(u"recipientField"_s));
        QCOMPARE(w.text(u"recipientField"_s), u"kim@example.com"_s);
        QCOMPARE(w.text(u"bodyEditor"_s), u"一通目の本文"_s);
        QVERIFY(h.model->unsentComposes().isEmpty());
        QTest::keyClick(w.window, Qt::Key_Escape);
        QTRY_VERIFY(!h.model->composePresented());
        QCOMPARE(h.model->composeDraft()->body, u"一通目の本文"_s);
    }

    // The token is refused by a reload while the user writes: the sign-in
    // screen takes the window, and after signing in again the sheet is back
    // with everything as typed.
    void aSignOutWhileComposingKeepsTheDraft()
    {
        FakeService service;
        service.route("GET", stateTarget(ConversationStatus::needsYou), mailState(ConversationStatus::needsYou, {}));
        service.route("GET", "/api/people", PeopleResponse {});
        Harness h(service.baseUrl());
        const QString token = u"tok_mail_"_s + QString(43, u'c');
        QVERIFY(h.saveToken(token));
        run(h.model->bootstrap());
        Window w(*h.model);
        QVERIFY(QTest::qWaitForWindowExposed(w.window));
        h.model->setComposePresented(true);
        QTRY_VERIFY(w.shown(u"recipientField"_s));
        w.type(u"recipientField"_s, u"kim@example.com"_s);
        w.type(u"bodyEditor"_s, u"消えては困る本文"_s);
        w.click(u"scheduleSwitch"_s);
        QTRY_VERIFY(h.model->composeDraft() && h.model->composeDraft()->scheduleEnabled);
        const qint64 scheduled = h.model->composeDraft()->scheduledDate;

        service.route("GET", stateTarget(ConversationStatus::needsYou), 401, R"({"error":"unauthorized"})");
        run(h.model->refresh(true));
        QVERIFY(!h.model->isConfigured());
        QTRY_VERIFY(!w.shown(u"recipientField"_s));
        h.model->setErrorMessage(std::nullopt);

        service.route("GET", stateTarget(ConversationStatus::needsYou), mailState(ConversationStatus::needsYou, {}));
        run(h.model->saveToken(token));
        QTRY_VERIFY(w.shown(u"recipientField"_s));
        QCOMPARE(w.text(u"recipientField"_s), u"kim@example.com"_s);
        QCOMPARE(w.text(u"bodyEditor"_s), u"消えては困る本文"_s);
        auto *session = qobject_cast<ComposeSession *>(w.find(u"composeSession"_s));
        QVERIFY(session);
        QVERIFY(session->scheduleEnabled());
        QCOMPARE(session->scheduledDate(), scheduled);
        // The sheet that came back has the keyboard, not the list behind it.
        QTRY_VERIFY(w.item(u"recipientField"_s)->hasActiveFocus());
        QTest::keyClick(w.window, Qt::Key_Escape);
        QTRY_VERIFY(!h.model->composePresented());
    }

    // The claim button's rule as typed, the texts sent untrimmed, and the
    // label while the claim runs.
    void claimButton_data()
    {
        QTest::addColumn<QString>("localPart");
        QTest::addColumn<QString>("displayName");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("two letters") << u"ab"_s << u"Kim"_s << false;
        QTest::newRow("two letters in blanks") << u"  ab "_s << u"Kim"_s << false;
        QTest::newRow("blank display name") << u"abc"_s << u"   "_s << false;
        QTest::newRow("three letters") << u"abc"_s << u"Kim"_s << true;
        QTest::newRow("blanks around valid values") << u" kimlee "_s << u" Kim Lee "_s << true;
    }
    void claimButton()
    {
        QFETCH(QString, localPart);
        QFETCH(QString, displayName);
        QFETCH(bool, enabled);

        ReferenceService service(ReferenceService::Data::Empty);
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(service.token()));
        run(h.model->bootstrap());
        Window w(*h.model);
        QVERIFY(QTest::qWaitForWindowExposed(w.window));
        QTRY_VERIFY(w.shown(u"addressSetupView"_s));
        QCOMPARE(w.text(u"mailDomainLabel"_s), u"@"_s + service.mailDomain());
        QVERIFY(!w.isEnabled(u"claimButton"_s));

        w.type(u"localPartField"_s, localPart);
        w.type(u"displayNameField"_s, displayName);
        QCOMPARE(w.isEnabled(u"claimButton"_s), enabled);
        if (!enabled)
            return;

        QSignalSpy claiming(h.model.get(), &AppModel::isClaimingAddressChanged);
        w.click(u"claimButton"_s);
        QCOMPARE(h.model->isClaimingAddress(), true);
        QCOMPARE(w.text(u"claimButton"_s), u"作成中…"_s);
        QVERIFY(!w.isEnabled(u"claimButton"_s));
        QTRY_VERIFY_WITH_TIMEOUT(!h.model->isClaimingAddress(), 20'000);
        QVERIFY2(!h.model->errorMessage(), qPrintable(h.model->errorMessage().value_or(QString())));
        QTRY_VERIFY_WITH_TIMEOUT(w.shown(u"mailWorkspace"_s), 20'000);
        QCOMPARE(h.model->state()->mailbox->address, localPart.trimmed() + u'@' + service.mailDomain());
    }

    // What the claim sends is exactly what was typed, blanks included (the
    // reference service trims, so only the request itself can tell).
    void claimSendsTheTextsAsTyped()
    {
        FakeService service;
        MailState noMailbox;
        noMailbox.viewer = Viewer { u"user_1"_s, u"Me"_s, u"me@example.jp"_s };
        service.route("GET", "/api/state?status=needs_you", noMailbox);
        service.route("GET", "/api/people", PeopleResponse {});
        service.route(
            "POST", "/api/mailbox", MailboxResponse { true, Mailbox { u"kimlee@quarn.local"_s, u"Kim Lee"_s } });
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(u"tok_mail_"_s + QString(43, u'd')));
        run(h.model->bootstrap());
        Window w(*h.model);
        QTRY_VERIFY(w.shown(u"addressSetupView"_s));
        w.type(u"localPartField"_s, u" kimlee "_s);
        w.type(u"displayNameField"_s, u" Kim Lee "_s);
        w.click(u"claimButton"_s);
        QTRY_COMPARE_WITH_TIMEOUT(service.count("/api/mailbox"), 1, 20'000);
        QTRY_VERIFY_WITH_TIMEOUT(!h.model->isClaimingAddress(), 20'000);
        QByteArray body;
        for (const test::RecordedRequest &r : service.requests()) {
            if (r.target == "/api/mailbox")
                body = r.body;
        }
        const QJsonObject sent = QJsonDocument::fromJson(body).object();
        QCOMPARE(sent.value(u"localPart"_s).toString(), u" kimlee "_s);
        QCOMPARE(sent.value(u"displayName"_s).toString(), u" Kim Lee "_s);
    }

    void tokenSetupFollowsTheSignIn()
    {
        Harness h(m_service.baseUrl());
        Window w(*h.model);
        QVERIFY(QTest::qWaitForWindowExposed(w.window));
        QTRY_VERIFY(w.shown(u"tokenSetupView"_s));
        QCOMPARE(w.text(u"tokenSetupSubtitle"_s), u"このPCを "_s + m_domain + u" に接続します"_s);
        QCOMPARE(w.text(u"signInButton"_s), u"Quarnアカウントを作成・ログイン"_s);
        w.click(u"signInButton"_s);
        QTRY_VERIFY(h.model->isSigningIn());
        QCOMPARE(h.opened.size(), 1);
        QCOMPARE(w.text(u"signInButton"_s), u"ブラウザで続行中…"_s);
        QVERIFY(!w.isEnabled(u"signInButton"_s));
    }

    // A sign-in abandoned in the browser can be cancelled and started again;
    // the browser finishing the cancelled one later changes nothing.
    void abandonedSignInCanBeCancelled()
    {
        Harness h(m_service.baseUrl());
        Window w(*h.model);
        QVERIFY(QTest::qWaitForWindowExposed(w.window));
        QTRY_VERIFY(w.shown(u"tokenSetupView"_s));
        QVERIFY(!w.shown(u"cancelSignInButton"_s));
        w.click(u"signInButton"_s);
        QTRY_VERIFY(h.model->isSigningIn());
        QCOMPARE(h.opened.size(), 1);
        const QString abandoned = QUrlQuery(h.opened.constLast()).queryItemValue(u"state"_s, QUrl::FullyDecoded);
        QVERIFY(!abandoned.isEmpty());
        QTRY_VERIFY(w.shown(u"cancelSignInButton"_s));
        QCOMPARE(w.text(u"cancelSignInButton"_s), u"キャンセル"_s);

        w.click(u"cancelSignInButton"_s);
        QTRY_VERIFY(!h.model->isSigningIn());
        QTRY_COMPARE(w.text(u"signInButton"_s), u"Quarnアカウントを作成・ログイン"_s);
        QVERIFY(w.isEnabled(u"signInButton"_s));
        QVERIFY(!w.shown(u"cancelSignInButton"_s));
        QVERIFY(!h.model->errorMessage());
        const QUrl late(
            u"quarn-mail://auth?code=late&state="_s + QString::fromUtf8(QUrl::toPercentEncoding(abandoned)));
        run(h.model->openDeepLink(late));
        QVERIFY(!h.model->errorMessage());
        QVERIFY(!h.model->isSigningIn());

        w.click(u"signInButton"_s);
        QTRY_VERIFY(h.model->isSigningIn());
        QCOMPARE(h.opened.size(), 2);
        // The cancelled attempt's callback does not end the new one.
        run(h.model->openDeepLink(late));
        QVERIFY(h.model->isSigningIn());
        QVERIFY(!h.model->errorMessage());
        QCOMPARE(w.text(u"signInButton"_s), u"ブラウザで続行中…"_s);
    }

private:
    UiWarnings m_warnings;
    QTemporaryDir m_settingsHome;
    ReferenceService m_service;
    QString m_domain;
};

QTEST_MAIN(TestCompose)
#include "test_compose.moc"
