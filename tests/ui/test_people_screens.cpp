// The people and AI lenses as a user works them: finding a correspondent,
// reading and paging back through the timeline, narrowing it to direct mail,
// and holding a private chat with the Codex CLI double. Every step goes
// through the window (clicks and keys); the model behind it is the real one
// on the reference service.

#include "api/apiclient.h"
#include "support/referenceservice.h"
#include "ui/uiharness.h"

#include <QSignalSpy>
#include <QTest>
#include <QUrlQuery>

#include <algorithm>
#include <memory>

using namespace Qt::StringLiterals;
using namespace quarn;
using namespace quarn::testing;
using quarn::test::ReferenceService;

namespace {

constexpr int kLoadWait = 20'000;

/// The first item named `name` that is on screen, below `under` when given.
/// Rows of a list are found by what is shown, not by delegates kept aside.
QQuickItem *visible(const Window &w, const QString &name, QQuickItem *under = nullptr)
{
    return w.findAll(name, under).value(0);
}

/// The `text` of the first item named `name` on screen below `under`.
QString textOf(const Window &w, const QString &name, QQuickItem *under = nullptr)
{
    QQuickItem *found = visible(w, name, under);
    return found ? found->property("text").toString() : u"<no %1>"_s.arg(name);
}

/// Whether the middle of `item` lies inside the window, where a click reaches it.
bool onScreen(const Window &w, QQuickItem *item)
{
    const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
    return QRectF(0, 0, w.window->width(), w.window->height()).contains(centre);
}

QPointF scenePos(QQuickItem *item)
{
    return item->mapToScene(QPointF(0, 0));
}

} // namespace

class TestPeopleScreens : public QObject
{
    Q_OBJECT

    /// A model signed in to the shared mailbox (or with `token`) and loaded,
    /// and the window on it.
    struct Session
    {
        Session() = default;
        Session(Session &&) = default;
        // Whatever a test started on the model ends before the model goes.
        ~Session()
        {
            if (h)
                waitUntilIdle(*h->model);
        }
        std::unique_ptr<Harness> h;
        std::unique_ptr<Window> w;
    };
    Session open(Harness::Codex codex = Harness::Codex::none, const QString &token = {})
    {
        Session s;
        s.h = std::make_unique<Harness>(m_service.baseUrl(), codex);
        if (!s.h->saveToken(token.isEmpty() ? m_service.token() : token))
            qFatal("no token");
        run(s.h->model->bootstrap());
        s.w = std::make_unique<Window>(*s.h->model);
        if (!s.w->window)
            qFatal("%s", qPrintable(UiWarnings::text()));
        return s;
    }

    /// Opens the people lens and the person with `email`, found by typing
    /// the address into the search field and clicking the row.
    static void openPerson(Session &s, const QString &email)
    {
        Window &w = *s.w;
        AppModel &model = *s.h->model;
        w.click(u"peopleRow"_s);
        QTRY_COMPARE_WITH_TIMEOUT(model.lens(), MailLens::people, kLoadWait);
        QTRY_VERIFY_WITH_TIMEOUT(!model.isLoading(), kLoadWait);
        w.type(u"peopleSearchField"_s, email);
        // The list narrows to the one person before the row is clicked.
        QTRY_COMPARE(model.filteredPeople().size(), 1);
        // The rows that went away above it may still be leaving.
        QTRY_VERIFY(visible(w, u"personRow_"_s + email) && onScreen(w, visible(w, u"personRow_"_s + email)));
        w.click(visible(w, u"personRow_"_s + email));
        QTRY_VERIFY_WITH_TIMEOUT(model.personTimeline() && model.personTimeline()->person.email == email, kLoadWait);
        QTRY_VERIFY_WITH_TIMEOUT(!model.isLoading(), kLoadWait);
    }

private Q_SLOTS:
    void initTestCase()
    {
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

    void init() { UiWarnings::clear(); }
    void cleanup() { QVERIFY2(UiWarnings::isEmpty(), qPrintable(UiWarnings::text())); }

    void peopleEmptyStates()
    {
        // An account with a mailbox and nobody to show.
        const auto solo = m_service.addUser(u"Solo"_s, u"solo@example.com"_s, u"solo"_s);
        QVERIFY(solo);
        {
            Session s = open(Harness::Codex::none, solo->token);
            Window &w = *s.w;
            AppModel *model = s.h->model.get();
            w.click(u"peopleRow"_s);
            QTRY_COMPARE_WITH_TIMEOUT(model->lens(), MailLens::people, kLoadWait);
            QTRY_VERIFY_WITH_TIMEOUT(!model->isLoading(), kLoadWait);
            QQuickItem *empty = visible(w, u"peopleEmptyState"_s);
            QVERIFY(empty);
            QCOMPARE(empty->property("title").toString(), u"まだ誰もいません"_s);
            QCOMPARE(empty->property("symbol").toString(), u"person.2"_s);
            QCOMPARE(w.text(u"peopleCount"_s), u"0"_s);
            QCOMPARE(visible(w, u"timelineEmptyState"_s)->property("title").toString(), u"人を選択"_s);
        }

        // People, but the search matches nobody.
        Session s = open();
        Window &w = *s.w;
        w.click(u"peopleRow"_s);
        QTRY_VERIFY_WITH_TIMEOUT(visible(w, u"personRow_ken.sato@example.co.jp"_s), kLoadWait);
        QVERIFY(!visible(w, u"peopleEmptyState"_s));
        w.type(u"peopleSearchField"_s, u"nobody-by-this-name"_s);
        QTRY_VERIFY(visible(w, u"peopleEmptyState"_s));
        QCOMPARE(visible(w, u"peopleEmptyState"_s)->property("title").toString(), u"見つかりません"_s);
        QCOMPARE(visible(w, u"peopleEmptyState"_s)->property("symbol").toString(), u"magnifyingglass"_s);
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
        Session s = open();
        Window &w = *s.w;
        AppModel *model = s.h->model.get();
        w.click(u"peopleRow"_s);
        QTRY_VERIFY_WITH_TIMEOUT(!model->people().isEmpty(), kLoadWait);
        w.type(u"peopleSearchField"_s, email);
        QTRY_COMPARE(w.text(u"peopleCount"_s), u"1"_s);
        QQuickItem *row = visible(w, u"personRow_"_s + email);
        QVERIFY(row);

        QCOMPARE(textOf(w, u"avatarInitial"_s, row), initial);
        QVERIFY(textOf(w, u"activityLine"_s, row).contains(u" threads · "_s));
        QCOMPARE(textOf(w, u"activitySuffix"_s, row), suffix);
        const auto colour = visible(w, u"activitySuffix"_s, row)->property("color").value<QColor>();
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
        Session s = open();
        Window &w = *s.w;
        AppModel *model = s.h->model.get();
        openPerson(s, person);

        // The reader scrolls to the message (the view starts at the newest).
        const QList<PersonTimelineMessage> messages = model->filteredPersonMessages();
        const auto found = std::find_if(
            messages.cbegin(), messages.cend(), [&](const PersonTimelineMessage &m) { return m.subject == subject; });
        QVERIFY(found != messages.cend());
        QQuickItem *view = visible(w, u"personTimelineView"_s);
        constexpr int kCenter = 1; // ListView.Center
        QMetaObject::invokeMethod(
            view, "positionViewAtIndex", Q_ARG(int, int(found - messages.cbegin())), Q_ARG(int, kCenter));
        QTRY_VERIFY(visible(w, u"timelineMessage_"_s + found->id));
        QQuickItem *message = visible(w, u"timelineMessage_"_s + found->id);
        const QList<QQuickItem *> shown = w.findAll(u"recipientChip"_s, message);
        QCOMPARE(shown.size(), chips);
        QVERIFY2(shown.first()->property("modelData").toString().startsWith(firstChip),
            qPrintable(shown.first()->property("modelData").toString()));
        QCOMPARE(visible(w, u"chipOverflow"_s, message) ? textOf(w, u"chipOverflow"_s, message) : QString(), overflow);
    }

    void directHidesGroupMessagesWithoutARequest()
    {
        Session s = open();
        Window &w = *s.w;
        AppModel *model = s.h->model.get();
        openPerson(s, u"crowd@example.com"_s);
        QObject *view = visible(w, u"personTimelineView"_s);
        QCOMPARE(view->property("count").toInt(), 2);

        QSignalSpy loading(model, &AppModel::isLoadingChanged);
        QSignalSpy timeline(model, &AppModel::personTimelineChanged);
        w.click(u"directSegment"_s);
        // At once: no waiting, and nothing was asked of the service.
        QCOMPARE(view->property("count").toInt(), 1);
        QVERIFY(visible(w, u"directSegment"_s)->property("checked").toBool());
        QVERIFY(!visible(w, u"groupSegment"_s)->property("checked").toBool());
        QCOMPARE(model->filteredPersonMessages().first().subject, u"Just us"_s);
        w.click(u"groupSegment"_s);
        QCOMPARE(view->property("count").toInt(), 2);
        // Exactly one segment is chosen, also after choosing the chosen one again.
        for (int again = 0; again < 2; ++again) {
            QVERIFY(visible(w, u"groupSegment"_s)->property("checked").toBool());
            QVERIFY(!visible(w, u"directSegment"_s)->property("checked").toBool());
            w.click(u"groupSegment"_s);
        }
        QCOMPARE(view->property("count").toInt(), 2);
        QCOMPARE(loading.count(), 0);
        QCOMPARE(timeline.count(), 0);
    }

    void olderMailKeepsTheReadingPlaceUntilNoPageRemains()
    {
        Session s = open();
        Window &w = *s.w;
        AppModel *model = s.h->model.get();
        openPerson(s, u"ken.sato@example.co.jp"_s);
        auto *view = qobject_cast<QQuickItem *>(visible(w, u"personTimelineView"_s));
        QVERIFY(view);
        QVERIFY(model->personTimeline()->hasMore);
        // The timeline opens at its newest message.
        const QString newest = u"timelineMessage_"_s + model->filteredPersonMessages().last().id;
        QTRY_VERIFY(visible(w, newest) && onScreen(w, visible(w, newest)));

        for (int page = 0; page < 10 && model->personTimeline()->hasMore; ++page) {
            // The reader scrolls to the top, where the button is. The view
            // learns the heights of rows it has not shown yet on the way, so
            // the top may take more than one move to reach.
            QQuickItem *button = visible(w, u"olderMailButton"_s);
            QVERIFY(button);
            const auto scrolledToTop = [&] {
                QMetaObject::invokeMethod(view, "positionViewAtBeginning");
                return QQuickTest::qWaitForPolish(w.window) && onScreen(w, button);
            };
            QTRY_VERIFY(scrolledToTop());
            QCOMPARE(w.text(u"olderMailButton"_s), u"以前のメールを読み込む"_s);
            QTRY_VERIFY(button->isEnabled());

            // The first message in view, and where it is on screen.
            const PersonTimelineMessage first = model->filteredPersonMessages().first();
            QQuickItem *before = visible(w, u"timelineMessage_"_s + first.id);
            QVERIFY(before);
            const qreal y = scenePos(before).y();
            const int count = view->property("count").toInt();

            w.click(button);
            QTRY_VERIFY_WITH_TIMEOUT(!model->isLoadingOlderMessages(), kLoadWait);
            QTRY_VERIFY(view->property("count").toInt() > count);
            QTRY_VERIFY(visible(w, u"timelineMessage_"_s + first.id));
            // Still where it was: the new page went above it, out of view.
            QTRY_COMPARE(qRound(scenePos(visible(w, u"timelineMessage_"_s + first.id)).y()), qRound(y));
        }
        QVERIFY(!model->personTimeline()->hasMore);
        QVERIFY(!visible(w, u"olderMailButton"_s));
    }

    // Opening the person already shown again brings in their newest mail
    // without throwing away the pages the reader loaded or moving the view.
    void openingTheShownPersonAgainKeepsTheirPages()
    {
        Session s = open();
        Window &w = *s.w;
        AppModel *model = s.h->model.get();
        const QString email = u"ken.sato@example.co.jp"_s;
        openPerson(s, email);
        auto *view = qobject_cast<QQuickItem *>(visible(w, u"personTimelineView"_s));
        QVERIFY(view);
        QVERIFY(model->personTimeline()->hasMore);
        QQuickItem *button = visible(w, u"olderMailButton"_s);
        QVERIFY(button);
        QTRY_VERIFY([&] {
            QMetaObject::invokeMethod(view, "positionViewAtBeginning");
            return QQuickTest::qWaitForPolish(w.window) && onScreen(w, button);
        }());
        const int firstPage = view->property("count").toInt();
        const QString first = u"timelineMessage_"_s + model->filteredPersonMessages().first().id;
        w.click(button);
        QTRY_VERIFY_WITH_TIMEOUT(view->property("count").toInt() > firstPage, kLoadWait);
        QTRY_VERIFY(!model->isLoadingOlderMessages());
        const int loaded = view->property("count").toInt();
        QTRY_VERIFY(visible(w, first) && onScreen(w, visible(w, first)));
        QVERIFY(QQuickTest::qWaitForPolish(w.window));
        const qreal y = scenePos(visible(w, first)).y();

        QSignalSpy loading(model, &AppModel::isLoadingChanged);
        w.click(visible(w, u"personRow_"_s + email));
        QTRY_VERIFY_WITH_TIMEOUT(loading.size() >= 2 && !model->isLoading(), kLoadWait);
        QVERIFY(QQuickTest::qWaitForPolish(w.window));
        QCOMPARE(view->property("count").toInt(), loaded);
        QVERIFY(visible(w, first));
        QCOMPARE(qRound(scenePos(visible(w, first)).y()), qRound(y));
        QVERIFY(!visible(w, u"openingPersonState"_s));
    }

    // The people list and a chosen person are on their way before they show;
    // a person whose timeline could not be loaded can be tried again.
    void peopleAndPersonLoadBeforeTheyShow()
    {
        FakeService service;
        const PersonSummary kim { u"kim@example.com"_s, u"Kim"_s, 1, 1, 1'700'000'000'000, 0, 0 };
        const PersonSummary lee { u"lee@example.com"_s, u"Lee"_s, 1, 1, 1'700'000'000'000, 0, 0 };
        MailState state;
        state.viewer = Viewer { u"user_1"_s, u"Me"_s, u"me@example.jp"_s };
        state.mailbox = Mailbox { u"me@example.jp"_s, u"Me"_s };
        state.status = ConversationStatus::needsYou;
        service.route("GET", "/api/state?status=needs_you", state);
        // The start's people list fails: the lens opens on a list never loaded.
        service.route("GET", "/api/people", 500, R"({"error":"server_error"})");
        const auto timelineOf = [](const PersonSummary &p) {
            PersonTimeline timeline;
            timeline.person = p;
            PersonTimelineMessage m;
            m.id = u"m_"_s + p.displayName;
            m.conversationId = u"conv_"_s + p.displayName;
            m.subject = u"件名"_s;
            m.senderEmail = p.email;
            m.senderName = p.displayName;
            m.channel = u"email"_s;
            m.bodyText = u"本文"_s;
            m.createdAt = 1'700'000'000'000;
            timeline.messages = { m };
            return timeline;
        };
        for (const PersonSummary &p : { kim, lee })
            service.route("GET", "/api/people/" + p.email.toUtf8() + "/timeline", timelineOf(p));
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(u"tok_mail_"_s + QString(43, u'p')));
        run(h.model->bootstrap());
        QVERIFY(h.model->people().isEmpty());
        h.model->setErrorMessage(std::nullopt);
        Window w(*h.model);

        service.route("GET", "/api/people", PeopleResponse { { kim, lee } });
        std::shared_ptr<Gate> gate = service.hold("GET", "/api/people");
        w.click(u"peopleRow"_s);
        QTRY_COMPARE_WITH_TIMEOUT(gate->arrived(), 1, kLoadWait);
        QTRY_VERIFY(visible(w, u"peopleLoadingState"_s));
        QCOMPARE(textOf(w, u"loadingLabel"_s, visible(w, u"peopleLoadingState"_s)), u"読み込み中…"_s);
        QVERIFY(!visible(w, u"peopleEmptyState"_s));
        gate->open();
        QTRY_VERIFY_WITH_TIMEOUT(visible(w, u"personRow_kim@example.com"_s), kLoadWait);
        QVERIFY(!visible(w, u"peopleLoadingState"_s));

        w.click(visible(w, u"personRow_kim@example.com"_s));
        QTRY_COMPARE_WITH_TIMEOUT(textOf(w, u"timelineName"_s), u"Kim"_s, kLoadWait);
        gate = service.hold("GET", "/api/people/lee@example.com/timeline");
        w.click(visible(w, u"personRow_lee@example.com"_s));
        QTRY_VERIFY(visible(w, u"openingPersonState"_s));
        QQuickItem *opening = visible(w, u"openingPersonState"_s);
        QCOMPARE(textOf(w, u"loadingTitle"_s, opening), u"Lee"_s);
        QVERIFY(visible(w, u"loadingSpinner"_s, opening));
        // Neither the previous person's timeline nor the invitation to choose.
        QVERIFY(!visible(w, u"timelineName"_s));
        QVERIFY(!visible(w, u"timelineEmptyState"_s));
        gate->open();
        QTRY_COMPARE_WITH_TIMEOUT(textOf(w, u"timelineName"_s), u"Lee"_s, kLoadWait);
        QVERIFY(!visible(w, u"openingPersonState"_s));

        service.route("GET", "/api/people/kim@example.com/timeline", 500, R"({"error":"server_error"})");
        w.click(visible(w, u"personRow_kim@example.com"_s));
        QTRY_VERIFY_WITH_TIMEOUT(visible(w, u"loadingRetry"_s, visible(w, u"openingPersonState"_s)), kLoadWait);
        QCOMPARE(textOf(w, u"loadingTitle"_s, visible(w, u"openingPersonState"_s)), u"Kim"_s);
        QVERIFY(!visible(w, u"loadingSpinner"_s, visible(w, u"openingPersonState"_s)));
        QVERIFY(!visible(w, u"timelineEmptyState"_s));
        QTRY_VERIFY(w.shown(u"closeErrorButton"_s));
        w.click(u"closeErrorButton"_s);
        QTRY_VERIFY(!h.model->errorMessage());
        service.route("GET", "/api/people/kim@example.com/timeline", timelineOf(kim));
        w.click(visible(w, u"loadingRetry"_s, visible(w, u"openingPersonState"_s)));
        QTRY_COMPARE_WITH_TIMEOUT(textOf(w, u"timelineName"_s), u"Kim"_s, kLoadWait);
        QVERIFY(!visible(w, u"openingPersonState"_s));
        waitUntilIdle(*h.model);
    }

    // A page that says there is more but gives no cursor to ask with offers
    // no button that could do nothing.
    void noOlderMailButtonWithoutACursor()
    {
        FakeService service;
        const PersonSummary person { u"kim@example.com"_s, u"Kim"_s, 1, 1, 1'700'000'000'000, 0, 0 };
        MailState state;
        state.viewer = Viewer { u"user_1"_s, u"Me"_s, u"me@example.jp"_s };
        state.mailbox = Mailbox { u"me@example.jp"_s, u"Me"_s };
        service.route("GET", "/api/state?status=needs_you", state);
        service.route("GET", "/api/people", PeopleResponse { { person } });
        PersonTimeline timeline;
        timeline.person = person;
        timeline.hasMore = true;
        service.route("GET", "/api/people/kim@example.com/timeline", timeline);
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(u"tok_mail_"_s + QString(43, u'd')));
        run(h.model->bootstrap());
        Window w(*h.model);
        run(h.model->openPerson(person.email));
        QTRY_COMPARE(w.text(u"timelineName"_s), u"Kim"_s);
        QVERIFY(h.model->personTimeline()->hasMore);
        QVERIFY(QQuickTest::qWaitForPolish(w.window));
        QVERIFY(!visible(w, u"olderMailButton"_s));
    }

    void aiEmptyStatesAndANewConversation()
    {
        Session s = open();
        Window &w = *s.w;
        AppModel *model = s.h->model.get();
        w.click(u"aiRow"_s);
        QTRY_COMPARE_WITH_TIMEOUT(model->lens(), MailLens::ai, kLoadWait);
        QTRY_VERIFY(visible(w, u"aiListEmptyState"_s));
        QCOMPARE(visible(w, u"aiListEmptyState"_s)->property("title").toString(), u"AIと話す"_s);
        QVERIFY(visible(w, u"aiEmptyState"_s));
        QCOMPARE(w.text(u"startAIConversationButton"_s), u"対話を始める"_s);

        w.click(u"startAIConversationButton"_s);
        QTRY_COMPARE(model->aiConversations().size(), 1);
        const QString id = model->aiConversations().first().id;
        QTRY_VERIFY(visible(w, u"aiRow_"_s + id));
        QCOMPARE(textOf(w, u"aiRowPreview"_s, visible(w, u"aiRow_"_s + id)), u"新しい対話"_s);
        QVERIFY(visible(w, u"aiRow_"_s + id)->property("highlighted").toBool());
        QVERIFY(!visible(w, u"aiListEmptyState"_s));
        QCOMPARE(w.text(u"aiTitle"_s), u"新しい会話"_s);
        QCOMPARE(w.text(u"aiPrivacyLabel"_s), u"Private · Codex CLI · 外部送信なし"_s);
    }

    void sendStaysDisabledWithoutCodexOrText()
    {
        {
            // No Codex CLI: whatever is typed, nothing can be sent.
            Session s = open(Harness::Codex::none);
            Window &w = *s.w;
            AppModel *model = s.h->model.get();
            w.click(u"aiRow"_s);
            QTRY_VERIFY(visible(w, u"startAIConversationButton"_s));
            w.click(u"startAIConversationButton"_s);
            QTRY_VERIFY(visible(w, u"aiInput"_s));
            w.type(u"aiInput"_s, u"こんにちは"_s);
            QTRY_COMPARE(model->aiInput(), u"こんにちは"_s);
            QVERIFY(!visible(w, u"aiSendButton"_s)->isEnabled());
            w.key(Qt::Key_Return, Qt::ControlModifier);
            QCOMPARE(model->aiConversations().first().messages.size(), 0);
        }
        Session s = open(Harness::Codex::double_);
        QTRY_VERIFY_WITH_TIMEOUT(s.h->model->isCodexReady(), kLoadWait);
        Window &w = *s.w;
        AppModel *model = s.h->model.get();
        w.click(u"aiRow"_s);
        QTRY_VERIFY(visible(w, u"startAIConversationButton"_s));
        w.click(u"startAIConversationButton"_s);
        QTRY_VERIFY(visible(w, u"aiInput"_s));
        w.type(u"aiInput"_s, u"  "_s);
        w.key(Qt::Key_Return);
        w.key(Qt::Key_Tab);
        QTRY_COMPARE(model->aiInput(), u"  \n\t"_s);
        QVERIFY(!visible(w, u"aiSendButton"_s)->isEnabled());
        w.type(u"aiInput"_s, u"x"_s);
        QTRY_VERIFY(visible(w, u"aiSendButton"_s)->isEnabled());
        QCOMPARE(w.text(u"aiSendButton"_s), u"送る"_s);
    }

    void chatTurnAnswersInItsOwnConversation()
    {
        Session s = open(Harness::Codex::double_);
        QTRY_VERIFY_WITH_TIMEOUT(s.h->model->isCodexReady(), kLoadWait);
        s.h->home.setAnswer(QByteArrayLiteral("会議は木曜です。"));
        s.h->home.setControl(u"delay_ms=1500\n"_s);
        Window &w = *s.w;
        AppModel *model = s.h->model.get();
        w.click(u"aiRow"_s);
        QTRY_VERIFY(visible(w, u"startAIConversationButton"_s));
        w.click(u"startAIConversationButton"_s);
        QTRY_VERIFY(visible(w, u"aiInput"_s));
        const QString asked = model->aiConversations().first().id;

        w.type(u"aiInput"_s, u"次の会議はいつ？"_s);
        w.key(Qt::Key_Return, Qt::ControlModifier);
        QTRY_VERIFY(model->isSendingAIChat());
        QTRY_VERIFY(visible(w, u"aiThinkingRow"_s));
        QCOMPARE(w.text(u"aiSendButton"_s), u"応答中…"_s);
        QVERIFY(!visible(w, u"aiSendButton"_s)->isEnabled());
        QCOMPARE(model->aiInput(), QString());
        QCOMPARE(w.findAll(u"bubbleContent"_s).size(), 1);

        // The user starts another conversation while the AI thinks.
        w.click(u"newAIConversationButton"_s);
        QTRY_COMPARE(model->aiConversations().size(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(!model->isSendingAIChat(), kLoadWait);
        QVERIFY(!visible(w, u"aiThinkingRow"_s));
        QCOMPARE(w.findAll(u"bubbleContent"_s).size(), 0);

        // The answer went to the conversation it belongs to.
        QTRY_VERIFY(visible(w, u"aiRow_"_s + asked));
        QCOMPARE(textOf(w, u"aiRowPreview"_s, visible(w, u"aiRow_"_s + asked)), u"会議は木曜です。"_s);
        w.click(u"aiRow_"_s + asked);
        QTRY_COMPARE(w.findAll(u"bubbleContent"_s).size(), 2);
        const QList<QQuickItem *> bubbles = w.findAll(u"bubbleContent"_s);
        QCOMPARE(bubbles.at(0)->property("text").toString(), u"次の会議はいつ？"_s);
        QCOMPARE(bubbles.at(1)->property("text").toString(), u"会議は木曜です。"_s);
        const QList<QQuickItem *> captions = w.findAll(u"bubbleCaption"_s);
        QCOMPARE(captions.at(0)->property("text").toString(), u"あなた"_s);
        QCOMPARE(captions.at(1)->property("text").toString(), u"AI"_s);
        // The user's bubble sits right of the AI's.
        QVERIFY(scenePos(bubbles.at(0)).x() > scenePos(bubbles.at(1)).x());
    }

    void todoFromAnAIConversationOpensTheOrroSheet()
    {
        Session s = open(Harness::Codex::double_);
        Window &w = *s.w;
        AppModel *model = s.h->model.get();
        QTRY_VERIFY_WITH_TIMEOUT(model->isCodexReady(), kLoadWait);
        s.h->home.setAnswer(QByteArrayLiteral("木曜の会議の資料を用意する"));
        w.click(u"aiRow"_s);
        QTRY_VERIFY(w.shown(u"startAIConversationButton"_s));
        w.click(u"startAIConversationButton"_s);
        QTRY_VERIFY(w.shown(u"aiInput"_s));
        w.type(u"aiInput"_s, u"次にやることは？"_s);
        w.click(u"aiSendButton"_s);
        QTRY_VERIFY_WITH_TIMEOUT(!model->isSendingAIChat(), kLoadWait);
        QTRY_COMPARE(w.findAll(u"bubbleContent"_s).size(), 2);
        const AIConversation conversation = model->aiConversations().first();

        // Prefilled from the conversation: its title, and its last message as the notes.
        QObject *sheet = w.find(u"orroActionSheet"_s);
        QVERIFY(sheet);
        w.click(u"aiTodoButton"_s);
        QTRY_VERIFY(sheet->property("opened").toBool());
        QCOMPARE(w.text(u"orroSheetTitle"_s), u"OrroのTodoに追加"_s);
        QCOMPARE(w.text(u"orroTitleField"_s), conversation.title);
        QCOMPARE(w.text(u"orroNotesEditor"_s), u"木曜の会議の資料を用意する"_s);
        QVERIFY(!w.item(u"orroDateToggle"_s)->property("checked").toBool());

        // Added as a Todo that refers back to the AI conversation.
        w.click(u"orroAddButton"_s);
        QTRY_VERIFY(!sheet->property("visible").toBool());
        QCOMPARE(s.h->opened.size(), 1);
        const QUrl url = s.h->opened.last();
        QCOMPARE(url.path(), u"/task"_s);
        QCOMPARE(QUrlQuery(url).queryItemValue(u"sourceId"_s), conversation.id);
        QCOMPARE(model->aiConversations().first().messages.size(), 2);
    }

private:
    ReferenceService m_service;
};

QTEST_MAIN(TestPeopleScreens)
#include "test_people_screens.moc"
