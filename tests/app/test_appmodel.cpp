// The app model's start-up, reload, lens and status switching, derived lists
// and automatic triage, driven as the screens drive it and observed through
// its properties and signals. Flows that need exact answers or request
// counts run against a scripted service; the main roads run against the
// reference service and the Codex CLI double.

#include "ai/aiconversationstore.h"
#include "api/apiclient.h"
#include "api/mailapierror.h"
#include "appmodelharness.h"
#include "core/blocking.h"
#include "support/referenceservice.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace quarn;
using namespace quarn::testing;
using quarn::test::ReferenceService;

namespace {

const QString kToken = u"tok_mail_"_s + QString(43, u'a');

PersonSummary person(const QString &email, const QString &name)
{
    PersonSummary p;
    p.email = email;
    p.displayName = name;
    return p;
}

QStringList ids(const QList<ConversationListItem> &items)
{
    QStringList out;
    for (const ConversationListItem &c : items)
        out.append(c.id);
    return out;
}

/// The AI jobs the reference service recorded for a conversation, oldest
/// first, as "state:error_code".
QStringList aiJobs(const QString &database, const QString &conversationId)
{
    QStringList out;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(database).constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return { u"unreadable"_s };
    }
    sqlite3_busy_timeout(db, 2000);
    sqlite3_stmt *statement = nullptr;
    sqlite3_prepare_v2(db,
        "SELECT state || ':' || ifnull(error_code, '') FROM ai_jobs WHERE conversation_id = ?1"
        " ORDER BY created_at, rowid",
        -1, &statement, nullptr);
    const QByteArray id = conversationId.toUtf8();
    sqlite3_bind_text(statement, 1, id.constData(), int(id.size()), SQLITE_TRANSIENT);
    while (sqlite3_step(statement) == SQLITE_ROW)
        out.append(QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, 0))));
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return out;
}

std::optional<ConversationDetail> serviceConversation(const ReferenceService &service, const QString &id)
{
    try {
        return run(APIClient(service.baseUrl()).conversation(id, service.token()));
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace

class TestAppModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // --- start-up ---------------------------------------------------------------

    void startUpWithoutTokenAsksNothingOfTheService()
    {
        FakeService service;
        Harness h(service.baseUrl(), Harness::Codex::double_);
        AIConversationStore store(h.aiFile());
        AIConversation a { u"ai_1"_s, u"一"_s, {}, 1, 2 };
        AIConversation b { u"ai_2"_s, u"二"_s, {}, 1, 1 };
        run(store.save({ a, b }));

        QSignalSpy ready(h.model.get(), &AppModel::isCodexReadyChanged);
        auto first = h.model->bootstrap();
        auto second = h.model->bootstrap();
        QVERIFY(second.isReady());
        QVERIFY(!first.isReady());
        run(std::move(first));

        QVERIFY(!h.model->isConfigured());
        QVERIFY(h.model->isCodexReady());
        QCOMPARE(ready.count(), 1);
        QCOMPARE(h.model->aiConversationsModel()->rowCount(), 2);
        QVERIFY(!h.model->state());
        QVERIFY(!h.model->errorMessage());
        QCOMPARE(service.count(), 0);
        QVERIFY(!h.execRan());
    }

    void unsafeTokenFileIsShownAndTheRestStillLoads()
    {
        FakeService service;
        Harness h(service.baseUrl(), Harness::Codex::double_);
        QVERIFY(h.saveToken(kToken));
        run(AIConversationStore(h.aiFile()).save({ AIConversation { u"ai_1"_s, u"一"_s, {}, 1, 1 } }));
        // A token file that is a link is never read.
        const QString real = h.home.filePath(u"elsewhere"_s);
        QVERIFY(QFile::rename(h.tokenPath(), real));
        QVERIFY(QFile::link(real, h.tokenPath()));
        QString expected;
        try {
            (void)DeviceCredentialStore(h.dataDir()).load();
            QFAIL("the store read a linked token file");
        } catch (...) {
            expected = describe(std::current_exception());
        }

        run(h.model->bootstrap());

        QCOMPARE(h.model->errorMessage(), std::optional<QString>(expected));
        QVERIFY(!h.model->isConfigured());
        QVERIFY(h.model->isCodexReady());
        QCOMPARE(h.model->aiConversations().size(), 1);
        QCOMPARE(service.count(), 0);
    }

    void firstListIsAskedForWhileTheAIConversationsAreReadAndAppliedAfterThem()
    {
        FakeService service;
        service.route("GET", stateTarget(ConversationStatus::needsYou),
            mailState(ConversationStatus::needsYou, { item(u"conv_1"_s, ConversationStatus::needsYou) }));
        service.route("GET", "/api/people", PeopleResponse {});
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(kToken));
        run(AIConversationStore(h.aiFile()).save({ AIConversation { u"ai_1"_s, u"一"_s, {}, 1, 1 } }));
        QStringList applied;
        connect(h.model.get(), &AppModel::aiConversationsChanged, this, [&] { applied.append(u"ai"_s); });
        connect(h.model.get(), &AppModel::stateChanged, this, [&] { applied.append(u"state"_s); });

        // Reading the AI conversations waits while their folder is locked.
        int folder = ::open(QFile::encodeName(h.dataDir()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const auto unlock = qScopeGuard([&folder] {
            if (folder >= 0)
                ::close(std::exchange(folder, -1));
        });
        QVERIFY(folder >= 0);
        QCOMPARE(::flock(folder, LOCK_EX), 0);
        auto task = h.model->bootstrap();
        QTRY_COMPARE(service.count("/api/state"), 1);
        QTest::qWait(200);
        const QStringList whileReading = applied;
        ::close(std::exchange(folder, -1));
        run(std::move(task));

        QCOMPARE(whileReading, QStringList());
        QCOMPARE(applied, (QStringList { u"ai"_s, u"state"_s }));
        QCOMPARE(ids(h.model->filteredConversations()), QStringList { u"conv_1"_s });
        QCOMPARE(h.model->aiConversations().size(), 1);
        QCOMPARE(service.count("/api/state"), 1);
    }

    // --- reload -------------------------------------------------------------------

    void reloadWithoutTokenChangesNothing_data()
    {
        QTest::addColumn<QString>("lens");
        QTest::newRow("work") << u"work"_s;
        QTest::newRow("people") << u"people"_s;
        QTest::newRow("ai") << u"ai"_s;
    }
    void reloadWithoutTokenChangesNothing()
    {
        QFETCH(QString, lens);
        FakeService service;
        Harness h(service.baseUrl());
        run(h.model->bootstrap());
        if (lens == u"people"_s)
            run(h.model->selectPeople());
        else if (lens == u"ai"_s)
            run(h.model->selectAI());
        QCOMPARE(rawValue(h.model->lens()), lens);

        QSignalSpy loading(h.model.get(), &AppModel::isLoadingChanged);
        QSignalSpy state(h.model.get(), &AppModel::stateChanged);
        QSignalSpy people(h.model.get(), &AppModel::peopleChanged);
        QSignalSpy error(h.model.get(), &AppModel::errorMessageChanged);
        auto task = h.model->refresh(true);
        QVERIFY(task.isReady());
        QCOMPARE(loading.count() + state.count() + people.count() + error.count(), 0);
        QCOMPARE(service.count(), 0);
    }

    void unauthorisedReloadSignsOutInMemoryAndKeepsTheList()
    {
        FakeService service;
        const QList<ConversationListItem> list { item(u"conv_1"_s, ConversationStatus::needsYou),
            item(u"conv_2"_s, ConversationStatus::needsYou) };
        service.route("GET", stateTarget(ConversationStatus::needsYou), mailState(ConversationStatus::needsYou, list));
        service.route("GET", "/api/people", PeopleResponse { { person(u"kim@example.com"_s, u"Kim"_s) } });
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(kToken));
        run(h.model->bootstrap());
        QVERIFY(h.model->isConfigured());
        QCOMPARE(ids(h.model->filteredConversations()), ids(list));

        service.route("GET", stateTarget(ConversationStatus::needsYou), 401, R"({"error":"unauthorized"})");
        QSignalSpy configured(h.model.get(), &AppModel::isConfiguredChanged);
        run(h.model->refresh(true));

        QCOMPARE(configured.count(), 1);
        QVERIFY(!h.model->isConfigured());
        QCOMPARE(h.model->errorMessage(), std::optional<QString>(MailAPIError::unauthorized().description()));
        QCOMPARE(ids(h.model->filteredConversations()), ids(list));
        QCOMPARE(h.model->people().size(), 1);
        QVERIFY(!h.model->isLoading());
        // Only the memory forgot the token: the file is untouched.
        QCOMPARE(DeviceCredentialStore(h.dataDir()).load(), std::optional<QString>(kToken));
        const int before = service.count();
        run(h.model->refresh(true));
        run(h.model->autoTriagePendingWork());
        QCOMPARE(service.count(), before);
    }

    void selectingAStatus()
    {
        FakeService service;
        const MailState needsYou = mailState(ConversationStatus::needsYou,
            { item(u"conv_n1"_s, ConversationStatus::needsYou, u"First"_s),
                item(u"conv_n2"_s, ConversationStatus::needsYou) });
        service.route("GET", stateTarget(ConversationStatus::needsYou), needsYou);
        service.route("GET", stateTarget(ConversationStatus::done),
            mailState(ConversationStatus::done, { item(u"conv_d1"_s, ConversationStatus::done) }));
        service.route("GET", "/api/people", PeopleResponse {});
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(kToken));
        run(h.model->bootstrap());
        h.model->setSearchText(u"FIRST"_s);
        QCOMPARE(ids(h.model->filteredConversations()), QStringList { u"conv_n1"_s });

        // The status already shown: nothing at all.
        const int requests = service.count();
        auto same = h.model->selectStatus(ConversationStatus::needsYou);
        QVERIFY(same.isReady());
        QCOMPARE(service.count(), requests);

        // Another status: the old rows go at once, the counts stay, the search is cleared.
        auto other = h.model->selectStatus(ConversationStatus::done);
        QVERIFY(!other.isReady());
        QCOMPARE(h.model->selectedStatus(), ConversationStatus::done);
        QCOMPARE(h.model->state()->status, ConversationStatus::done);
        QVERIFY(h.model->state()->conversations.isEmpty());
        QCOMPARE(h.model->state()->counts, needsYou.counts);
        QCOMPARE(h.model->filteredConversationsModel()->rowCount(), 0);
        QCOMPARE(h.model->searchText(), QString());
        run(std::move(other));
        QCOMPARE(ids(h.model->filteredConversations()), QStringList { u"conv_d1"_s });

        // The same status from another lens switches back and reloads.
        run(h.model->selectPeople());
        QCOMPARE(h.model->lens(), MailLens::people);
        const int stateRequests = service.count("/api/state");
        run(h.model->selectStatus(ConversationStatus::done));
        QCOMPARE(h.model->lens(), MailLens::work);
        QCOMPARE(service.count("/api/state"), stateRequests + 1);
    }

    void searchFiltering_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QStringList>("conversations");
        QTest::addColumn<QStringList>("people");
        const QStringList all { u"conv_1"_s, u"conv_2"_s, u"conv_3"_s };
        const QStringList everyone { u"kim@example.com"_s, u"pat@example.org"_s };
        QTest::newRow("empty") << QString() << all << everyone;
        QTest::newRow("only blanks") << u"  \t "_s << all << everyone;
        QTest::newRow("only full-width blanks and a line separator") << u"\u3000\u2028"_s << all << everyone;
        QTest::newRow("upper case inside a longer word") << u"UDGE"_s << QStringList { u"conv_1"_s } << QStringList();
        QTest::newRow("two fields through one blank")
            << u"report kim"_s << QStringList { u"conv_1"_s } << QStringList();
        QTest::newRow("no match without the blank") << u"reportkim"_s << QStringList() << QStringList();
        QTest::newRow("no match through two blanks") << u"report  kim"_s << QStringList() << QStringList();
        QTest::newRow("absent summary leaves no gap")
            << u"kim@example.com the"_s << QStringList { u"conv_1"_s } << QStringList();
        QTest::newRow("summary searched") << u"asks about"_s << QStringList { u"conv_2"_s } << QStringList();
        QTest::newRow("trimmed japanese") << u"\u3000会議 山田\n"_s << QStringList { u"conv_3"_s } << QStringList();
        QTest::newRow("person name and address")
            << u"lee kim"_s << QStringList() << QStringList { u"kim@example.com"_s };
        QTest::newRow("both lists") << u"PAT"_s << QStringList { u"conv_2"_s } << QStringList { u"pat@example.org"_s };
        QTest::newRow("full lower-case mapping") << u"\u00c9T\u00c9"_s << QStringList { u"conv_3"_s } << QStringList();
    }
    void searchFiltering()
    {
        QFETCH(QString, query);
        QFETCH(QStringList, conversations);
        QFETCH(QStringList, people);
        FakeService service;
        service.route("GET", stateTarget(ConversationStatus::needsYou),
            mailState(ConversationStatus::needsYou,
                { item(u"conv_1"_s, ConversationStatus::needsYou, u"Quarterly report"_s, u"Kim"_s, u"kim@example.com"_s,
                      u"the budget numbers"_s),
                    item(u"conv_2"_s, ConversationStatus::needsYou, u"Lunch"_s, u"Pat"_s, u"pat@example.org"_s,
                        u"are you free"_s, u"Pat asks about lunch"_s),
                    item(u"conv_3"_s, ConversationStatus::needsYou, u"会議"_s, u"山田"_s, u"yamada@example.jp"_s,
                        u"来週の予定、\u00e9t\u00e9"_s) }));
        service.route("GET", "/api/people",
            PeopleResponse {
                { person(u"kim@example.com"_s, u"Kim Lee"_s), person(u"pat@example.org"_s, u"Pat Doe"_s) } });
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(kToken));
        run(h.model->bootstrap());

        h.model->setSearchText(query);
        QCOMPARE(ids(h.model->filteredConversations()), conversations);
        QCOMPARE(h.model->filteredConversationsModel()->rowCount(), conversations.size());
        QStringList shownPeople;
        for (const PersonSummary &p : h.model->filteredPeople())
            shownPeople.append(p.email);
        QCOMPARE(shownPeople, people);
        // Clearing the search brings every row back.
        h.model->setSearchText(QString());
        QCOMPARE(h.model->filteredConversationsModel()->rowCount(), 3);
    }

    void personTimelineFilterAndPeopleReload()
    {
        FakeService service;
        service.route("GET", stateTarget(ConversationStatus::needsYou), mailState(ConversationStatus::needsYou, {}));
        service.route("GET", "/api/people", PeopleResponse { { person(u"pat@example.com"_s, u"Pat"_s) } });
        auto message = [](const QString &id, const QString &from, const QStringList &to) {
            PersonTimelineMessage m;
            m.id = id;
            m.conversationId = u"conv_1"_s;
            m.senderEmail = from;
            for (const QString &r : to)
                m.recipients.append(MessageRecipientView { r, r, u"to"_s });
            return m;
        };
        PersonTimeline timeline;
        timeline.person = person(u"pat@example.com"_s, u"Pat"_s);
        timeline.messages = { message(u"m1"_s, u"PAT@example.com"_s, { u"Me@Quarn.local"_s }),
            message(u"m2"_s, u"pat@example.com"_s, { u"me@quarn.local"_s, u"kim@example.com"_s }),
            message(u"m3"_s, u"me@quarn.local"_s, { u"pat@example.com"_s }) };
        service.route("GET", "/api/people/pat@example.com/timeline", timeline);
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(kToken));
        run(h.model->bootstrap());

        auto shown = [&] {
            QStringList out;
            for (const PersonTimelineMessage &m : h.model->filteredPersonMessages())
                out.append(m.id);
            return out;
        };
        QVERIFY(shown().isEmpty());
        run(h.model->openPerson(u"pat@example.com"_s));
        QCOMPARE(h.model->lens(), MailLens::people);
        QCOMPARE(shown(), (QStringList { u"m1"_s, u"m2"_s, u"m3"_s }));
        h.model->setIncludeGroupMessages(false);
        QCOMPARE(shown(), (QStringList { u"m1"_s, u"m3"_s }));

        // The people lens reloads the people and the person, never the state.
        const int stateRequests = service.count("/api/state");
        const int timelineRequests = service.count("/api/people/pat");
        run(h.model->refresh(true));
        QCOMPARE(service.count("/api/state"), stateRequests);
        QCOMPARE(service.count("/api/people/pat"), timelineRequests + 1);
        QCOMPARE(h.model->selectedPersonEmail(), std::optional<QString>(u"pat@example.com"_s));

        // Without a known mailbox address every message is shown.
        service.route(
            "GET", stateTarget(ConversationStatus::needsYou), mailState(ConversationStatus::needsYou, {}, false));
        run(h.model->selectStatus(ConversationStatus::needsYou));
        QVERIFY(!h.model->state()->mailbox);
        QVERIFY(!h.model->includeGroupMessages());
        QCOMPARE(shown(), (QStringList { u"m1"_s, u"m2"_s, u"m3"_s }));
    }

    // --- triage -------------------------------------------------------------------

    void errorCodes_data()
    {
        QTest::addColumn<std::exception_ptr>("error");
        QTest::addColumn<QString>("code");
        auto row = [](const char *name, auto error, const char *code) {
            QTest::newRow(name) << std::make_exception_ptr(error) << QString::fromLatin1(code);
        };
        row("unavailable", CodexRunnerError::unavailable(), "codex_unavailable");
        row("untrusted", CodexRunnerError::untrustedBinary(), "codex_untrusted");
        row("not logged in", CodexRunnerError::notLoggedIn(), "codex_not_logged_in");
        row("timed out", CodexRunnerError::timedOut(), "codex_timeout");
        row("invalid output", CodexRunnerError::invalidOutput(), "codex_invalid_output");
        row("failed with a status", CodexRunnerError::failed(3), "codex_failed");
        row("service error", MailAPIError::server(500, u"x"_s), "codex_failed");
        row("platform error", PlatformError(u"Connection refused"_s, 111), "codex_failed");
        row("foreign exception", std::runtime_error("x"), "codex_failed");
    }
    void errorCodes()
    {
        QFETCH(std::exception_ptr, error);
        QFETCH(QString, code);
        QCOMPARE(AppModel::errorCode(error), code);
    }

    void passDoesNothingWhileCodexIsNotReady()
    {
        FakeService service;
        service.route("GET", stateTarget(ConversationStatus::needsYou), mailState(ConversationStatus::needsYou, {}));
        service.route("GET", "/api/people", PeopleResponse {});
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(kToken));
        run(h.model->bootstrap());
        QVERIFY(!h.model->isCodexReady());
        QCOMPARE(service.count(), 2); // the start-up reload only
        auto pass = h.model->autoTriagePendingWork();
        QVERIFY(pass.isReady());
        QCOMPARE(service.count(), 2);
    }

    void passWithNothingEligibleStillReloads()
    {
        FakeService service;
        service.route("GET", stateTarget(ConversationStatus::needsYou), mailState(ConversationStatus::needsYou, {}));
        service.route("GET", stateTarget(ConversationStatus::inbox), mailState(ConversationStatus::inbox, {}));
        service.route("GET", stateTarget(ConversationStatus::waiting),
            mailState(ConversationStatus::waiting,
                { item(
                    u"conv_w"_s, ConversationStatus::waiting, u"s"_s, u"n"_s, u"a@b.c"_s, u"p"_s, u"summarised"_s) }));
        service.route("GET", "/api/people", PeopleResponse {});
        Harness h(service.baseUrl(), Harness::Codex::double_);
        QVERIFY(h.saveToken(kToken));
        QSignalSpy running(h.model.get(), &AppModel::isRunningAIChanged);
        run(h.model->bootstrap());
        QVERIFY(h.model->isCodexReady());
        QCOMPARE(running.count(), 0);
        QCOMPARE(service.count("/api/conversations"), 0);
        // The start-up reload, then the pass's closing reload.
        QCOMPARE(service.count(stateTarget(ConversationStatus::needsYou)), 2);
        QVERIFY(!h.model->errorMessage());
    }

    void failingJobSteps_data()
    {
        QTest::addColumn<int>("startStatus");
        QTest::addColumn<int>("completeStatus");
        QTest::addColumn<QString>("failCode"); // empty: no fail request expected
        QTest::addColumn<QString>("message");
        QTest::newRow("start fails: no job to fail") << 500 << 200 << QString() << u"開始できません"_s;
        QTest::newRow("complete fails: codex_failed") << 200 << 500 << u"codex_failed"_s << u"完了できません"_s;
    }
    void failingJobSteps()
    {
        QFETCH(int, startStatus);
        QFETCH(int, completeStatus);
        QFETCH(QString, failCode);
        QFETCH(QString, message);
        FakeService service;
        const ConversationListItem pending = item(u"conv_a"_s, ConversationStatus::inbox);
        service.route("GET", stateTarget(ConversationStatus::needsYou), mailState(ConversationStatus::needsYou, {}));
        service.route("GET", stateTarget(ConversationStatus::inbox), mailState(ConversationStatus::inbox, { pending }));
        service.route("GET", stateTarget(ConversationStatus::waiting), mailState(ConversationStatus::waiting, {}));
        service.route("GET", "/api/people", PeopleResponse {});
        if (startStatus == 200)
            service.route(
                "POST", "/api/conversations/conv_a/ai/start", AiStartResponse { true, u"job_1"_s, detailOf(pending) });
        else
            service.route("POST", "/api/conversations/conv_a/ai/start", startStatus, R"({"message":"開始できません"})");
        service.route(
            "POST", "/api/conversations/conv_a/ai/complete", completeStatus, R"({"message":"完了できません"})");
        service.route("POST", "/api/conversations/conv_a/ai/fail", OkResponse { true });
        Harness h(service.baseUrl(), Harness::Codex::double_);
        h.home.setAnswer(insightJson(u"要約"_s, u"needs_you"_s));
        QVERIFY(h.saveToken(kToken));
        QSignalSpy running(h.model.get(), &AppModel::isRunningAIChanged);

        run(h.model->bootstrap());

        QCOMPARE(running.count(), 2);
        QVERIFY(!h.model->isRunningAI());
        QCOMPARE(h.model->errorMessage(), std::optional<QString>(message));
        QList<test::RecordedRequest> fails;
        for (const test::RecordedRequest &r : service.requests()) {
            if (r.target.endsWith("/ai/fail"))
                fails.append(r);
        }
        if (failCode.isEmpty()) {
            QVERIFY(fails.isEmpty());
        } else {
            QCOMPARE(fails.size(), 1);
            const nlohmann::json body = parseJson(fails.constFirst().body);
            QCOMPARE(QString::fromStdString(body.at("errorCode").get<std::string>()), failCode);
            QCOMPARE(QString::fromStdString(body.at("jobId").get<std::string>()), u"job_1"_s);
        }

        // Backed off for 300 s from the failure, then tried again.
        const int starts = service.count("/api/conversations/conv_a/ai/start");
        h.now += AppModel::kAutoTriageBackOffMs - 1;
        run(h.model->autoTriagePendingWork());
        QCOMPARE(service.count("/api/conversations/conv_a/ai/start"), starts);
        h.now += 1;
        run(h.model->autoTriagePendingWork());
        QCOMPARE(service.count("/api/conversations/conv_a/ai/start"), starts + 1);
    }

    void firstFailureOfAPassWins()
    {
        FakeService service;
        const ConversationListItem a = item(u"conv_a"_s, ConversationStatus::inbox);
        const ConversationListItem b = item(u"conv_b"_s, ConversationStatus::waiting);
        service.route("GET", stateTarget(ConversationStatus::needsYou), mailState(ConversationStatus::needsYou, {}));
        service.route("GET", stateTarget(ConversationStatus::inbox), mailState(ConversationStatus::inbox, { a }));
        service.route("GET", stateTarget(ConversationStatus::waiting), mailState(ConversationStatus::waiting, { b }));
        service.route("GET", "/api/people", PeopleResponse {});
        for (const ConversationListItem &c : { a, b }) {
            const QByteArray path = "/api/conversations/" + c.id.toUtf8() + "/ai/";
            service.route("POST", path + "start", AiStartResponse { true, u"job_"_s + c.id, detailOf(c) });
            service.route("POST", path + "complete", 500, R"({"message":")" + c.id.toUtf8() + R"( failed"})");
            service.route("POST", path + "fail", OkResponse { true });
        }
        Harness h(service.baseUrl(), Harness::Codex::double_);
        h.home.setAnswer(insightJson(u"要約"_s, u"needs_you"_s));
        QVERIFY(h.saveToken(kToken));

        run(h.model->bootstrap());

        QCOMPARE(h.model->errorMessage(), std::optional<QString>(u"conv_a failed"_s));
        QCOMPARE(service.count("/api/conversations/conv_b/ai/fail"), 1);
        // Both wait out their back-off.
        const int starts = service.count("/api/conversations/");
        h.now += 60'000;
        run(h.model->autoTriagePendingWork());
        QCOMPARE(service.count("/api/conversations/"), starts);
    }

    void passAndUserTriageExcludeEachOther()
    {
        FakeService service;
        const ConversationListItem pending = item(u"conv_a"_s, ConversationStatus::inbox);
        service.route("GET", stateTarget(ConversationStatus::needsYou), mailState(ConversationStatus::needsYou, {}));
        service.route("GET", stateTarget(ConversationStatus::inbox), mailState(ConversationStatus::inbox, {}));
        service.route("GET", stateTarget(ConversationStatus::waiting), mailState(ConversationStatus::waiting, {}));
        service.route("GET", stateTarget(ConversationStatus::aiWorking), mailState(ConversationStatus::aiWorking, {}));
        service.route("GET", "/api/people", PeopleResponse {});
        service.route("GET", "/api/conversations/conv_a", detailOf(pending));
        ConversationDetail completed = detailOf(pending);
        completed.status = ConversationStatus::needsYou;
        service.route("POST", "/api/conversations/conv_a/ai/complete", AiCompleteResponse { true, completed });
        Harness h(service.baseUrl(), Harness::Codex::double_);
        h.home.setAnswer(insightJson(u"要約"_s, u"needs_you"_s));
        QVERIFY(h.saveToken(kToken));
        run(h.model->bootstrap());
        run(h.model->openConversation(u"conv_a"_s));
        QVERIFY(h.model->detail());

        // A pass that is still listing pending work keeps the user's triage out.
        service.route(
            "GET", stateTarget(ConversationStatus::inbox), mailState(ConversationStatus::inbox, { pending }), 300ms);
        service.route(
            "POST", "/api/conversations/conv_a/ai/start", AiStartResponse { true, u"job_1"_s, detailOf(pending) });
        auto pass = h.model->autoTriagePendingWork();
        QVERIFY(!pass.isReady());
        auto refused = h.model->runAI();
        QVERIFY(refused.isReady());
        run(std::move(pass));
        QCOMPARE(service.count("/api/conversations/conv_a/ai/start"), 1);

        // A user triage keeps the pass out. (The pass's closing reload dropped the selection.)
        run(h.model->openConversation(u"conv_a"_s));
        service.route("POST", "/api/conversations/conv_a/ai/start",
            AiStartResponse { true, u"job_2"_s, detailOf(pending) }, 300ms);
        QVERIFY(h.model->detail());
        const int listings = service.count(stateTarget(ConversationStatus::inbox));
        auto user = h.model->runAI();
        QVERIFY(h.model->isRunningAI());
        auto skipped = h.model->autoTriagePendingWork();
        QVERIFY(skipped.isReady());
        run(std::move(user));
        QCOMPARE(service.count(stateTarget(ConversationStatus::inbox)), listings);
        QCOMPARE(service.count("/api/conversations/conv_a/ai/start"), 2);
        QVERIFY(!h.model->isRunningAI());
    }

    // --- against the reference service ------------------------------------------------

    void newInboxConversationIsTriagedInTheBackground()
    {
        ReferenceService service(ReferenceService::Data::Empty);
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        const auto delivered = service.deliver({ .from = u"kim@example.com"_s,
            .fromName = u"Kim"_s,
            .subject = u"日程のご相談"_s,
            .body = u"来週の打ち合わせの候補日を教えてください。"_s });
        QVERIFY2(delivered, qPrintable(service.errorString()));
        Harness h(service.baseUrl(), Harness::Codex::double_);
        h.home.setAnswer(insightJson(u"打ち合わせの日程調整"_s, u"needs_you"_s));
        QVERIFY(h.saveToken(service.token()));
        QSignalSpy running(h.model.get(), &AppModel::isRunningAIChanged);

        run(h.model->bootstrap());

        QCOMPARE(running.count(), 2);
        QVERIFY(!h.model->isRunningAI());
        QVERIFY2(!h.model->errorMessage(), qPrintable(h.model->errorMessage().value_or(QString())));
        const auto triaged = serviceConversation(service, delivered->conversationId);
        QVERIFY(triaged);
        QCOMPARE(triaged->status, ConversationStatus::needsYou);
        QCOMPARE(triaged->aiSummary, std::optional<QString>(u"打ち合わせの日程調整"_s));
        QCOMPARE(aiJobs(service.databasePath(), delivered->conversationId), QStringList { u"completed:"_s });
        // The engine saw the mail, and the closing reload shows it in its new list.
        QVERIFY(QString::fromUtf8(h.home.recorded(u"exec"_s, u"stdin"_s).value_or(QByteArray()))
                    .contains(u"候補日を教えてください"_s));
        QCOMPARE(h.model->selectedStatus(), ConversationStatus::needsYou);
        const QList<ConversationListItem> shown = h.model->filteredConversations();
        QCOMPARE(ids(shown), QStringList { delivered->conversationId });
        QCOMPARE(shown.constFirst().aiSummary, std::optional<QString>(u"打ち合わせの日程調整"_s));
    }

    void timedOutTriageIsFailedAndBackedOff()
    {
        ReferenceService service(ReferenceService::Data::Empty);
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        const auto delivered
            = service.deliver({ .from = u"kim@example.com"_s, .subject = u"遅い"_s, .body = u"本文"_s });
        QVERIFY2(delivered, qPrintable(service.errorString()));
        Harness h(service.baseUrl(), Harness::Codex::double_, 400ms);
        h.home.setAnswer(insightJson(u"要約"_s, u"done"_s));
        // Slower than the triage's limit (the probe's is far longer).
        h.home.setControl(u"delay_ms=1200\n"_s);
        QVERIFY(h.saveToken(service.token()));

        run(h.model->bootstrap());

        QCOMPARE(h.model->errorMessage(), std::optional<QString>(CodexRunnerError::timedOut().description()));
        QCOMPARE(aiJobs(service.databasePath(), delivered->conversationId), QStringList { u"failed:codex_timeout"_s });
        QCOMPARE(serviceConversation(service, delivered->conversationId)->status, ConversationStatus::inbox);
        QVERIFY(h.execRan());

        h.home.setControl(QString());
        h.model->setErrorMessage(std::nullopt);
        h.now += AppModel::kAutoTriageBackOffMs - 1;
        run(h.model->autoTriagePendingWork());
        QVERIFY(!h.execRan());
        QCOMPARE(aiJobs(service.databasePath(), delivered->conversationId).size(), 1);

        h.now += 1;
        run(h.model->autoTriagePendingWork());
        QVERIFY(h.execRan());
        QVERIFY(!h.model->errorMessage());
        QCOMPARE(aiJobs(service.databasePath(), delivered->conversationId),
            (QStringList { u"failed:codex_timeout"_s, u"completed:"_s }));
        QCOMPARE(serviceConversation(service, delivered->conversationId)->status, ConversationStatus::done);
    }

    void rejectedTokenAtStartUpSignsOutWithoutTriage()
    {
        ReferenceService service(ReferenceService::Data::Demo);
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        Harness h(service.baseUrl(), Harness::Codex::double_);
        QVERIFY(h.saveToken(kToken)); // well-formed, but unknown to the service

        run(h.model->bootstrap());

        QVERIFY(h.model->isCodexReady());
        QVERIFY(!h.model->isConfigured());
        QCOMPARE(h.model->errorMessage(), std::optional<QString>(MailAPIError::unauthorized().description()));
        QVERIFY(!h.model->state());
        QVERIFY(!h.execRan());
        QCOMPARE(DeviceCredentialStore(h.dataDir()).load(), std::optional<QString>(kToken));
    }

    void reloadKeepsOrDropsTheSelection()
    {
        ReferenceService service(ReferenceService::Data::Demo);
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(service.token()));
        run(h.model->bootstrap());
        const QList<ConversationListItem> list = h.model->filteredConversations();
        QVERIFY2(list.size() >= 2, "the demo data has at least two conversations that need the user");
        const QString kept = list.at(0).id;

        run(h.model->openConversation(kept));
        QCOMPARE(h.model->detail()->id, kept);
        QSignalSpy detail(h.model.get(), &AppModel::detailChanged);
        run(h.model->refresh(true));
        QCOMPARE(h.model->selectedConversationID(), std::optional<QString>(kept));
        // Loaded again; the same answer changes nothing on screen.
        QCOMPARE(detail.count(), 0);
        QCOMPARE(h.model->detail()->id, kept);

        // Moved away on the service: the next reload drops the selection and the detail.
        run(APIClient(service.baseUrl()).setStatus(ConversationStatus::done, kept, service.token()));
        run(h.model->refresh(true));
        QVERIFY(!h.model->selectedConversationID());
        QVERIFY(!h.model->detail());
        QVERIFY(!ids(h.model->filteredConversations()).contains(kept));
    }

    void userTriageShowsTheConversationUnderItsNewStatus()
    {
        ReferenceService service(ReferenceService::Data::Empty);
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        const auto delivered
            = service.deliver({ .from = u"kim@example.com"_s, .subject = u"了解"_s, .body = u"以上です。"_s });
        QVERIFY2(delivered, qPrintable(service.errorString()));
        Harness h(service.baseUrl(), Harness::Codex::double_);
        h.home.setAnswer(insightJson(u"対応不要"_s, u"done"_s));
        // Not ready at start-up, so the pass leaves the conversation alone;
        // the user's triage does not ask for readiness.
        h.home.setControl(u"login_exit=1\n"_s);
        QVERIFY(h.saveToken(service.token()));
        run(h.model->bootstrap());
        QVERIFY(!h.model->isCodexReady());
        run(h.model->selectStatus(ConversationStatus::inbox));
        run(h.model->openConversation(delivered->conversationId));
        h.home.setControl(QString());

        QList<ConversationStatus> statuses;
        connect(
            h.model.get(), &AppModel::selectedStatusChanged, this, [&] { statuses.append(h.model->selectedStatus()); });
        run(h.model->runAI());

        QCOMPARE(statuses, (QList<ConversationStatus> { ConversationStatus::aiWorking, ConversationStatus::done }));
        QVERIFY2(!h.model->errorMessage(), qPrintable(h.model->errorMessage().value_or(QString())));
        QVERIFY(!h.model->isRunningAI());
        QCOMPARE(h.model->selectedConversationID(), std::optional<QString>(delivered->conversationId));
        QCOMPARE(h.model->detail()->aiSummary, std::optional<QString>(u"対応不要"_s));
        QVERIFY(ids(h.model->filteredConversations()).contains(delivered->conversationId));
        QCOMPARE(aiJobs(service.databasePath(), delivered->conversationId), QStringList { u"completed:"_s });
    }
};

QTEST_MAIN(TestAppModel)
#include "test_appmodel.moc"
