// The people and AI lenses as a user works them: finding a correspondent,
// reading and paging back through the timeline, narrowing it to direct mail,
// and holding a private chat with the Codex CLI double. Every step goes
// through the window (clicks and keys); the model behind it is the real one
// on the reference service.

#include "api/apiclient.h"
#include "app/appcommands.h"
#include "app/appmodelharness.h"
#include "core/blocking.h"
#include "support/referenceservice.h"
#include "ui/mainwindow.h"

#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace quarn;
using namespace quarn::testing;
using quarn::test::ReferenceService;

namespace {

constexpr int kLoadWait = 20'000;

QStringList g_warnings;
QtMessageHandler g_previousHandler = nullptr;

void recordWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg
        && (message.contains(u"qrc:"_s) || message.contains(u"no icon for the symbol"_s)))
        g_warnings.append(message);
    g_previousHandler(type, context, message);
}

/// The main window on a model, loaded as the application loads it.
class Window
{
public:
    explicit Window(AppModel &model)
        : commands(model)
    {
        QObject::connect(&engine, &QQmlEngine::warnings, [](const QList<QQmlError> &errors) {
            for (const QQmlError &error : errors)
                g_warnings.append(error.toString());
        });
        window = ui::loadMainWindow(engine, model, commands);
    }

    static void collect(QQuickItem *item, const QString &name, QList<QQuickItem *> &out)
    {
        if (!item)
            return;
        if (item->objectName() == name && item->isVisible())
            out.append(item);
        for (QQuickItem *child : item->childItems())
            collect(child, name, out);
    }
    /// The visible items named `name`, in tree order.
    [[nodiscard]] QList<QQuickItem *> all(const QString &name, QQuickItem *under = nullptr) const
    {
        QList<QQuickItem *> out;
        collect(under ? under : window->contentItem(), name, out);
        return out;
    }
    /// The first visible item named `name`, or nullptr.
    [[nodiscard]] QQuickItem *item(const QString &name, QQuickItem *under = nullptr) const
    {
        return all(name, under).value(0);
    }
    [[nodiscard]] QString text(const QString &name, QQuickItem *under = nullptr) const
    {
        QQuickItem *found = item(name, under);
        return found ? found->property("text").toString() : u"<no %1>"_s.arg(name);
    }
    [[nodiscard]] QPointF scenePos(QQuickItem *target) const { return target->mapToScene(QPointF(0, 0)); }

    void click(QQuickItem *target) const
    {
        QVERIFY(target);
        const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
        QTest::mouseClick(window, Qt::LeftButton, {}, centre.toPoint());
    }
    void click(const QString &name) const { click(item(name)); }
    /// Clicks a text field and types into it.
    void type(const QString &field, const QString &text) const
    {
        click(field);
        // One key event per character, with its text, as an input method
        // delivers committed text.
        for (const QChar c : text)
            QTest::sendKeyEvent(QTest::Click, window, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
    void key(Qt::Key key, Qt::KeyboardModifiers modifiers = {}) const { QTest::keyClick(window, key, modifiers); }

    AppCommands commands;
    QQmlApplicationEngine engine;
    QQuickWindow *window = nullptr;
};

template<typename T> T run(QCoro::Task<T> task)
{
    return blockOn(std::move(task), 60s);
}

} // namespace

class TestPeopleScreens : public QObject
{
    Q_OBJECT

    /// A model signed in to the demo mailbox and loaded before its window
    /// opens (the window's own start-up call then finds it done).
    std::unique_ptr<Harness> signedIn(Harness::Codex codex = Harness::Codex::none, const QString &token = {})
    {
        auto h = std::make_unique<Harness>(m_service.baseUrl(), codex);
        if (!h->saveToken(token.isEmpty() ? m_service.token() : token))
            return nullptr;
        run(h->model->bootstrap());
        return h;
    }

    /// Opens the people lens and the person with `email`, found by typing
    /// the address into the search field and clicking the row.
    static void openPerson(Window &w, AppModel &model, const QString &email)
    {
        w.click(u"peopleRow"_s);
        QTRY_COMPARE_WITH_TIMEOUT(model.lens(), MailLens::people, kLoadWait);
        QTRY_VERIFY_WITH_TIMEOUT(!model.isLoading(), kLoadWait);
        w.type(u"peopleSearchField"_s, email);
        QTRY_VERIFY(w.item(u"personRow_"_s + email));
        w.click(u"personRow_"_s + email);
        QTRY_VERIFY_WITH_TIMEOUT(model.personTimeline() && model.personTimeline()->person.email == email, kLoadWait);
        QTRY_VERIFY_WITH_TIMEOUT(!model.isLoading(), kLoadWait);
    }

private Q_SLOTS:
    void initTestCase()
    {
        g_previousHandler = qInstallMessageHandler(recordWarnings);
        QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
        // A newsletter that reached the user only as a blind copy, and a
        // sender who writes once alone and once to a crowd.
        QVERIFY(m_service.deliver({ .from = u"bulletin@example.org"_s,
            .fromName = u"Bulletin"_s,
            .subject = u"Monthly bulletin"_s,
            .body = u"News of the month."_s,
            .accountRole = u"envelope_to"_s }));
        QVERIFY(m_service.deliver({ .from = u"crowd@example.com"_s,
            .fromName = u"Crowd Host"_s,
            .subject = u"Just us"_s,
            .body = u"A word between the two of us."_s }));
        QVERIFY(m_service.deliver({ .from = u"crowd@example.com"_s,
            .fromName = u"Crowd Host"_s,
            .subject = u"Everyone"_s,
            .body = u"Hello all."_s,
            .cc = { u"a1@example.com"_s, u"a2@example.com"_s, u"a3@example.com"_s, u"a4@example.com"_s,
                u"a5@example.com"_s } }));
        // Someone with one conversation needing the user and one waiting.
        const auto decide = m_service.deliver({ .from = u"ana.both@example.com"_s,
            .fromName = u"ana Both"_s,
            .subject = u"Decide"_s,
            .body = u"Which one?"_s });
        const auto wait = m_service.deliver({ .from = u"ana.both@example.com"_s,
            .fromName = u"ana Both"_s,
            .subject = u"Later"_s,
            .body = u"No rush."_s });
        QVERIFY(decide && wait);
        const APIClient api(m_service.baseUrl());
        run(api.setStatus(ConversationStatus::needsYou, decide->conversationId, m_service.token()));
        run(api.setStatus(ConversationStatus::waiting, wait->conversationId, m_service.token()));
    }

    void init() { g_warnings.clear(); }
    void cleanup() { QVERIFY2(g_warnings.isEmpty(), qPrintable(g_warnings.join(u'\n'))); }

    void peopleEmptyStates()
    {
        // An account with a mailbox and nobody to show.
        const auto solo = m_service.addUser(u"Solo"_s, u"solo@example.com"_s, u"solo"_s);
        QVERIFY(solo);
        {
            auto h = signedIn(Harness::Codex::none, solo->token);
            QVERIFY(h);
            Window w(*h->model);
            w.click(u"peopleRow"_s);
            QTRY_COMPARE_WITH_TIMEOUT(h->model->lens(), MailLens::people, kLoadWait);
            QTRY_VERIFY_WITH_TIMEOUT(!h->model->isLoading(), kLoadWait);
            QQuickItem *empty = w.item(u"peopleEmptyState"_s);
            QVERIFY(empty);
            QCOMPARE(empty->property("title").toString(), u"まだ誰もいません"_s);
            QCOMPARE(empty->property("symbol").toString(), u"person.2"_s);
            QCOMPARE(w.text(u"peopleCount"_s), u"0"_s);
            QCOMPARE(w.item(u"timelineEmptyState"_s)->property("title").toString(), u"人を選択"_s);
        }

        // People, but the search matches nobody.
        auto h = signedIn();
        Window w(*h->model);
        w.click(u"peopleRow"_s);
        QTRY_VERIFY_WITH_TIMEOUT(w.item(u"personRow_ken.sato@example.co.jp"_s), kLoadWait);
        QVERIFY(!w.item(u"peopleEmptyState"_s));
        w.type(u"peopleSearchField"_s, u"nobody-by-this-name"_s);
        QTRY_VERIFY(w.item(u"peopleEmptyState"_s));
        QCOMPARE(w.item(u"peopleEmptyState"_s)->property("title").toString(), u"見つかりません"_s);
        QCOMPARE(w.item(u"peopleEmptyState"_s)->property("symbol").toString(), u"magnifyingglass"_s);
        QCOMPARE(w.text(u"peopleCount"_s), u"0"_s);
    }

    void personRowSuffix_data()
    {
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("initial");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<bool>("warm");
        QTest::newRow("waiting only") << u"nakamura@example.jp"_s << u"中"_s << u"Waiting 1"_s << false;
        QTest::newRow("needs you wins over waiting") << u"ana.both@example.com"_s << u"A"_s << u"Needs you 1"_s << true;
        QTest::newRow("neither") << u"crowd@example.com"_s << u"C"_s << QString() << false;
        QTest::newRow("japanese name") << u"ken.sato@example.co.jp"_s << u"佐"_s << u"Needs you 2"_s << true;
    }
    void personRowSuffix()
    {
        QFETCH(QString, email);
        QFETCH(QString, initial);
        QFETCH(QString, suffix);
        QFETCH(bool, warm);
        auto h = signedIn();
        Window w(*h->model);
        w.click(u"peopleRow"_s);
        QTRY_VERIFY_WITH_TIMEOUT(!h->model->people().isEmpty(), kLoadWait);
        w.type(u"peopleSearchField"_s, email);
        QTRY_COMPARE(w.text(u"peopleCount"_s), u"1"_s);
        QQuickItem *row = w.item(u"personRow_"_s + email);
        QVERIFY(row);

        QCOMPARE(w.text(u"avatarInitial"_s, row), initial);
        QVERIFY(w.text(u"activityLine"_s, row).contains(u" threads · "_s));
        QCOMPARE(w.text(u"activitySuffix"_s, row), suffix);
        const auto colour = w.item(u"activitySuffix"_s, row)->property("color").value<QColor>();
        QCOMPARE(colour.name() == QColor::fromRgbF(0.78f, 0.36f, 0.2f).name(), warm);
    }

    void recipientChips_data()
    {
        QTest::addColumn<QString>("person");
        QTest::addColumn<QString>("subject");
        QTest::addColumn<int>("chips");
        QTest::addColumn<QString>("firstChip");
        QTest::addColumn<QString>("overflow");
        QTest::newRow("lone blind copy is shown")
            << u"bulletin@example.org"_s << u"Monthly bulletin"_s << 1 << u"ENVELOPE_TO "_s << QString();
        QTest::newRow("blind copy hidden among two")
            << u"news@example.org"_s << u"【週刊テックニュース】今週の注目トピック"_s << 1 << u"CC 購読者各位"_s
            << QString();
        QTest::newRow("six: four chips and +2") << u"crowd@example.com"_s << u"Everyone"_s << 4 << u"TO "_s << u"+2"_s;
    }
    void recipientChips()
    {
        QFETCH(QString, person);
        QFETCH(QString, subject);
        QFETCH(int, chips);
        QFETCH(QString, firstChip);
        QFETCH(QString, overflow);
        auto h = signedIn();
        Window w(*h->model);
        openPerson(w, *h->model, person);

        QQuickItem *message = nullptr;
        for (const PersonTimelineMessage &m : h->model->filteredPersonMessages()) {
            if (m.subject == subject)
                message = w.item(u"timelineMessage_"_s + m.id);
        }
        QVERIFY(message);
        const QList<QQuickItem *> shown = w.all(u"recipientChip"_s, message);
        QCOMPARE(shown.size(), chips);
        QVERIFY2(shown.first()->property("modelData").toString().startsWith(firstChip),
            qPrintable(shown.first()->property("modelData").toString()));
        QCOMPARE(w.item(u"chipOverflow"_s, message) ? w.text(u"chipOverflow"_s, message) : QString(), overflow);
    }

    void directHidesGroupMessagesWithoutARequest()
    {
        auto h = signedIn();
        Window w(*h->model);
        openPerson(w, *h->model, u"crowd@example.com"_s);
        QObject *view = w.item(u"personTimelineView"_s);
        QCOMPARE(view->property("count").toInt(), 2);

        QSignalSpy loading(h->model.get(), &AppModel::isLoadingChanged);
        QSignalSpy timeline(h->model.get(), &AppModel::personTimelineChanged);
        w.click(u"directSegment"_s);
        // At once: no waiting, and nothing was asked of the service.
        QCOMPARE(view->property("count").toInt(), 1);
        QVERIFY(w.item(u"directSegment"_s)->property("checked").toBool());
        QVERIFY(!w.item(u"groupSegment"_s)->property("checked").toBool());
        QCOMPARE(h->model->filteredPersonMessages().first().subject, u"Just us"_s);
        w.click(u"groupSegment"_s);
        QCOMPARE(view->property("count").toInt(), 2);
        QCOMPARE(loading.count(), 0);
        QCOMPARE(timeline.count(), 0);
    }

    void olderMailKeepsTheReadingPlaceUntilNoPageRemains()
    {
        auto h = signedIn();
        Window w(*h->model);
        openPerson(w, *h->model, u"ken.sato@example.co.jp"_s);
        auto *view = qobject_cast<QQuickItem *>(w.item(u"personTimelineView"_s));
        QVERIFY(view);
        QVERIFY(h->model->personTimeline()->hasMore);

        for (int page = 0; page < 10 && h->model->personTimeline()->hasMore; ++page) {
            // The reader scrolls to the top, where the button is.
            QMetaObject::invokeMethod(view, "positionViewAtBeginning");
            QQuickItem *button = w.item(u"olderMailButton"_s);
            QVERIFY(button);
            QCOMPARE(w.text(u"olderMailButton"_s), u"以前のメールを読み込む"_s);
            QTRY_VERIFY(button->isEnabled());

            // The first message in view, and where it is on screen.
            const PersonTimelineMessage first = h->model->filteredPersonMessages().first();
            QQuickItem *before = w.item(u"timelineMessage_"_s + first.id);
            QVERIFY(before);
            const qreal y = w.scenePos(before).y();
            const int count = view->property("count").toInt();

            w.click(button);
            QTRY_VERIFY_WITH_TIMEOUT(!h->model->isLoadingOlderMessages(), kLoadWait);
            QTRY_VERIFY(view->property("count").toInt() > count);
            QTRY_VERIFY(w.item(u"timelineMessage_"_s + first.id));
            // Still where it was: the new page went above it, out of view.
            QTRY_COMPARE(qRound(w.scenePos(w.item(u"timelineMessage_"_s + first.id)).y()), qRound(y));
        }
        QVERIFY(!h->model->personTimeline()->hasMore);
        QVERIFY(!w.item(u"olderMailButton"_s));
    }

    void aiEmptyStatesAndANewConversation()
    {
        auto h = signedIn();
        Window w(*h->model);
        w.click(u"aiRow"_s);
        QTRY_COMPARE_WITH_TIMEOUT(h->model->lens(), MailLens::ai, kLoadWait);
        QTRY_VERIFY(w.item(u"aiListEmptyState"_s));
        QCOMPARE(w.item(u"aiListEmptyState"_s)->property("title").toString(), u"AIと話す"_s);
        QVERIFY(w.item(u"aiEmptyState"_s));
        QCOMPARE(w.text(u"startAIConversationButton"_s), u"対話を始める"_s);

        w.click(u"startAIConversationButton"_s);
        QTRY_COMPARE(h->model->aiConversations().size(), 1);
        const QString id = h->model->aiConversations().first().id;
        QTRY_VERIFY(w.item(u"aiRow_"_s + id));
        QCOMPARE(w.text(u"aiRowPreview"_s, w.item(u"aiRow_"_s + id)), u"新しい対話"_s);
        QVERIFY(w.item(u"aiRow_"_s + id)->property("highlighted").toBool());
        QVERIFY(!w.item(u"aiListEmptyState"_s));
        QCOMPARE(w.text(u"aiTitle"_s), u"新しい会話"_s);
        QCOMPARE(w.text(u"aiPrivacyLabel"_s), u"Private · Codex CLI · 外部送信なし"_s);
    }

    void sendStaysDisabledWithoutCodexOrText()
    {
        {
            // No Codex CLI: whatever is typed, nothing can be sent.
            auto h = signedIn(Harness::Codex::none);
            Window w(*h->model);
            w.click(u"aiRow"_s);
            QTRY_VERIFY(w.item(u"startAIConversationButton"_s));
            w.click(u"startAIConversationButton"_s);
            QTRY_VERIFY(w.item(u"aiInput"_s));
            w.type(u"aiInput"_s, u"こんにちは"_s);
            QTRY_COMPARE(h->model->aiInput(), u"こんにちは"_s);
            QVERIFY(!w.item(u"aiSendButton"_s)->isEnabled());
            w.key(Qt::Key_Return, Qt::ControlModifier);
            QCOMPARE(h->model->aiConversations().first().messages.size(), 0);
        }
        auto h = signedIn(Harness::Codex::double_);
        QTRY_VERIFY_WITH_TIMEOUT(h->model->isCodexReady(), kLoadWait);
        Window w(*h->model);
        w.click(u"aiRow"_s);
        QTRY_VERIFY(w.item(u"startAIConversationButton"_s));
        w.click(u"startAIConversationButton"_s);
        QTRY_VERIFY(w.item(u"aiInput"_s));
        w.type(u"aiInput"_s, u"  "_s);
        w.key(Qt::Key_Return);
        w.key(Qt::Key_Tab);
        QTRY_COMPARE(h->model->aiInput(), u"  \n\t"_s);
        QVERIFY(!w.item(u"aiSendButton"_s)->isEnabled());
        w.type(u"aiInput"_s, u"x"_s);
        QTRY_VERIFY(w.item(u"aiSendButton"_s)->isEnabled());
        QCOMPARE(w.text(u"aiSendButton"_s), u"送る"_s);
    }

    void chatTurnAnswersInItsOwnConversation()
    {
        auto h = signedIn(Harness::Codex::double_);
        QTRY_VERIFY_WITH_TIMEOUT(h->model->isCodexReady(), kLoadWait);
        h->home.setAnswer(QByteArrayLiteral("会議は木曜です。"));
        h->home.setControl(u"delay_ms=1500\n"_s);
        Window w(*h->model);
        w.click(u"aiRow"_s);
        QTRY_VERIFY(w.item(u"startAIConversationButton"_s));
        w.click(u"startAIConversationButton"_s);
        QTRY_VERIFY(w.item(u"aiInput"_s));
        const QString asked = h->model->aiConversations().first().id;

        w.type(u"aiInput"_s, u"次の会議はいつ？"_s);
        w.key(Qt::Key_Return, Qt::ControlModifier);
        QTRY_VERIFY(h->model->isSendingAIChat());
        QTRY_VERIFY(w.item(u"aiThinkingRow"_s));
        QCOMPARE(w.text(u"aiSendButton"_s), u"応答中…"_s);
        QVERIFY(!w.item(u"aiSendButton"_s)->isEnabled());
        QCOMPARE(h->model->aiInput(), QString());
        QCOMPARE(w.all(u"bubbleContent"_s).size(), 1);

        // The user starts another conversation while the AI thinks.
        w.click(u"newAIConversationButton"_s);
        QTRY_COMPARE(h->model->aiConversations().size(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(!h->model->isSendingAIChat(), kLoadWait);
        QVERIFY(!w.item(u"aiThinkingRow"_s));
        QCOMPARE(w.all(u"bubbleContent"_s).size(), 0);

        // The answer went to the conversation it belongs to.
        QTRY_VERIFY(w.item(u"aiRow_"_s + asked));
        QCOMPARE(w.text(u"aiRowPreview"_s, w.item(u"aiRow_"_s + asked)), u"会議は木曜です。"_s);
        w.click(u"aiRow_"_s + asked);
        QTRY_COMPARE(w.all(u"bubbleContent"_s).size(), 2);
        const QList<QQuickItem *> bubbles = w.all(u"bubbleContent"_s);
        QCOMPARE(bubbles.at(0)->property("text").toString(), u"次の会議はいつ？"_s);
        QCOMPARE(bubbles.at(1)->property("text").toString(), u"会議は木曜です。"_s);
        const QList<QQuickItem *> captions = w.all(u"bubbleCaption"_s);
        QCOMPARE(captions.at(0)->property("text").toString(), u"あなた"_s);
        QCOMPARE(captions.at(1)->property("text").toString(), u"AI"_s);
        // The user's bubble sits right of the AI's.
        QVERIFY(w.scenePos(bubbles.at(0)).x() > w.scenePos(bubbles.at(1)).x());
    }

private:
    ReferenceService m_service;
};

QTEST_MAIN(TestPeopleScreens)
#include "test_people_screens.moc"
