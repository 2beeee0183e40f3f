// The work lens as a user drives it: clicks, keys and typing on the window,
// over the real model on the reference service's demo mailbox (a fresh one
// per test, since the tests change it) and the Codex CLI double.

#include "api/apiclient.h"
#include "model/json.h"
#include "support/referenceservice.h"
#include "ui/uiharness.h"

#include <QColor>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <QUrlQuery>

#include <memory>

using namespace Qt::StringLiterals;
using namespace quarn;
using namespace quarn::testing;
using quarn::test::ReferenceService;

namespace {

/// An insight with a deadline, as the double hands it back.
QByteArray insightWithDeadline(const QString &summary, const QString &request, const QString &deadline)
{
    AiInsight insight;
    insight.summary = summary;
    insight.request = request;
    insight.deadline = deadline;
    insight.suggestedStatus = ConversationStatus::needsYou;
    insight.risk = u"low"_s;
    return encodeJson(insight);
}

} // namespace

class TestWork : public QObject
{
    Q_OBJECT

private:
    /// A model signed in to a fresh demo mailbox and started; the window on it.
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
        std::unique_ptr<ReferenceService> service;
        std::unique_ptr<Harness> h;
        std::unique_ptr<Window> w;
    };
    static Session open(Harness::Codex codex = Harness::Codex::none, bool emptyMailbox = false)
    {
        Session s;
        s.service = std::make_unique<ReferenceService>(
            emptyMailbox ? ReferenceService::Data::Empty : ReferenceService::Data::Demo);
        if (!s.service->start())
            qFatal("%s", qPrintable(s.service->errorString()));
        QString token = s.service->token();
        if (emptyMailbox) {
            const auto account = s.service->addUser(u"Kim Lee"_s, u"kim@example.com"_s, u"kim"_s);
            if (!account)
                qFatal("no account");
            token = account->token;
        }
        s.h = std::make_unique<Harness>(s.service->baseUrl(), codex);
        // The start-up's triage pass gets an answer that leaves the lists as they are.
        s.h->home.setAnswer(insightJson(u"整理済み"_s, u"inbox"_s));
        if (!s.h->saveToken(token))
            qFatal("no token");
        run(s.h->model->bootstrap());
        (void)s.h->execRan();
        s.w = std::make_unique<Window>(*s.h->model);
        if (!s.w->window)
            qFatal("%s", qPrintable(UiWarnings::text()));
        return s;
    }
    /// The id of the conversation listed under `status` with `subject`.
    static QString idOf(AppModel &model, const QString &subject)
    {
        for (const ConversationListItem &c : model.filteredConversations()) {
            if (c.subject == subject)
                return c.id;
        }
        return {};
    }
    /// Shows `status`'s list and opens the conversation with `subject` there, by clicks.
    static void openBySubject(Session &s, const QString &status, const QString &subject)
    {
        s.w->click(u"statusRow_"_s + status);
        QTRY_COMPARE_WITH_TIMEOUT(rawValue(s.h->model->selectedStatus()), status, 20'000);
        QTRY_VERIFY_WITH_TIMEOUT(!idOf(*s.h->model, subject).isEmpty(), 20'000);
        const QString id = idOf(*s.h->model, subject);
        QTRY_VERIFY(s.w->shown(u"conversationRow_"_s + id));
        s.w->click(u"conversationRow_"_s + id);
        QTRY_VERIFY_WITH_TIMEOUT(s.h->model->detail() && s.h->model->detail()->id == id, 20'000);
        QTRY_COMPARE(s.w->text(u"detailSubject"_s), subject);
    }

    /// A scripted mailbox for answers held back or failing on demand: `rows`
    /// need the user, every other list is empty, nobody is in the people list.
    struct Scripted
    {
        explicit Scripted(const QList<ConversationListItem> &rows,
            std::chrono::milliseconds refreshInterval = AppCommands::kRefreshInterval)
        {
            for (ConversationStatus status : allCases<ConversationStatus>())
                service.route("GET", stateTarget(status),
                    mailState(status, status == ConversationStatus::needsYou ? rows : QList<ConversationListItem>()));
            service.route("GET", "/api/people", PeopleResponse {});
            for (const ConversationListItem &c : rows)
                service.route("GET", "/api/conversations/" + c.id.toUtf8(), detailOf(c));
            h = std::make_unique<Harness>(service.baseUrl());
            if (!h->saveToken(u"tok_mail_"_s + QString(43, u'w')))
                qFatal("no token");
            run(h->model->bootstrap());
            w = std::make_unique<Window>(*h->model, refreshInterval);
            if (!w->window)
                qFatal("%s", qPrintable(UiWarnings::text()));
        }
        ~Scripted() { waitUntilIdle(*h->model); }
        FakeService service;
        std::unique_ptr<Harness> h;
        std::unique_ptr<Window> w;
    };

private Q_SLOTS:
    void initTestCase()
    {
        QLocale::setDefault(QLocale(u"en_US"_s));
        // As with a screen reader running: controls publish their names.
        QAccessible::setActive(true);
    }
    void init() { UiWarnings::clear(); }
    void cleanup() { QVERIFY2(UiWarnings::isEmpty(), qPrintable(UiWarnings::text())); }

    void sidebarAndToolbarFollowTheLens_data()
    {
        QTest::addColumn<QString>("row");
        QTest::addColumn<QString>("lens");
        QTest::addColumn<QString>("primaryButton");
        QTest::addColumn<bool>("composeButton");
        QTest::newRow("a status") << u"statusRow_waiting"_s << u"work"_s << u"更新"_s << true;
        QTest::newRow("People") << u"peopleRow"_s << u"people"_s << u"更新"_s << true;
        QTest::newRow("AI") << u"aiRow"_s << u"ai"_s << u"新しいAI Conversation"_s << false;
    }
    void sidebarAndToolbarFollowTheLens()
    {
        QFETCH(QString, row);
        QFETCH(QString, lens);
        QFETCH(QString, primaryButton);
        QFETCH(bool, composeButton);
        Session s = open();
        s.w->click(row);
        QTRY_COMPARE_WITH_TIMEOUT(rawValue(s.h->model->lens()), lens, 20'000);
        QTRY_VERIFY_WITH_TIMEOUT(!s.h->model->isLoading(), 20'000);

        // The selected status stays semibold in every lens; a row is
        // highlighted only while its own list is on screen.
        const QString status = rawValue(s.h->model->selectedStatus());
        for (ConversationStatus c : allCases<ConversationStatus>()) {
            QQuickItem *r = s.w->item(u"statusRow_"_s + rawValue(c));
            QCOMPARE(r->property("bold").toBool(), rawValue(c) == status);
            QCOMPARE(r->property("highlighted").toBool(), lens == u"work"_s && rawValue(c) == status);
        }
        QCOMPARE(s.w->item(u"peopleRow"_s)->property("highlighted").toBool(), lens == u"people"_s);
        QCOMPARE(s.w->item(u"aiRow"_s)->property("highlighted").toBool(), lens == u"ai"_s);

        QCOMPARE(s.w->text(u"primaryToolbarButton"_s), primaryButton);
        QCOMPARE(s.w->item(u"composeToolbarButton"_s)->isVisible(), composeButton);
        // The first button waits for the load it starts.
        QVERIFY(s.w->item(u"primaryToolbarButton"_s)->property("enabled").toBool());
        if (lens != u"ai"_s) {
            QQuickItem *primary = s.w->item(u"primaryToolbarButton"_s);
            QSignalSpy enabling(primary, SIGNAL(enabledChanged()));
            s.w->click(u"primaryToolbarButton"_s);
            // Disabled while its load runs, enabled again after.
            QTRY_VERIFY_WITH_TIMEOUT(enabling.size() >= 2, 20'000);
            QTRY_VERIFY_WITH_TIMEOUT(primary->property("enabled").toBool(), 20'000);
        }
    }

    void composeButtonHoverHonoursReducedMotion_data()
    {
        QTest::addColumn<bool>("reduceMotion");
        QTest::newRow("animated") << false;
        QTest::newRow("reduced motion") << true;
    }
    void composeButtonHoverHonoursReducedMotion()
    {
        QFETCH(bool, reduceMotion);
        Session s = open();
        QQuickItem *button = s.w->item(u"sidebarComposeButton"_s);
        button->setProperty("reduceMotion", reduceMotion);
        QObject *fill = s.w->find(u"composeButtonFill"_s);
        QSignalSpy changes(fill, SIGNAL(colorChanged()));
        const QColor resting = fill->property("color").value<QColor>();
        QTest::mouseMove(s.w->window, QPoint(1, 1));
        s.w->hover(u"sidebarComposeButton"_s);
        QTRY_VERIFY(button->property("isHovering").toBool());
        QTRY_VERIFY(fill->property("color").value<QColor>() != resting);
        // An animation passes through colours in between; without one the
        // fill changes once.
        if (reduceMotion) {
            QTest::qWait(400);
            QCOMPARE(changes.size(), 1);
        } else {
            QTRY_VERIFY(changes.size() > 1);
        }

        s.w->click(u"sidebarComposeButton"_s);
        QTRY_VERIFY(s.h->model->composePresented());
    }

    void listEmptyStates_data()
    {
        QTest::addColumn<bool>("emptyMailbox");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("search");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("symbol");
        QTest::newRow("search without match")
            << false << u"inbox"_s << u"zzqx"_s << u"見つかりません"_s << u"magnifyingglass"_s;
        QTest::newRow("empty list") << true << u"waiting"_s << u""_s << u"ここは空です"_s << u"clock"_s;
        QTest::newRow("empty list, search")
            << true << u"done"_s << u"zzqx"_s << u"見つかりません"_s << u"magnifyingglass"_s;
    }
    void listEmptyStates()
    {
        QFETCH(bool, emptyMailbox);
        QFETCH(QString, status);
        QFETCH(QString, search);
        QFETCH(QString, title);
        QFETCH(QString, symbol);
        Session s = open(Harness::Codex::none, emptyMailbox);
        s.w->click(u"statusRow_"_s + status);
        QTRY_COMPARE_WITH_TIMEOUT(rawValue(s.h->model->selectedStatus()), status, 20'000);
        QTRY_VERIFY_WITH_TIMEOUT(!s.h->model->isLoading(), 20'000);
        if (!search.isEmpty())
            s.w->type(u"searchField"_s, search);

        QTRY_VERIFY(s.w->shown(u"listEmptyState"_s));
        QQuickItem *empty = s.w->item(u"listEmptyState"_s);
        QCOMPARE(empty->property("title").toString(), title);
        QCOMPARE(empty->property("symbol").toString(), symbol);
        QCOMPARE(s.w->text(u"listCount"_s), u"0"_s);
        QCOMPARE(s.w->text(u"listTitle"_s), s.w->item(u"statusRow_"_s + status)->property("label").toString());

        // Clearing the search brings back the list, or the status's own empty state.
        if (!search.isEmpty()) {
            s.w->clear(u"searchField"_s);
            QTRY_COMPARE(s.h->model->searchText(), QString());
            if (emptyMailbox)
                QTRY_COMPARE(empty->property("title").toString(), u"ここは空です"_s);
            else
                QTRY_VERIFY(!s.w->shown(u"listEmptyState"_s));
        }
    }

    // A status whose list has not answered yet is on its way, not empty.
    void listLoadsBeforeItIsEmpty()
    {
        Scripted s({});
        Window &w = *s.w;
        const std::shared_ptr<Gate> gate = s.service.hold("GET", stateTarget(ConversationStatus::done));
        w.click(u"statusRow_done"_s);
        QTRY_COMPARE(gate->arrived(), 1);
        QTRY_VERIFY(w.shown(u"listLoadingState"_s));
        QCOMPARE(Window::findItem(w.item(u"listLoadingState"_s), u"loadingLabel"_s)->property("text").toString(),
            u"読み込み中…"_s);
        QVERIFY(Window::findItem(w.item(u"listLoadingState"_s), u"loadingSpinner"_s)->isVisible());
        QVERIFY(!w.shown(u"listEmptyState"_s));

        gate->open();
        QTRY_VERIFY_WITH_TIMEOUT(w.shown(u"listEmptyState"_s), 20'000);
        QCOMPARE(w.item(u"listEmptyState"_s)->property("title").toString(), u"ここは空です"_s);
        QVERIFY(!w.shown(u"listLoadingState"_s));
        // A reload of the answered list keeps saying it is empty. (The
        // toolbar's reload waits until the loading that followed is over.)
        QTRY_VERIFY_WITH_TIMEOUT(!s.h->model->isLoading(), 20'000);
        const std::shared_ptr<Gate> reload = s.service.hold("GET", stateTarget(ConversationStatus::done));
        w.click(u"primaryToolbarButton"_s);
        QTRY_COMPARE(reload->arrived(), 1);
        QVERIFY(s.h->model->isLoading());
        QVERIFY(w.shown(u"listEmptyState"_s));
        QVERIFY(!w.shown(u"listLoadingState"_s));
        reload->open();
    }

    // The chosen row's conversation shows as on its way at once; the one
    // shown before is out of reach, so nothing typed or sent can go to it.
    // A failed load says so and can be tried again.
    void choosingAConversationShowsItOnItsWay()
    {
        const ConversationListItem a = item(u"conv_a"_s, ConversationStatus::needsYou, u"最初の件名"_s);
        const ConversationListItem b
            = item(u"conv_b"_s, ConversationStatus::needsYou, u"次の件名"_s, u"Lee"_s, u"lee@example.com"_s);
        const ConversationListItem c = item(u"conv_c"_s, ConversationStatus::needsYou, u"三つ目の件名"_s);
        // B and C are neither among the first rows nor next to one opened
        // before them, so nothing fetched them ahead.
        QList<ConversationListItem> rows { a };
        for (const QString &id : { u"conv_p"_s, u"conv_q"_s })
            rows.append(item(id, ConversationStatus::needsYou));
        rows.append(b);
        rows.append(item(u"conv_r"_s, ConversationStatus::needsYou));
        rows.append(item(u"conv_t"_s, ConversationStatus::needsYou));
        rows.append(c);
        Scripted s(rows);
        Window &w = *s.w;
        AppModel &model = *s.h->model;
        w.click(u"conversationRow_conv_a"_s);
        QTRY_COMPARE_WITH_TIMEOUT(w.text(u"detailSubject"_s), a.subject, 20'000);
        w.type(u"replyEditor"_s, u"Aへの返事"_s);
        QTRY_COMPARE(model.replyText(), u"Aへの返事"_s);

        const std::shared_ptr<Gate> gate = s.service.hold("GET", "/api/conversations/conv_b");
        w.click(u"conversationRow_conv_b"_s);
        QTRY_VERIFY(w.shown(u"openingConversationState"_s));
        QQuickItem *opening = w.item(u"openingConversationState"_s);
        QCOMPARE(Window::findItem(opening, u"loadingTitle"_s)->property("text").toString(), b.subject);
        QCOMPARE(Window::findItem(opening, u"loadingDetail"_s)->property("text").toString(), u"Lee"_s);
        QVERIFY(Window::findItem(opening, u"loadingSpinner"_s)->isVisible());
        QVERIFY(!w.shown(u"detailSubject"_s));
        QVERIFY(!w.shown(u"replyEditor"_s));
        QVERIFY(!w.shown(u"sendButton"_s));
        w.key(Qt::Key_Return, Qt::ControlModifier);
        run(model.sendReply());
        QCOMPARE(s.service.count("/api/conversations/conv_a/"), 0);

        gate->open();
        QTRY_COMPARE_WITH_TIMEOUT(w.text(u"detailSubject"_s), b.subject, 20'000);
        QVERIFY(!w.shown(u"openingConversationState"_s));
        QCOMPARE(w.text(u"replyEditor"_s), QString());

        s.service.route("GET", "/api/conversations/conv_c", 500, R"({"error":"server_error"})");
        w.click(u"conversationRow_conv_c"_s);
        QTRY_VERIFY_WITH_TIMEOUT(Window::findItem(opening, u"loadingRetry"_s)->isVisible(), 20'000);
        QVERIFY(w.shown(u"openingConversationState"_s));
        QVERIFY(!Window::findItem(opening, u"loadingSpinner"_s)->isVisible());
        QVERIFY(!w.shown(u"detailSubject"_s));
        QTRY_VERIFY(w.shown(u"closeErrorButton"_s));
        w.click(u"closeErrorButton"_s);
        QTRY_VERIFY(!model.errorMessage());

        s.service.route("GET", "/api/conversations/conv_c", detailOf(c));
        w.click(Window::findItem(opening, u"loadingRetry"_s));
        QTRY_COMPARE_WITH_TIMEOUT(w.text(u"detailSubject"_s), c.subject, 20'000);
        QVERIFY(!w.shown(u"openingConversationState"_s));
        QCOMPARE(w.text(u"replyEditor"_s), QString());
        // Back to A: its reply is where it was left.
        w.click(u"conversationRow_conv_a"_s);
        QTRY_COMPARE_WITH_TIMEOUT(w.text(u"detailSubject"_s), a.subject, 20'000);
        QCOMPARE(w.text(u"replyEditor"_s), u"Aへの返事"_s);
    }

    void rowsShowUnreadTimeAndAI()
    {
        Session s = open();
        // The demo's newest needs-you mail came three hours before the seed.
        const QString id = idOf(*s.h->model, u"来週の打ち合わせ日程について"_s);
        QQuickItem *row = s.w->item(u"conversationRow_"_s + id);
        QVERIFY(row);
        QVERIFY(Window::findItem(row, u"unreadDot"_s)->isVisible());
        QVERIFY(Window::findItem(row, u"aiBadge"_s)->isVisible());
        QCOMPARE(Window::findItem(row, u"rowTime"_s)->property("text").toString(), u"3 hours ago"_s);
        QCOMPARE(Window::findItem(row, u"rowSummary"_s)->property("text").toString(),
            u"佐藤さんから来週の定例の候補日が3つ届いています。"_s);
        QVERIFY(Window::accessibleName(row).contains(u"佐藤 健"_s));

        // Without a summary: the preview and no badge; read: no dot.
        openBySubject(s, u"waiting"_s, u"ランチどうする？"_s);
        QQuickItem *chat = s.w->item(u"conversationRow_"_s + s.h->model->detail()->id);
        QVERIFY(!Window::findItem(chat, u"aiBadge"_s)->isVisible());
        QVERIFY(!Window::findItem(chat, u"unreadDot"_s)->isVisible());
        QCOMPARE(Window::findItem(chat, u"rowSummary"_s)->property("text").toString(), s.h->model->detail()->preview);
    }

    void selectingTheShownConversationDoesNotReloadIt()
    {
        Session s = open();
        openBySubject(s, u"needs_you"_s, u"来週の打ち合わせ日程について"_s);
        const QString shown = s.h->model->detail()->id;
        // News in the shown conversation: a reload would bring it in.
        QVERIFY(s.service->deliver({ .from = u"ken.sato@example.co.jp"_s,
            .fromName = u"佐藤 健"_s,
            .subject = u"来週の打ち合わせ日程について"_s,
            .body = u"追伸"_s,
            .conversationId = shown }));
        QSignalSpy details(s.h->model.get(), &AppModel::detailChanged);
        s.w->click(u"conversationRow_"_s + shown);
        const QString other = idOf(*s.h->model, u"Q3ロードマップレビュー"_s);
        s.w->click(u"conversationRow_"_s + other);
        QTRY_VERIFY_WITH_TIMEOUT(s.h->model->detail()->id == other, 20'000);
        QCoreApplication::processEvents();
        QCOMPARE(details.size(), 1);
    }

    // Text the user is selecting in a message or in the AI summary stays
    // selected through the periodic reload, also one that brings a new
    // message: the rows that did not change are not built again.
    void selectionSurvivesTheReload()
    {
        const ConversationListItem a = item(u"conv_a"_s, ConversationStatus::needsYou, u"打ち合わせの候補日"_s,
            u"Kim"_s, u"kim@example.com"_s, u"来週の候補日を三つお送りします。ご都合をお知らせください。"_s,
            u"Kimさんから来週の候補日が三つ届いています。"_s);
        // The same loop as every 30 seconds, only sooner.
        Scripted s({ a }, std::chrono::milliseconds(300));
        AppModel &model = *s.h->model;
        s.w->click(u"conversationRow_conv_a"_s);
        QTRY_COMPARE_WITH_TIMEOUT(s.w->text(u"detailSubject"_s), a.subject, 20'000);
        const auto dragAcross = [&](QQuickItem *text) {
            QVERIFY(text && text->isVisible());
            QVERIFY(QQuickTest::qWaitForPolish(s.w->window));
            const QPoint from = text->mapToScene(QPointF(3, 8)).toPoint();
            const QPoint to = text->mapToScene(QPointF(text->width() - 3, 8)).toPoint();
            QTest::mousePress(s.w->window, Qt::LeftButton, {}, from);
            for (int step = 1; step <= 10; ++step)
                QTest::mouseMove(s.w->window, from + (to - from) * step / 10);
            QTest::mouseRelease(s.w->window, Qt::LeftButton, {}, to);
            QTRY_VERIFY(!text->property("selectedText").toString().isEmpty());
        };
        const auto reloaded = [&] {
            QSignalSpy loading(&model, &AppModel::isLoadingChanged);
            return loading.wait(20'000) && (model.isLoading() ? loading.wait(20'000) : true);
        };

        QPointer<QQuickItem> body = s.w->findAll(u"messageBody"_s).value(0);
        dragAcross(body);
        const QString selected = body->property("selectedText").toString();
        // The next reload brings an answer to it.
        ConversationDetail answered = detailOf(a);
        MessageView reply = answered.messages.constFirst();
        reply.id = u"conv_a_m2"_s;
        reply.bodyText = u"追伸: 会議室も押さえました。"_s;
        reply.createdAt += 60'000;
        answered.messages.append(reply);
        s.service.route("GET", "/api/conversations/conv_a", answered);
        QTRY_VERIFY_WITH_TIMEOUT(model.detail() && model.detail()->messages.size() == 2, 20'000);
        QVERIFY(reloaded());
        QVERIFY(body);
        QCOMPARE(body->property("selectedText").toString(), selected);

        QPointer<QQuickItem> summary = s.w->item(u"aiSummary"_s);
        dragAcross(summary);
        const QString summarySelected = summary->property("selectedText").toString();
        QVERIFY(reloaded());
        QVERIFY(reloaded());
        QVERIFY(summary);
        QCOMPARE(summary->property("selectedText").toString(), summarySelected);
    }

    // The list's selection is bound to the shown conversation: an arrow key
    // that selects a row opens it, as a click does.
    void listArrowsSelectAndOpen()
    {
        Session s = open();
        const QList<ConversationListItem> rows = s.h->model->filteredConversations();
        QVERIFY(rows.size() >= 2);
        s.w->click(u"searchField"_s);
        s.w->key(Qt::Key_Down); // into the rows
        QVERIFY(!s.h->model->detail());
        s.w->key(Qt::Key_Down);
        QTRY_VERIFY_WITH_TIMEOUT(s.h->model->detail() && s.h->model->detail()->id == rows[0].id, 20'000);
        s.w->key(Qt::Key_Down);
        QTRY_VERIFY_WITH_TIMEOUT(s.h->model->detail() && s.h->model->detail()->id == rows[1].id, 20'000);
        QVERIFY(s.w->item(u"conversationRow_"_s + rows[1].id)->property("selected").toBool());
        QVERIFY(!s.w->item(u"conversationRow_"_s + rows[0].id)->property("selected").toBool());
    }

    void aiThoughtShapes_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("subject");
        QTest::addColumn<bool>("shown");
        QTest::addColumn<bool>("working");
        QTest::addColumn<QString>("nextStep");
        QTest::addColumn<QString>("request");
        QTest::addColumn<bool>("draft");
        QTest::newRow("needs you, full insight")
            << u"needs_you"_s << u"来週の打ち合わせ日程について"_s << true << false << u"次にやること"_s
            << u"都合の良い日時を1つ選んで返信する · 金曜日まで"_s << true;
        QTest::newRow("AI working without summary")
            << u"ai_working"_s << u"請求書 #2024-118 の確認"_s << true << true << u""_s << u""_s << false;
        QTest::newRow("waiting, summary only") << u"waiting"_s << u"オフィス移転のお知らせ"_s << true << false
                                               << u"相手の返信を待っています"_s << u""_s << false;
        QTest::newRow("inbox without summary")
            << u"inbox"_s << u"写真を共有しました"_s << false << false << u""_s << u""_s << false;
    }
    void aiThoughtShapes()
    {
        QFETCH(QString, status);
        QFETCH(QString, subject);
        QFETCH(bool, shown);
        QFETCH(bool, working);
        QFETCH(QString, nextStep);
        QFETCH(QString, request);
        QFETCH(bool, draft);
        Session s = open();
        openBySubject(s, status, subject);
        QQuickItem *thought = s.w->item(u"aiThought"_s);
        QTRY_COMPARE(thought->isVisible(), shown);
        if (!shown) {
            QCOMPARE(thought->height(), 0.0);
            return;
        }
        QCOMPARE(s.w->shown(u"aiWorkingText"_s), working);
        QCOMPARE(s.w->shown(u"nextStep"_s), !working);
        if (!working)
            QCOMPARE(s.w->text(u"nextStepText"_s), nextStep);
        QCOMPARE(s.w->shown(u"aiRequest"_s), !request.isEmpty());
        if (!request.isEmpty())
            QCOMPARE(s.w->text(u"aiRequest"_s), request);
        QCOMPARE(s.w->shown(u"useDraftButton"_s), draft);
        if (draft) {
            s.w->click(u"useDraftButton"_s);
            QTRY_COMPARE(s.h->model->replyText(), *s.h->model->detail()->aiDraft);
            QTRY_COMPARE(s.w->text(u"replyEditor"_s), *s.h->model->detail()->aiDraft);
        }
    }

    void messagesSitOnTheirSenderSide_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QStringList>("sides"); // "own"/"other" per message
        QTest::addColumn<QStringList>("labels"); // delivery label per message
        QTest::newRow("incoming then own reply")
            << u"waiting"_s << u"オフィス移転のお知らせ"_s << QStringList { u"other"_s, u"own"_s }
            << QStringList { u"配送済み"_s, u"配送済み"_s };
        QTest::newRow("own, delivery failed") << u"waiting"_s << u"Conference badge pickup"_s
                                              << QStringList { u"own"_s } << QStringList { u"送信失敗"_s };
    }
    void messagesSitOnTheirSenderSide()
    {
        QFETCH(QString, status);
        QFETCH(QString, subject);
        QFETCH(QStringList, sides);
        QFETCH(QStringList, labels);
        Session s = open();
        openBySubject(s, status, subject);
        const QList<MessageView> messages = s.h->model->detail()->messages;
        QCOMPARE(messages.size(), sides.size());
        QQuickItem *timeline = s.w->item(u"timeline"_s);
        for (qsizetype i = 0; i < messages.size(); ++i) {
            QQuickItem *m = nullptr;
            QTRY_VERIFY((m = Window::findItem(timeline, u"timelineMessage_"_s + messages[i].id)));
            QQuickItem *column = Window::findItem(m, u"messageColumn"_s);
            const bool own = sides[i] == u"own"_s;
            // Own: flush with the trailing edge, the inset on the leading side.
            QCOMPARE(column->x() > 0, own);
            if (own)
                QCOMPARE(column->x() + column->width(), m->width());
            QVERIFY(m->width() - column->width() >= 72);
            QCOMPARE(Window::findItem(m, u"direction"_s)->property("text").toString(), own ? u"送信"_s : u"受信"_s);
            QQuickItem *label = Window::findItem(m, u"deliveryLabel"_s);
            QCOMPARE(label->isVisible(), !labels[i].isEmpty());
            QCOMPARE(label->property("text").toString(), labels[i]);
            if (labels[i] == u"送信失敗"_s) {
                const QColor colour = label->property("color").value<QColor>();
                QVERIFY2(colour.red() > colour.blue() + 60, qPrintable(colour.name())); // warm
            }
        }
        // The end of the timeline is in view.
        QQuickItem *end = Window::findItem(timeline, u"conversation-timeline-end"_s);
        QVERIFY(end);
        QTRY_VERIFY(end->mapToItem(timeline, QPointF(0, 0)).y() <= timeline->height());
    }

    void replyNeedsTextAndSendsWithCtrlReturn()
    {
        Session s = open();
        openBySubject(s, u"needs_you"_s, u"来週の打ち合わせ日程について"_s);
        QQuickItem *send = s.w->item(u"sendButton"_s);
        QVERIFY(!send->property("enabled").toBool());
        s.w->type(u"replyEditor"_s, u"  \n\u3000 "_s);
        QTRY_COMPARE(s.h->model->replyText(), u"  \n\u3000 "_s);
        QVERIFY(!send->property("enabled").toBool());
        QCOMPARE(s.w->text(u"replyChannel"_s), u"Email · "_s + s.service->mailDomain());

        s.w->type(u"replyEditor"_s, u"はい、火曜日で"_s);
        QTRY_VERIFY(send->property("enabled").toBool());
        QCOMPARE(send->property("text").toString(), u"送信"_s);
        QSignalSpy sending(s.h->model.get(), &AppModel::isSendingChanged);
        s.w->key(Qt::Key_Return, Qt::ControlModifier);
        QTRY_VERIFY_WITH_TIMEOUT(sending.size() >= 2, 20'000);
        QTRY_COMPARE_WITH_TIMEOUT(s.h->model->selectedStatus(), ConversationStatus::waiting, 20'000);
        QVERIFY(s.h->model->replyText().isEmpty());
    }

    // Two conversations, two drafts: what is typed under one never shows, and
    // is never sent, under the other; coming back finds it as it was left.
    // The service out of reach is a quiet banner, no alert; it goes by itself
    // once a reload gets through to the service, back where it was.
    void unreachableBannerGoesWhenAReloadGetsThrough()
    {
        Session s = open();
        const quint16 port = s.service->port();
        s.service->setServeArguments({ u"--port"_s, QString::number(port) });
        QVERIFY(!s.w->shown(u"unreachableBanner"_s));

        QVERIFY(s.service->stop());
        run(s.h->model->refresh(true));
        QTRY_VERIFY(s.w->shown(u"unreachableBanner"_s));
        QVERIFY(s.w->text(u"unreachableBannerText"_s).startsWith(u"サービスに接続できません"_s));
        QVERIFY(!s.h->model->errorMessage());

        QVERIFY2(s.service->start(), qPrintable(s.service->errorString()));
        QCOMPARE(s.service->port(), port);
        run(s.h->model->refresh(true));
        QTRY_VERIFY(!s.w->shown(u"unreachableBanner"_s));
        QVERIFY(!s.h->model->errorMessage());
    }

    void replyDraftsStayWithTheirConversation()
    {
        Session s = open();
        const QString subjectA = u"来週の打ち合わせ日程について"_s;
        const QString subjectB = u"Q3ロードマップレビュー"_s;
        openBySubject(s, u"needs_you"_s, subjectA);
        const QString a = s.h->model->detail()->id;
        s.w->type(u"replyEditor"_s, u"火曜日の午後でお願いします"_s);
        QTRY_COMPARE(s.h->model->replyText(), u"火曜日の午後でお願いします"_s);

        openBySubject(s, u"needs_you"_s, subjectB);
        const QString b = s.h->model->detail()->id;
        QTRY_COMPARE(s.w->text(u"replyEditor"_s), QString());
        QVERIFY(s.h->model->replyText().isEmpty());
        QVERIFY(!s.w->item(u"sendButton"_s)->property("enabled").toBool());
        // Ctrl+Return under B has nothing of B's to send: nothing starts.
        QSignalSpy sending(s.h->model.get(), &AppModel::isSendingChanged);
        s.w->click(u"replyEditor"_s);
        s.w->key(Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(sending.size(), 0);

        openBySubject(s, u"needs_you"_s, subjectA);
        QTRY_COMPARE(s.w->text(u"replyEditor"_s), u"火曜日の午後でお願いします"_s);
        QQuickItem *editor = s.w->item(u"replyEditor"_s);
        QCOMPARE(editor->property("cursorPosition").toInt(), editor->property("length").toInt());

        // B's own reply goes to B with B's words only, and A's draft stays.
        openBySubject(s, u"needs_you"_s, subjectB);
        s.w->type(u"replyEditor"_s, u"資料を拝見しました"_s);
        QTRY_COMPARE(s.h->model->replyText(), u"資料を拝見しました"_s);
        s.w->key(Qt::Key_Return, Qt::ControlModifier);
        QTRY_VERIFY_WITH_TIMEOUT(sending.size() >= 2, 20'000);
        QTRY_COMPARE_WITH_TIMEOUT(s.h->model->selectedStatus(), ConversationStatus::waiting, 20'000);
        QVERIFY2(!s.h->model->errorMessage(), qPrintable(s.h->model->errorMessage().value_or(QString())));
        QCOMPARE(s.h->model->replyDrafts(), (QHash<QString, QString> { { a, u"火曜日の午後でお願いします"_s } }));

        APIClient client(s.service->baseUrl());
        const ConversationDetail sentTo = run(client.conversation(b, s.service->token()));
        QCOMPARE(sentTo.messages.constLast().bodyText, u"資料を拝見しました"_s);
        const ConversationDetail other = run(client.conversation(a, s.service->token()));
        for (const MessageView &m : other.messages)
            QVERIFY(!m.bodyText.contains(u"火曜日の午後"_s));
    }

    void statusMenuOffersOnlyUserStatuses()
    {
        Session s = open();
        openBySubject(s, u"needs_you"_s, u"Q3ロードマップレビュー"_s);
        QCOMPARE(s.w->text(u"statusMenuButton"_s), u"Needs you"_s);
        s.w->click(u"statusMenuButton"_s);
        QObject *menu = s.w->find(u"statusMenu"_s);
        QTRY_VERIFY(menu->property("opened").toBool());
        QStringList offered;
        for (ConversationStatus c : allCases<ConversationStatus>()) {
            QQuickItem *item = s.w->item(u"statusMenuItem_"_s + rawValue(c));
            if (item && item->isVisible())
                offered.append(rawValue(c));
        }
        QCOMPARE(offered, (QStringList { u"needs_you"_s, u"waiting"_s, u"inbox"_s, u"done"_s }));
        // Only the conversation's own status is checked.
        for (const QString &status : std::as_const(offered)) {
            QQuickItem *mark = Window::findItem(s.w->item(u"statusMenuItem_"_s + status), u"statusMenuCheck"_s);
            QVERIFY(mark);
            QCOMPARE(mark->isVisible(), status == u"needs_you"_s);
        }
        const QString id = s.h->model->detail()->id;
        s.w->click(u"statusMenuItem_done"_s);
        QTRY_COMPARE_WITH_TIMEOUT(s.h->model->selectedStatus(), ConversationStatus::done, 20'000);
        QTRY_VERIFY_WITH_TIMEOUT(!idOf(*s.h->model, u"Q3ロードマップレビュー"_s).isEmpty(), 20'000);
        QCOMPARE(idOf(*s.h->model, u"Q3ロードマップレビュー"_s), id);
    }

    void headerRunsTheAIAndOpensThePerson()
    {
        Session s = open(Harness::Codex::double_);
        s.h->home.setAnswer(insightJson(u"候補日の確認"_s, u"needs_you"_s));
        s.h->home.setControl(u"delay_ms=600"_s);
        openBySubject(s, u"inbox"_s, u"写真を共有しました"_s);
        s.w->click(u"runAIButton"_s);
        QTRY_VERIFY(s.w->shown(u"runAIProgress"_s));
        QTRY_VERIFY_WITH_TIMEOUT(!s.h->model->isRunningAI(), 30'000);
        QTRY_COMPARE(s.w->text(u"aiSummary"_s), u"候補日の確認"_s);
        QVERIFY(!s.w->shown(u"runAIProgress"_s));

        const QString address = s.h->model->detail()->participantAddress;
        s.w->click(u"personButton"_s);
        QTRY_COMPARE_WITH_TIMEOUT(s.h->model->lens(), MailLens::people, 20'000);
        QTRY_COMPARE_WITH_TIMEOUT(s.h->model->selectedPersonEmail(), std::optional<QString>(address), 20'000);
    }

    void orroSheet_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("deadline"); // the AI's, "" for the demo's own
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("dated");
        QTest::addColumn<QDateTime>("date"); // invalid: about an hour from now
        QTest::newRow("task due on a day")
            << u"todoButton"_s << u"2026-12-24"_s << u"カードを送る"_s << true << QDate(2026, 12, 24).startOfDay();
        QTest::newRow("task with a weekday")
            << u"todoButton"_s << u"金曜日"_s << u"カードを送る"_s << false << QDateTime();
        QTest::newRow("event") << u"eventButton"_s << u"金曜日"_s << u"写真を共有しました"_s << true << QDateTime();
    }
    void orroSheet()
    {
        QFETCH(QString, button);
        QFETCH(QString, deadline);
        QFETCH(QString, title);
        QFETCH(bool, dated);
        QFETCH(QDateTime, date);
        Session s = open(Harness::Codex::double_);
        s.h->home.setAnswer(insightWithDeadline(u"写真のアルバム"_s, u"カードを送る"_s, deadline));
        openBySubject(s, u"inbox"_s, u"写真を共有しました"_s);
        s.w->click(u"runAIButton"_s);
        QTRY_VERIFY_WITH_TIMEOUT(!s.h->model->isRunningAI() && !s.h->model->isLoading(), 30'000);
        // The triage moved it to its new list; it is opened there.
        openBySubject(s, u"needs_you"_s, u"写真を共有しました"_s);
        QTRY_COMPARE_WITH_TIMEOUT(s.w->text(u"aiSummary"_s), u"写真のアルバム"_s, 30'000);
        QTRY_VERIFY(s.w->shown(button));
        const QString id = s.h->model->detail()->id;

        // "閉じる" and Escape close without sending.
        QObject *sheet = s.w->find(u"orroActionSheet"_s);
        s.w->click(button);
        QTRY_VERIFY(sheet->property("opened").toBool());
        s.w->click(u"orroCloseButton"_s);
        QTRY_VERIFY(!sheet->property("visible").toBool());
        s.w->click(button);
        QTRY_VERIFY(sheet->property("opened").toBool());
        s.w->key(Qt::Key_Escape);
        QTRY_VERIFY(!sheet->property("visible").toBool());
        QVERIFY(s.h->opened.isEmpty());

        const QDateTime before = QDateTime::currentDateTime();
        s.w->click(button);
        QTRY_VERIFY(sheet->property("opened").toBool());
        const bool event = button == u"eventButton"_s;
        QCOMPARE(s.w->text(u"orroSheetTitle"_s), event ? u"Orroの予定に追加"_s : u"OrroのTodoに追加"_s);
        QCOMPARE(s.w->text(u"orroTitleField"_s), title);
        QCOMPARE(s.w->text(u"orroNotesEditor"_s), u"写真のアルバム"_s);
        QCOMPARE(s.w->shown(u"orroDateToggle"_s), !event);
        if (!event)
            QCOMPARE(s.w->item(u"orroDateToggle"_s)->property("checked").toBool(), dated);
        QCOMPARE(s.w->shown(u"orroDateSlot"_s), dated);
        const QDateTime shownDate = sheet->property("date").toDateTime();
        if (date.isValid())
            QCOMPARE(shownDate, date);
        else
            QVERIFY(qAbs(before.secsTo(shownDate) - 3600) <= 60);

        // A blank title cannot be added; surrounding blanks stay in what is sent.
        QQuickItem *add = s.w->item(u"orroAddButton"_s);
        s.w->clear(u"orroTitleField"_s);
        s.w->type(u"orroTitleField"_s, u" \u3000 "_s);
        QVERIFY(!add->property("enabled").toBool());
        s.w->type(u"orroNotesEditor"_s, u"  "_s);
        s.w->clear(u"orroTitleField"_s);
        s.w->type(u"orroTitleField"_s, u" 送る "_s);
        QVERIFY(add->property("enabled").toBool());

        // A refused hand-off keeps the sheet open with its contents, and
        // says why.
        s.h->urlsOpen = false;
        s.w->click(u"orroAddButton"_s);
        QCOMPARE(s.h->opened.size(), 1);
        QTRY_COMPARE(s.w->text(u"orroResultMessage"_s), u"Orroを開けませんでした。"_s);
        QVERIFY(s.w->shown(u"orroResultMessage"_s));
        QVERIFY(sheet->property("opened").toBool());
        QCOMPARE(s.w->text(u"orroTitleField"_s), u" 送る "_s);

        s.h->urlsOpen = true;
        s.w->click(u"orroAddButton"_s);
        QTRY_VERIFY(!sheet->property("visible").toBool());
        QCOMPARE(s.h->opened.size(), 2);
        const QUrl url = s.h->opened.last();
        QCOMPARE(url.path(), event ? u"/event"_s : u"/task"_s);
        const QUrlQuery query(url);
        QCOMPARE(query.queryItemValue(u"sourceId"_s), id);
        QCOMPARE(query.queryItemValue(u"notes"_s, QUrl::FullyDecoded), u"写真のアルバム  "_s);
        const auto time = [&](const QString &name) {
            return QDateTime::fromString(query.queryItemValue(name, QUrl::FullyDecoded), Qt::ISODate);
        };
        if (event) {
            QVERIFY(!query.hasQueryItem(u"dueAt"_s));
            QCOMPARE(time(u"startsAt"_s).secsTo(time(u"endsAt"_s)), 3600);
            QCOMPARE(time(u"startsAt"_s).toSecsSinceEpoch(), shownDate.toSecsSinceEpoch());
        } else {
            QVERIFY(!query.hasQueryItem(u"startsAt"_s) && !query.hasQueryItem(u"endsAt"_s));
            QCOMPARE(query.hasQueryItem(u"dueAt"_s), dated);
            if (dated)
                QCOMPARE(time(u"dueAt"_s), date);
        }
    }

    void everyControlHasANameAndTabReachesThem()
    {
        // With the Codex CLI ready, so that "AIで整理" can be used.
        Session s = open(Harness::Codex::double_);
        openBySubject(s, u"needs_you"_s, u"来週の打ち合わせ日程について"_s);
        // Every button and field on screen has a name a screen reader reads.
        QStringList nameless;
        std::function<void(QQuickItem *)> walk = [&](QQuickItem *item) {
            if (!item->isVisible())
                return;
            const QMetaObject *meta = item->metaObject();
            const bool control = meta->inherits(&QQuickItem::staticMetaObject)
                && (QByteArray(meta->className()).contains("AbstractButton") || item->inherits("QQuickAbstractButton")
                    || item->inherits("QQuickTextField") || item->inherits("QQuickTextArea"));
            if (control && Window::accessibleName(item).isEmpty())
                nameless.append(QString::fromLatin1(meta->className()) + u' ' + item->objectName());
            for (QQuickItem *child : item->childItems())
                walk(child);
        };
        walk(s.w->window->contentItem());
        QVERIFY2(nameless.isEmpty(), qPrintable(nameless.join(u", "_s)));
        QCOMPARE(Window::accessibleName(s.w->item(u"statusRow_needs_you"_s)), u"Needs you"_s);
        QCOMPARE(Window::accessibleRole(s.w->item(u"statusRow_needs_you"_s)), QAccessible::Button);
        QCOMPARE(Window::accessibleName(s.w->item(u"searchField"_s)), u"検索"_s);

        // Tab walks from the sidebar through the list to the pane's controls.
        s.w->click(u"searchField"_s);
        QStringList reached;
        for (int i = 0; i < 40 && !reached.contains(u"replyEditor"_s); ++i) {
            s.w->key(Qt::Key_Tab);
            QQuickItem *focus = s.w->window->activeFocusItem();
            for (QQuickItem *f = focus; f; f = f->parentItem()) {
                if (!f->objectName().isEmpty()) {
                    reached.append(f->objectName());
                    break;
                }
            }
        }
        for (const QString &name : { u"personButton"_s, u"todoButton"_s, u"eventButton"_s, u"statusMenuButton"_s,
                 u"runAIButton"_s, u"replyEditor"_s })
            QVERIFY2(reached.contains(name), qPrintable(reached.join(u", "_s)));
        QVERIFY2(
            reached.indexOf(u"todoButton"_s) < reached.indexOf(u"replyEditor"_s), qPrintable(reached.join(u", "_s)));
    }

private:
    UiWarnings m_warnings;
};

QTEST_MAIN(TestWork)
#include "test_work.moc"
