// The rules behind the work screens: Orro deadlines and times, whose a
// message is, the AI block's lines, when a reply may go, relative times and
// the desktop's reduce-motion setting.

#include "ui/screenrules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

using namespace Qt::StringLiterals;
using quarn::ui::ScreenRules;

using OptionalText = std::optional<QString>;
Q_DECLARE_METATYPE(OptionalText)

class TestScreenRules : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parseDeadline_data()
    {
        QTest::addColumn<OptionalText>("text");
        QTest::addColumn<QDateTime>("expected"); // invalid: none
        const QDateTime none;
        QTest::newRow("absent") << OptionalText() << none;
        QTest::newRow("empty") << OptionalText(u""_s) << none;
        QTest::newRow("UTC") << OptionalText(u"2026-12-24T09:30:00Z"_s)
                             << QDateTime(QDate(2026, 12, 24), QTime(9, 30), QTimeZone::utc());
        QTest::newRow("offset") << OptionalText(u"2026-12-24T18:30:00+09:00"_s)
                                << QDateTime(QDate(2026, 12, 24), QTime(9, 30), QTimeZone::utc());
        QTest::newRow("plain day is local midnight")
            << OptionalText(u"2026-12-24"_s) << QDate(2026, 12, 24).startOfDay();
        QTest::newRow("date-time without offset") << OptionalText(u"2026-12-24T09:30:00"_s) << none;
        QTest::newRow("weekday") << OptionalText(u"金曜日"_s) << none;
        QTest::newRow("no such day") << OptionalText(u"2026-02-30"_s) << none;
        QTest::newRow("text around a day") << OptionalText(u"2026-12-24まで"_s) << none;
    }
    void parseDeadline()
    {
        QFETCH(OptionalText, text);
        QFETCH(QDateTime, expected);
        const std::optional<QDateTime> parsed = ScreenRules::parseDeadline(text);
        QCOMPARE(parsed.has_value(), expected.isValid());
        if (parsed)
            QCOMPARE(parsed->toMSecsSinceEpoch(), expected.toMSecsSinceEpoch());
    }

    void orroDraftFromConversation_data()
    {
        QTest::addColumn<bool>("event");
        QTest::addColumn<OptionalText>("request");
        QTest::addColumn<OptionalText>("deadline");
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("dateEnabled");
        QTest::addColumn<QDateTime>("date"); // invalid: an hour from now
        const QDateTime later;
        const QDateTime christmas = QDate(2026, 12, 24).startOfDay();
        QTest::newRow("task takes the request and a day")
            << false << OptionalText(u"候補日を返す"_s) << OptionalText(u"2026-12-24"_s) << u"候補日を返す"_s << true
            << christmas;
        QTest::newRow("task with a free-text deadline")
            << false << OptionalText(u"候補日を返す"_s) << OptionalText(u"金曜日"_s) << u"候補日を返す"_s << false
            << later;
        QTest::newRow("task without request takes the subject")
            << false << OptionalText() << OptionalText() << u"件名"_s << false << later;
        QTest::newRow("event takes the subject, always dated")
            << true << OptionalText(u"候補日を返す"_s) << OptionalText(u"金曜日"_s) << u"件名"_s << true << later;
        QTest::newRow("event on the deadline")
            << true << OptionalText() << OptionalText(u"2026-12-24"_s) << u"件名"_s << true << christmas;
    }
    void orroDraftFromConversation()
    {
        QFETCH(bool, event);
        QFETCH(OptionalText, request);
        QFETCH(OptionalText, deadline);
        QFETCH(QString, title);
        QFETCH(bool, dateEnabled);
        QFETCH(QDateTime, date);
        const QDateTime now(QDate(2026, 12, 10), QTime(13, 5));
        const quarn::ui::OrroDraft draft = ScreenRules::draftFromConversation(
            event, u"conv_1"_s, u"件名"_s, OptionalText(u"要約"_s), request, deadline, now);
        QCOMPARE(draft.conversationID, u"conv_1"_s);
        QCOMPARE(draft.title, title);
        QCOMPARE(draft.notes, u"要約"_s);
        QCOMPARE(draft.dateEnabled, dateEnabled);
        QCOMPARE(draft.date, date.isValid() ? date : now.addSecs(3600));
    }

    void orroDraftFromAIConversation()
    {
        const QDateTime now(QDate(2026, 12, 10), QTime(13, 5));
        const auto task = ScreenRules::draftFromAIConversation(false, u"ai_1"_s, u"旅行"_s, {}, now);
        QCOMPARE(task.title, u"旅行"_s);
        QCOMPARE(task.notes, QString());
        QVERIFY(!task.dateEnabled);
        QCOMPARE(task.date, now.addSecs(3600));
        QVERIFY(ScreenRules::draftFromAIConversation(true, u"ai_1"_s, u"旅行"_s, u"最後"_s, now).dateEnabled);
    }

    void orroTimes()
    {
        const QDateTime start(QDate(2026, 12, 24), QTime(10, 0));
        const auto event = ScreenRules::timesFor(true, start, false);
        QVERIFY(!event.dueAt);
        QCOMPARE(event.startsAt, start);
        QCOMPARE(event.endsAt->toMSecsSinceEpoch() - start.toMSecsSinceEpoch(), 3'600'000);
        const auto dated = ScreenRules::timesFor(false, start, true);
        QCOMPARE(dated.dueAt, start);
        QVERIFY(!dated.startsAt && !dated.endsAt);
        const auto undated = ScreenRules::timesFor(false, start, false);
        QVERIFY(!undated.dueAt && !undated.startsAt && !undated.endsAt);
    }

    void ownMessage_data()
    {
        QTest::addColumn<OptionalText>("sender");
        QTest::addColumn<OptionalText>("viewer");
        QTest::addColumn<bool>("own");
        QTest::newRow("both absent") << OptionalText() << OptionalText() << true;
        QTest::newRow("same id") << OptionalText(u"usr_1"_s) << OptionalText(u"usr_1"_s) << true;
        QTest::newRow("other id") << OptionalText(u"usr_2"_s) << OptionalText(u"usr_1"_s) << false;
        QTest::newRow("outside sender") << OptionalText() << OptionalText(u"usr_1"_s) << false;
        QTest::newRow("no viewer yet") << OptionalText(u"usr_1"_s) << OptionalText() << false;
    }
    void ownMessage()
    {
        QFETCH(OptionalText, sender);
        QFETCH(OptionalText, viewer);
        QFETCH(bool, own);
        QCOMPARE(ScreenRules::ownMessage(sender, viewer), own);
    }

    void aiBlock_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("hasSummary");
        QTest::addColumn<bool>("shown");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<QString>("tone");
        QTest::newRow("needs you") << u"needs_you"_s << true << true << u"次にやること"_s
                                   << u"arrow.right.circle.fill"_s << u"warm"_s;
        QTest::newRow("AI working, no summary")
            << u"ai_working"_s << false << true << u"整理しています"_s << u"sparkles"_s << u"accent"_s;
        QTest::newRow("waiting") << u"waiting"_s << true << true << u"相手の返信を待っています"_s << u"clock.fill"_s
                                 << u"accent"_s;
        QTest::newRow("scheduled") << u"scheduled"_s << true << true << u"送信予定です"_s << u"calendar.badge.clock"_s
                                   << u"accent"_s;
        QTest::newRow("inbox without summary")
            << u"inbox"_s << false << false << u"整理を待っています"_s << u"tray.fill"_s << u"accent"_s;
        QTest::newRow("done") << u"done"_s << true << true << u"これで完了です"_s << u"checkmark.circle.fill"_s
                              << u"green"_s;
    }
    void aiBlock()
    {
        QFETCH(QString, status);
        QFETCH(bool, hasSummary);
        QFETCH(bool, shown);
        QFETCH(QString, text);
        QFETCH(QString, symbol);
        QFETCH(QString, tone);
        QCOMPARE(ScreenRules::aiThoughtShown(status, hasSummary), shown);
        const quarn::ui::NextStep step = ScreenRules::nextStepOf(status);
        QCOMPARE(step.text, text);
        QCOMPARE(step.symbol, symbol);
        QCOMPARE(step.tone, tone);
    }

    void requestLine_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<OptionalText>("request");
        QTest::addColumn<OptionalText>("deadline");
        QTest::addColumn<QString>("line");
        QTest::newRow("request and deadline")
            << u"needs_you"_s << OptionalText(u"返信"_s) << OptionalText(u"金曜"_s) << u"返信 · 金曜"_s;
        QTest::newRow("request alone") << u"needs_you"_s << OptionalText(u"返信"_s) << OptionalText() << u"返信"_s;
        QTest::newRow("scheduled deadline alone")
            << u"scheduled"_s << OptionalText() << OptionalText(u"明日"_s) << u"明日"_s;
        QTest::newRow("deadline alone otherwise") << u"waiting"_s << OptionalText() << OptionalText(u"明日"_s) << u""_s;
    }
    void requestLine()
    {
        QFETCH(QString, status);
        QFETCH(OptionalText, request);
        QFETCH(OptionalText, deadline);
        QFETCH(QString, line);
        QCOMPARE(ScreenRules::requestLine(status, request, deadline), line);
    }

    void replySendable_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("sending");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("empty") << u""_s << false << false;
        QTest::newRow("blanks and line breaks") << u"  \n\t\u3000\r\n "_s << false << false;
        QTest::newRow("text") << u" はい "_s << false << true;
        QTest::newRow("while sending") << u"はい"_s << true << false;
    }
    void replySendable()
    {
        QFETCH(QString, text);
        QFETCH(bool, sending);
        QFETCH(bool, enabled);
        QCOMPARE(ScreenRules::replySendable(text, sending), enabled);
    }

    void relativeTime_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<QString>("text");
        constexpr qint64 hour = 3'600'000;
        QTest::newRow("en hours") << u"en_US"_s << -3 * hour << u"3 hours ago"_s;
        QTest::newRow("en partial hours count whole") << u"en_US"_s << -(3 * hour + hour / 2) << u"3 hours ago"_s;
        QTest::newRow("en future days") << u"en_US"_s << 2 * 24 * hour << u"in 2 days"_s;
        QTest::newRow("ja hours") << u"ja_JP"_s << -3 * hour << u"3 時間前"_s;
        QTest::newRow("ja now") << u"ja_JP"_s << qint64(-20'000) << u"今"_s;
        // Something made a moment ago can be ahead of the screens' clock.
        QTest::newRow("en moments ahead of the clock") << u"en_US"_s << qint64(17'000) << u"now"_s;
        QTest::newRow("C falls back to English") << u"C"_s << -2 * 60'000LL << u"2 minutes ago"_s;
    }
    void relativeTime()
    {
        QFETCH(QString, locale);
        QFETCH(qint64, offset);
        QFETCH(QString, text);
        const qint64 now = 1'800'000'000'000;
        QCOMPARE(ScreenRules::relative(now + offset, now, locale), text);
    }

    void reduceMotion_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("reduced");
        QTest::newRow("nothing set") << u""_s << QByteArray() << false;
        QTest::newRow("GTK animations off")
            << u"gtk-3.0/settings.ini"_s << QByteArray("[Settings]\ngtk-enable-animations=0\n") << true;
        QTest::newRow("GTK animations on")
            << u"gtk-3.0/settings.ini"_s << QByteArray("[Settings]\ngtk-enable-animations=true\n") << false;
        QTest::newRow("KDE duration zero")
            << u"kdeglobals"_s << QByteArray("[KDE]\nAnimationDurationFactor=0\n") << true;
        QTest::newRow("KDE slower") << u"kdeglobals"_s << QByteArray("[KDE]\nAnimationDurationFactor=2\n") << false;
    }
    void reduceMotion()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, content);
        QFETCH(bool, reduced);
        QTemporaryDir home;
        if (!file.isEmpty()) {
            QVERIFY(QDir(home.path()).mkpath(QFileInfo(home.filePath(file)).path()));
            QFile f(home.filePath(file));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(content);
        }
        QCOMPARE(ScreenRules::desktopReducesMotion(home.path()), reduced);
    }
};

QTEST_GUILESS_MAIN(TestScreenRules)
#include "test_screenrules.moc"
