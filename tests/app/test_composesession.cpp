// The compose window's rules without the window: the derived values as pure
// functions, and the subject that follows the body, on the real model whose
// Codex runner is the CLI double (no service is needed for a subject).

#include "app/composesession.h"
#include "app/mailsignaturesetting.h"
#include "app/notificationsetting.h"
#include "app/setuprules.h"

#include "app/appmodelharness.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace quarn;
using namespace quarn::testing;

namespace {

qint64 utc(const QString &iso)
{
    return QDateTime::fromString(iso, Qt::ISODate).toMSecsSinceEpoch();
}

QByteArray subjectAnswer(const QString &subject)
{
    return u"{\"subject\":\"%1\"}"_s.arg(subject).toUtf8();
}

} // namespace

class TestComposeSession : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(u"Quarn"_s);
        QCoreApplication::setApplicationName(u"Quarn Mail Compose Test"_s);
        QVERIFY(m_settingsHome.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settingsHome.path());
    }

    void defaultSendTime_data()
    {
        QTest::addColumn<QString>("now");
        QTest::addColumn<QString>("expected");
        QTest::newRow("mark more than a minute away") << u"2026-03-02T10:03:30Z"_s << u"2026-03-02T10:05:00Z"_s;
        QTest::newRow("mark only 30 s away is skipped") << u"2026-03-02T10:04:30Z"_s << u"2026-03-02T10:10:00Z"_s;
        QTest::newRow("exactly a minute before a mark") << u"2026-03-02T10:04:00Z"_s << u"2026-03-02T10:05:00Z"_s;
        QTest::newRow("on a mark") << u"2026-03-02T10:05:00Z"_s << u"2026-03-02T10:10:00Z"_s;
        QTest::newRow("across midnight") << u"2026-12-31T23:58:59.999Z"_s << u"2027-01-01T00:00:00Z"_s;
        QTest::newRow("before 1970") << u"1969-12-31T23:50:30Z"_s << u"1969-12-31T23:55:00Z"_s;
    }
    void defaultSendTime()
    {
        QFETCH(QString, now);
        QFETCH(QString, expected);
        QCOMPARE(QDateTime::fromMSecsSinceEpoch(ComposeSession::defaultSendTime(utc(now)), Qt::UTC),
            QDateTime::fromMSecsSinceEpoch(utc(expected), Qt::UTC));
    }

    void derivedValues_data()
    {
        QTest::addColumn<QString>("recipients");
        QTest::addColumn<QString>("signature");
        QTest::addColumn<bool>("include");
        QTest::addColumn<bool>("usesEmail");
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("outgoing");
        QTest::addColumn<bool>("canSend");

        const QString body = u"\n  本文です。\n"_s;
        QTest::newRow("no recipients") << u""_s << u"署名"_s << true << false << u"宛先を入力"_s << u"本文です。"_s
                                       << false;
        QTest::newRow("two internal: chat, no signature")
            << u"a@quarn.test, B@quarn.test"_s << u"署名"_s << true << false << u"2人にQuarn chatとして送信"_s
            << u"本文です。"_s << true;
        QTest::newRow("one external among internal: e-mail with signature")
            << u"a@quarn.test; kim@example.com"_s << u"  佐藤\n営業部 \n"_s << true << true
            << u"2人に quarn.test からEmail送信"_s << u"本文です。\n\n—\n佐藤\n営業部"_s << true;
        QTest::newRow("e-mail, signature switched off")
            << u"kim@example.com"_s << u"佐藤"_s << false << true << u"1人に quarn.test からEmail送信"_s
            << u"本文です。"_s << true;
        QTest::newRow("e-mail, blank signature") << u"kim@example.com"_s << u" \n\t"_s << true << true
                                                 << u"1人に quarn.test からEmail送信"_s << u"本文です。"_s << true;
        // The domain test is a plain suffix test on the lower-cased address.
        QTest::newRow("subdomain is e-mail") << u"a@sub.quarn.test"_s << u""_s << true << true
                                             << u"1人に quarn.test からEmail送信"_s << u"本文です。"_s << true;
        QTest::newRow("an invalid fragment blocks sending")
            << u"kim@example.com、nobody"_s << u""_s << true << true << u"1人に quarn.test からEmail送信"_s
            << u"本文です。"_s << false;
    }
    void derivedValues()
    {
        QFETCH(QString, recipients);
        QFETCH(QString, signature);
        QFETCH(bool, include);
        QFETCH(bool, usesEmail);
        QFETCH(QString, description);
        QFETCH(QString, outgoing);
        QFETCH(bool, canSend);

        ComposeSession session;
        session.setMailDomain(u"quarn.test"_s);
        session.setRecipientInput(recipients);
        session.setBodyText(u"\n  本文です。\n"_s);
        session.setMailSignature(signature);
        session.setIncludeSignature(include);
        QCOMPARE(session.usesEmail(), usesEmail);
        QCOMPARE(session.deliveryDescription(), description);
        QCOMPARE(session.footerCaption(), description);
        QCOMPARE(session.outgoingBody(), outgoing);
        QCOMPARE(session.canSend(), canSend);

        session.setScheduleEnabled(true);
        QCOMPARE(session.footerCaption(), u"指定時刻に送信"_s);
    }

    void switchingScheduleOnResetsTheTime()
    {
        Harness h(QUrl(u"http://127.0.0.1:9"_s));
        h.now = utc(u"2026-03-02T10:03:30Z"_s);
        ComposeSession session;
        session.setAppModel(h.model.get());
        session.setScheduleEnabled(true);
        QCOMPARE(session.scheduledDate(), utc(u"2026-03-02T10:05:00Z"_s));
        QCOMPARE(session.earliestScheduleTime(), utc(u"2026-03-02T10:04:30Z"_s));

        session.setScheduledDate(utc(u"2026-03-09T08:00:00Z"_s));
        session.setScheduleEnabled(false);
        h.now = utc(u"2026-03-02T10:04:30Z"_s);
        session.setScheduleEnabled(true);
        QCOMPARE(session.scheduledDate(), utc(u"2026-03-02T10:10:00Z"_s));
    }

    // Seven characters ask nothing; the eighth proposes once the body rests,
    // and a change before then cancels the proposal of the older body.
    void subjectFollowsTheRestingBody()
    {
        Harness h(QUrl(u"http://127.0.0.1:9"_s), Harness::Codex::double_);
        h.home.setAnswer(subjectAnswer(u"AIの件名"_s));
        ComposeSession session;
        session.setAppModel(h.model.get());
        QCOMPARE(session.quietInterval(), 900);
        session.setQuietInterval(50);
        QSignalSpy generating(&session, &ComposeSession::isGeneratingSubjectChanged);

        session.setBodyText(u"  1234567 \n"_s);
        QVERIFY(!generating.wait(400));
        QVERIFY(session.subject().isEmpty());
        QVERIFY(!h.execRan());

        session.setBodyText(u"12345678 最初"_s);
        session.setBodyText(u"12345678 二番目"_s);
        QTRY_COMPARE(session.subject(), u"AIの件名"_s);
        QTRY_VERIFY(!session.isGeneratingSubject());
        // One run only, for the body as it rested.
        QCOMPARE(generating.count(), 2);
        QVERIFY(h.home.recorded(u"exec"_s, u"stdin"_s).value_or(QByteArray()).contains("二番目"));
    }

    // The fallback shows at once; a failing Codex CLI leaves it there unannounced.
    void failingCodexFallsBackSilently()
    {
        Harness h(QUrl(u"http://127.0.0.1:9"_s), Harness::Codex::double_);
        h.home.setControl(u"exec_exit=3\ndelay_ms=200\n"_s);
        ComposeSession session;
        session.setAppModel(h.model.get());
        session.setBodyText(u"\n\n  来週の   打ち合わせについて  \n詳細\n"_s);
        session.regenerateSubject();
        QCOMPARE(session.subject(), u"来週の 打ち合わせについて"_s);
        QVERIFY(session.isGeneratingSubject());
        QTRY_VERIFY(!session.isGeneratingSubject());
        QCOMPARE(session.subject(), u"来週の 打ち合わせについて"_s);
        QVERIFY(!h.model->errorMessage());
    }

    // A hand-edited subject survives body changes; regenerate takes over again.
    void handEditedSubjectStaysUntilRegenerate()
    {
        Harness h(QUrl(u"http://127.0.0.1:9"_s), Harness::Codex::double_);
        h.home.setAnswer(subjectAnswer(u"AIの件名"_s));
        ComposeSession session;
        session.setAppModel(h.model.get());
        session.setQuietInterval(20);
        session.editSubject(u"自分の件名"_s);
        QVERIFY(!session.subjectIsAutomatic());
        session.setBodyText(u"十分に長い本文があります"_s);
        QSignalSpy generating(&session, &ComposeSession::isGeneratingSubjectChanged);
        QVERIFY(!generating.wait(300));
        QCOMPARE(session.subject(), u"自分の件名"_s);

        session.regenerateSubject();
        QVERIFY(session.subjectIsAutomatic());
        QTRY_COMPARE(session.subject(), u"AIの件名"_s);
    }

    // An answer for a body that has changed since is dropped, and the
    // indicator still clears; so is one that comes after a hand edit.
    void lateAnswerIsDropped_data()
    {
        QTest::addColumn<bool>("editSubjectMeanwhile");
        QTest::newRow("body changed") << false;
        QTest::newRow("subject edited") << true;
    }
    void lateAnswerIsDropped()
    {
        QFETCH(bool, editSubjectMeanwhile);
        Harness h(QUrl(u"http://127.0.0.1:9"_s), Harness::Codex::double_);
        h.home.setAnswer(subjectAnswer(u"古い本文の件名"_s));
        h.home.setControl(u"delay_ms=300\n"_s);
        ComposeSession session;
        session.setAppModel(h.model.get());
        session.setQuietInterval(60'000);
        session.setBodyText(u"最初の本文です。長さは十分。"_s);
        session.regenerateSubject();
        QVERIFY(session.isGeneratingSubject());
        if (editSubjectMeanwhile)
            session.editSubject(u"手で書いた"_s);
        else
            session.setBodyText(u"書き直した本文です。長さも十分。"_s);

        QTRY_VERIFY(!session.isGeneratingSubject());
        QCOMPARE(session.subject(), editSubjectMeanwhile ? u"手で書いた"_s : u"最初の本文です。長さは十分。"_s);
    }

    // A proposal still running when the window goes is dropped quietly (the
    // address sanitiser would see a write into the freed session).
    void answerAfterTheSessionIsGone()
    {
        Harness h(QUrl(u"http://127.0.0.1:9"_s), Harness::Codex::double_);
        h.home.setAnswer(subjectAnswer(u"件名"_s));
        h.home.setControl(u"delay_ms=200\n"_s);
        auto gone = std::make_unique<ComposeSession>();
        gone->setAppModel(h.model.get());
        gone->setBodyText(u"閉じる前に書いた本文"_s);
        gone->regenerateSubject();
        gone.reset();
        // A later proposal of the same length ends after the first one.
        ComposeSession later;
        later.setAppModel(h.model.get());
        later.setBodyText(u"あとから書いた本文"_s);
        later.regenerateSubject();
        QTRY_VERIFY(!later.isGeneratingSubject());
        QCOMPARE(later.subject(), u"件名"_s);
        // The gone session's proposal has no one left to tell when it ends;
        // its run still tidies its work folder, which must be over before
        // the runner goes with the harness (a leak under ASan otherwise).
        QTest::qWait(1000);
    }

    void claimRule_data()
    {
        QTest::addColumn<QString>("localPart");
        QTest::addColumn<QString>("displayName");
        QTest::addColumn<bool>("claiming");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("two letters") << u"ab"_s << u"Kim"_s << false << false;
        QTest::newRow("two letters in blanks") << u"  ab \n"_s << u"Kim"_s << false << false;
        QTest::newRow("three letters") << u"abc"_s << u"Kim"_s << false << true;
        QTest::newRow("blanks around valid values") << u" abc "_s << u" Kim "_s << false << true;
        QTest::newRow("blank display name") << u"abc"_s << u" \t"_s << false << false;
        QTest::newRow("claim running") << u"abc"_s << u"Kim"_s << true << false;
        // Characters as the user sees them: "é" with a combining mark is one.
        QTest::newRow("combining marks count once") << u"ae\u0301"_s << u"Kim"_s << false << false;
    }
    void claimRule()
    {
        QFETCH(QString, localPart);
        QFETCH(QString, displayName);
        QFETCH(bool, claiming);
        QFETCH(bool, enabled);
        QCOMPARE(SetupRules::canClaimAddress(localPart, displayName, claiming), enabled);
    }

    // Stored at once, empty text included, and read back by a new instance.
    // An edit holds at once; the file is written once typing rests (one
    // write for a burst of keystrokes), and at the latest when the setting goes.
    void signatureIsStoredWhenTypingRests()
    {
        MailSignatureSetting first;
        QSignalSpy changed(&first, &MailSignatureSetting::textChanged);
        QSignalSpy saved(&first, &MailSignatureSetting::saved);
        first.setText(u"佐"_s);
        first.setText(u"佐藤\n営業部"_s);
        QCOMPARE(changed.count(), 2);
        QCOMPARE(first.text(), u"佐藤\n営業部"_s);
        QVERIFY(saved.wait());
        QCOMPARE(saved.count(), 1);
        QCOMPARE(MailSignatureSetting().text(), u"佐藤\n営業部"_s);
        first.setText(QString());
        QVERIFY(saved.wait());
        QSettings settings;
        QVERIFY(settings.contains(u"mailSignature"_s));
        QCOMPARE(settings.value(u"mailSignature"_s).toString(), QString());

        {
            MailSignatureSetting closing;
            closing.setQuietInterval(600'000);
            closing.setText(u"最後の一文字"_s);
        }
        QCOMPARE(MailSignatureSetting().text(), u"最後の一文字"_s);
    }

    // A settings store that cannot be written is said, naming its file, for
    // each setting; the next change that is stored clears it.
    void settingsThatCannotBeStoredSaySo()
    {
        const QString file = QSettings().fileName();
        QFile::remove(file);
        QVERIFY(QDir().mkpath(file + u"/in-the-way"_s));
        MailSignatureSetting signature;
        NotificationSetting notifications;
        QSignalSpy saved(&signature, &MailSignatureSetting::saved);
        signature.setText(u"保存できない署名"_s);
        notifications.setEnabled(!notifications.isEnabled());
        QVERIFY(saved.wait());
        QVERIFY2(signature.saveError().contains(file), qPrintable(signature.saveError()));
        QVERIFY2(notifications.saveError().contains(file), qPrintable(notifications.saveError()));

        QVERIFY(QDir(file).removeRecursively());
        signature.setText(u"佐藤"_s);
        notifications.setEnabled(!notifications.isEnabled());
        QVERIFY(saved.wait());
        QCOMPARE(signature.saveError(), QString());
        QCOMPARE(notifications.saveError(), QString());
        QCOMPARE(MailSignatureSetting().text(), u"佐藤"_s);
    }

private:
    QTemporaryDir m_settingsHome;
};

QTEST_MAIN(TestComposeSession)
#include "test_composesession.moc"
