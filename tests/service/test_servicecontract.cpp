// Contract tests: the client's APIClient against the reference mail service
// on loopback. Two independent implementations of the wire format meet here,
// so a record that one side writes and the other cannot read fails a test.

#include "api/apiclient.h"
#include "core/blocking.h"
#include "support/referenceservice.h"

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QSet>
#include <QTest>

#include <functional>

using namespace quarn;
using namespace quarn::test;
using namespace Qt::StringLiterals;

namespace {

template<typename T> T run(QCoro::Task<T> task)
{
    return blockOn(std::move(task), std::chrono::seconds(30));
}

/// The MailAPIError a task fails with; none when it succeeds or fails otherwise.
template<typename T> std::optional<MailAPIError> failure(QCoro::Task<T> task)
{
    try {
        blockOn(std::move(task), std::chrono::seconds(30));
    } catch (const MailAPIError &e) {
        return e;
    } catch (...) { }
    return std::nullopt;
}

bool isJapanese(const QString &text)
{
    for (const QChar c : text)
        if (c.unicode() >= 0x3040 && c.unicode() <= 0x9FFF)
            return true;
    return false;
}

enum class Operation { conversation, reply, setStatus, startAI, completeAI, failAI };

AiInsight sampleInsight(ConversationStatus suggested)
{
    AiInsight insight;
    insight.summary = u"見積もりの確認依頼です。"_s;
    insight.deadline = u"金曜日"_s;
    insight.suggestedStatus = suggested;
    insight.draft = u"承知しました。"_s;
    insight.risk = u"low"_s;
    return insight;
}

} // namespace

Q_DECLARE_METATYPE(Operation)
Q_DECLARE_METATYPE(quarn::ConversationStatus)

class TestServiceContract : public QObject
{
    Q_OBJECT

private:
    ReferenceService m_service;
    std::optional<APIClient> m_client;
    int m_serial = 0;

    const APIClient &client() const { return *m_client; }
    QString token() const { return m_service.token(); }

    /// A fresh conversation in the inbox, from an outside address of its own.
    ReferenceService::Delivered incoming(const QString &subject = u"見積もりのお願い"_s, QStringList cc = {})
    {
        const auto delivered = m_service.deliver({ .from = u"sender%1@example.com"_s.arg(++m_serial),
            .fromName = u"差出人 %1"_s.arg(m_serial),
            .subject = subject,
            .body = u"お見積もりをお願いできますか。"_s,
            .cc = std::move(cc) });
        if (!delivered)
            qFatal("deliver failed: %s", qPrintable(m_service.errorString()));
        return *delivered;
    }

    ConversationDetail detail(const QString &id) { return run(client().conversation(id, token())); }

    bool listed(ConversationStatus status, const QString &id)
    {
        const MailState state = run(client().state(status, token()));
        return std::any_of(state.conversations.begin(), state.conversations.end(),
            [&](const ConversationListItem &c) { return c.id == id; });
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
        m_client.emplace(m_service.baseUrl());
    }
    // Idle keep-alive connections would hold the service's shutdown until they time out.
    void cleanupTestCase() { APIClient::networkAccessManager()->clearConnectionCache(); }

    void stateCountsEveryStatusAndMatchesItsRows()
    {
        for (const ConversationStatus status : allCases<ConversationStatus>()) {
            const MailState state = run(client().state(status, token()));
            QCOMPARE(state.status, status);
            QCOMPARE(state.counts.size(), 6);
            for (const ConversationStatus s : allCases<ConversationStatus>())
                QVERIFY(state.counts.contains(rawValue(s)));
            QCOMPARE(state.conversations.size(), state.counts.value(rawValue(status)));
            QVERIFY2(!state.conversations.isEmpty(), "the demo data holds every status");
            for (qsizetype i = 0; i < state.conversations.size(); ++i) {
                QCOMPARE(state.conversations[i].status, status);
                if (i > 0)
                    QVERIFY(state.conversations[i - 1].lastMessageAt >= state.conversations[i].lastMessageAt);
            }
            QVERIFY(state.mailbox);
            QCOMPARE(state.mailbox->address, u"aoi@"_s + m_service.mailDomain());
            QVERIFY(!state.viewer.id.isEmpty());
        }
    }

    void openingAConversationReadsItsMessages()
    {
        const auto delivered = incoming(u"資料の送付"_s);
        QVERIFY(listed(ConversationStatus::inbox, delivered.conversationId));
        const MailState before = run(client().state(ConversationStatus::inbox, token()));
        const auto row = std::find_if(before.conversations.begin(), before.conversations.end(),
            [&](const auto &c) { return c.id == delivered.conversationId; });
        QVERIFY(row->unread);
        QCOMPARE(row->preview, u"お見積もりをお願いできますか。"_s);

        const ConversationDetail opened = detail(delivered.conversationId);
        QCOMPARE(opened.messages.size(), 1);
        QCOMPARE(opened.messages[0].id, delivered.messageId);
        QVERIFY(!opened.messages[0].senderUserId);
        QCOMPARE(opened.messages[0].channel, u"email"_s);
        QCOMPARE(opened.messages[0].recipients[0].email, u"aoi@"_s + m_service.mailDomain());
        QVERIFY(!opened.unread);
        QVERIFY(!detail(delivered.conversationId).unread);
    }

    void unknownConversationIsNotFound_data()
    {
        QTest::addColumn<Operation>("operation");
        QTest::addColumn<QString>("id");
        const std::pair<const char *, Operation> operations[] = { { "conversation", Operation::conversation },
            { "reply", Operation::reply }, { "setStatus", Operation::setStatus }, { "startAI", Operation::startAI },
            { "completeAI", Operation::completeAI }, { "failAI", Operation::failAI } };
        for (const auto &[name, op] : operations) {
            QTest::addRow("%s, unknown id", name) << op << u"conv_missing"_s;
            QTest::addRow("%s, id with a space and quote", name) << op << u"conv_a b'c"_s;
            QTest::addRow("%s, id of percent signs", name) << op << u"%%41"_s;
        }
    }

    void unknownConversationIsNotFound()
    {
        QFETCH(Operation, operation);
        QFETCH(QString, id);
        std::optional<MailAPIError> error;
        switch (operation) {
        case Operation::conversation:
            error = failure(client().conversation(id, token()));
            break;
        case Operation::reply:
            error = failure(client().reply(id, u"返信"_s, token()));
            break;
        case Operation::setStatus:
            error = failure(client().setStatus(ConversationStatus::done, id, token()));
            break;
        case Operation::startAI:
            error = failure(client().startAI(id, token()));
            break;
        case Operation::completeAI:
            error = failure(client().completeAI(id, u"job_x"_s, sampleInsight(ConversationStatus::done), token()));
            break;
        case Operation::failAI:
            error = failure(client().failAI(id, u"job_x"_s, u"codex_failed"_s, token()));
            break;
        }
        QVERIFY(error);
        QCOMPARE(error->kind(), MailAPIError::Kind::server);
        QCOMPARE(error->status(), 404);
        QVERIFY(isJapanese(error->message()));
    }

    void unknownTokenIsUnauthorized()
    {
        const QString bogus = u"tok_mail_"_s + QString(43, u'Z');
        const auto state = failure(client().state(ConversationStatus::inbox, bogus));
        QVERIFY(state && state->kind() == MailAPIError::Kind::unauthorized);
        const auto create = failure(client().create({ u"a@example.com"_s }, u"s"_s, u"b"_s, std::nullopt, bogus));
        QVERIFY(create && create->kind() == MailAPIError::Kind::unauthorized);
    }

    void replyWaitsForTheOtherPartyAndNewMailReopens()
    {
        const auto delivered = incoming(u"打ち合わせの件"_s, { u"colleague@example.com"_s });
        const auto answer = run(client().reply(delivered.conversationId, u"  承知しました。  "_s, token()));
        QVERIFY(answer.ok);
        QCOMPARE(answer.status, ConversationStatus::waiting);
        QCOMPARE(answer.conversationId, delivered.conversationId);
        QVERIFY(answer.messageId);
        QVERIFY(listed(ConversationStatus::waiting, delivered.conversationId));
        QVERIFY(!listed(ConversationStatus::inbox, delivered.conversationId));

        const MailState state = run(client().state(ConversationStatus::waiting, token()));
        const MessageView mine = detail(delivered.conversationId).messages.last();
        QCOMPARE(mine.id, *answer.messageId);
        QCOMPARE(mine.senderUserId, std::optional<QString>(state.viewer.id));
        QCOMPARE(mine.senderEmail, state.mailbox->address);
        QCOMPARE(mine.channel, u"email"_s);
        QCOMPARE(mine.recipients.size(), 2);
        QCOMPARE(mine.recipients[0].role, u"to"_s);
        QCOMPARE(mine.recipients[1].email, u"colleague@example.com"_s);
        QCOMPARE(mine.recipients[1].role, u"cc"_s);
        QTRY_COMPARE_WITH_TIMEOUT(
            detail(delivered.conversationId).messages.last().deliveryStatus, u"delivered"_s, 10000);

        // The other party answers: the same conversation is new work again.
        const auto answerBack = m_service.deliver({ .from = u"sender%1@example.com"_s.arg(m_serial),
            .subject = u"Re: 打ち合わせの件"_s,
            .body = u"ありがとうございます。"_s });
        QVERIFY(answerBack);
        QCOMPARE(answerBack->conversationId, delivered.conversationId);
        QVERIFY(listed(ConversationStatus::inbox, delivered.conversationId));
        QCOMPARE(detail(delivered.conversationId).messages.size(), 3);
    }

    void setStatusAcceptsOnlyUserSelectableStatuses_data()
    {
        QTest::addColumn<ConversationStatus>("status");
        QTest::addColumn<bool>("accepted");
        for (const ConversationStatus s : allCases<ConversationStatus>())
            QTest::addRow("%s", rawValueUtf8(s).data()) << s << isUserSelectable(s);
    }

    void setStatusAcceptsOnlyUserSelectableStatuses()
    {
        QFETCH(ConversationStatus, status);
        QFETCH(bool, accepted);
        const auto delivered = incoming();
        if (accepted) {
            QVERIFY(run(client().setStatus(status, delivered.conversationId, token())).ok);
            QVERIFY(listed(status, delivered.conversationId));
        } else {
            const auto error = failure(client().setStatus(status, delivered.conversationId, token()));
            QVERIFY(error);
            QCOMPARE(error->status(), 422);
            QVERIFY(isJapanese(error->message()));
            QVERIFY(listed(ConversationStatus::inbox, delivered.conversationId));
        }
    }

    void createChoosesTransportFromTheAddresses_data()
    {
        QTest::addColumn<QStringList>("to");
        QTest::addColumn<bool>("scheduled");
        QTest::addColumn<ConversationTransport>("transport");
        QTest::addColumn<ConversationStatus>("status");
        QTest::addColumn<QString>("channel");
        QTest::addColumn<QString>("finalDelivery");

        const QString own = u"@"_s + m_service.mailDomain();
        QTest::newRow("own domain is chat") << QStringList { u"ren2"_s + own } << false << ConversationTransport::chat
                                            << ConversationStatus::waiting << u"chat"_s << u"delivered"_s;
        QTest::newRow("outside is e-mail")
            << QStringList { u"Kim@Example.com"_s } << false << ConversationTransport::email
            << ConversationStatus::waiting << u"email"_s << u"delivered"_s;
        QTest::newRow("both is mixed") << QStringList { u"ren3"_s + own, u"lee@example.com"_s } << false
                                       << ConversationTransport::mixed << ConversationStatus::waiting << u"email"_s
                                       << u"delivered"_s;
        QTest::newRow("scheduled stays scheduled")
            << QStringList { u"later@example.com"_s } << true << ConversationTransport::email
            << ConversationStatus::scheduled << u"email"_s << u"scheduled"_s;
        QTest::newRow("undeliverable address fails")
            << QStringList { u"someone@nowhere.invalid"_s } << false << ConversationTransport::email
            << ConversationStatus::waiting << u"email"_s << u"failed"_s;
    }

    void createChoosesTransportFromTheAddresses()
    {
        QFETCH(QStringList, to);
        QFETCH(bool, scheduled);
        QFETCH(ConversationTransport, transport);
        QFETCH(ConversationStatus, status);
        QFETCH(QString, channel);
        QFETCH(QString, finalDelivery);

        // Far in the future: the background delivery must leave it alone.
        const std::optional<QDateTime> when
            = scheduled ? std::optional(QDateTime::currentDateTimeUtc().addDays(30)) : std::nullopt;
        const auto answer = run(client().create(to, u"新しい会話"_s, u"こんにちは"_s, when, token()));
        QVERIFY(answer.ok);
        QCOMPARE(answer.status, status);
        QVERIFY(answer.conversationId);
        const ConversationDetail created = detail(*answer.conversationId);
        QCOMPARE(created.transport, transport);
        QCOMPARE(created.status, status);
        QCOMPARE(created.participantAddress, to.first().toLower());
        QCOMPARE(created.messages.size(), 1);
        QCOMPARE(created.messages[0].channel, channel);
        QCOMPARE(created.messages[0].recipients.size(), to.size());
        if (when)
            QCOMPARE(created.messages[0].scheduledFor, std::optional(when->toMSecsSinceEpoch()));
        QTRY_COMPARE_WITH_TIMEOUT(detail(*answer.conversationId).messages[0].deliveryStatus, finalDelivery, 10000);
        QCOMPARE(detail(*answer.conversationId).status, status);
    }

    void dueScheduledMessageIsSentAndWaits()
    {
        // Already due when it arrives: the background delivery sends it at once.
        const auto answer = run(client().create(
            { u"soon@example.com"_s }, u"予約"_s, u"時間です"_s, QDateTime::currentDateTimeUtc().addSecs(-1), token()));
        QCOMPARE(answer.status, ConversationStatus::scheduled);
        QTRY_COMPARE_WITH_TIMEOUT(detail(*answer.conversationId).status, ConversationStatus::waiting, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(detail(*answer.conversationId).messages[0].deliveryStatus, u"delivered"_s, 10000);
    }

    void completedJobStoresTheInsightAndMoves()
    {
        const auto delivered = incoming(u"請求書の確認"_s);
        const AiStartResponse started = run(client().startAI(delivered.conversationId, token()));
        QVERIFY(started.ok);
        QVERIFY(!started.jobId.isEmpty());
        QCOMPARE(started.conversation.status, ConversationStatus::aiWorking);
        QCOMPARE(started.conversation.messages.size(), 1);
        QCOMPARE(started.conversation.messages[0].id, delivered.messageId);
        QVERIFY(listed(ConversationStatus::aiWorking, delivered.conversationId));

        const AiCompleteResponse completed = run(client().completeAI(
            delivered.conversationId, started.jobId, sampleInsight(ConversationStatus::needsYou), token()));
        QVERIFY(completed.ok);
        QCOMPARE(completed.conversation.status, ConversationStatus::needsYou);
        QCOMPARE(completed.conversation.aiSummary, std::optional(u"見積もりの確認依頼です。"_s));
        QCOMPARE(completed.conversation.aiRequest, std::nullopt);
        QCOMPARE(completed.conversation.aiDeadline, std::optional(u"金曜日"_s));
        QCOMPARE(completed.conversation.aiDraft, std::optional(u"承知しました。"_s));
        QCOMPARE(completed.conversation.aiRisk, std::optional(u"low"_s));
        QVERIFY(listed(ConversationStatus::needsYou, delivered.conversationId));

        // The job is closed now.
        const auto again = failure(client().completeAI(
            delivered.conversationId, started.jobId, sampleInsight(ConversationStatus::done), token()));
        QVERIFY(again && again->status() == 409);
        QVERIFY(isJapanese(again->message()));
        const auto late = failure(client().failAI(delivered.conversationId, started.jobId, u"codex_failed"_s, token()));
        QVERIFY(late && late->status() == 409);
        QCOMPARE(detail(delivered.conversationId).status, ConversationStatus::needsYou);
    }

    void failedJobRestoresThePreviousStatus()
    {
        const auto delivered = incoming();
        QVERIFY(run(client().setStatus(ConversationStatus::waiting, delivered.conversationId, token())).ok);
        const AiStartResponse started = run(client().startAI(delivered.conversationId, token()));
        run(client().failAI(delivered.conversationId, started.jobId, u"codex_timeout"_s, token()));
        QCOMPARE(detail(delivered.conversationId).status, ConversationStatus::waiting);
        QVERIFY(!detail(delivered.conversationId).aiSummary);
        const auto twice
            = failure(client().failAI(delivered.conversationId, started.jobId, u"codex_timeout"_s, token()));
        QVERIFY(twice && twice->status() == 409);
    }

    void jobsAreRefusedOutsideTheirConversation()
    {
        const auto a = incoming();
        const auto b = incoming();
        const AiStartResponse job = run(client().startAI(a.conversationId, token()));
        const auto elsewhere = failure(
            client().completeAI(b.conversationId, job.jobId, sampleInsight(ConversationStatus::done), token()));
        QVERIFY(elsewhere && elsewhere->status() == 409);
        QCOMPARE(detail(b.conversationId).status, ConversationStatus::inbox);

        // A second start replaces the first job (a client that went away) and
        // still returns to the status before either.
        const AiStartResponse second = run(client().startAI(a.conversationId, token()));
        const auto stale = failure(
            client().completeAI(a.conversationId, job.jobId, sampleInsight(ConversationStatus::done), token()));
        QVERIFY(stale && stale->status() == 409);
        run(client().failAI(a.conversationId, second.jobId, u"codex_failed"_s, token()));
        QCOMPARE(detail(a.conversationId).status, ConversationStatus::inbox);

        // The user's own choice ends a running job.
        const AiStartResponse third = run(client().startAI(a.conversationId, token()));
        QVERIFY(run(client().setStatus(ConversationStatus::done, a.conversationId, token())).ok);
        const auto overtaken = failure(
            client().completeAI(a.conversationId, third.jobId, sampleInsight(ConversationStatus::needsYou), token()));
        QVERIFY(overtaken && overtaken->status() == 409);
        QCOMPARE(detail(a.conversationId).status, ConversationStatus::done);

        // A suggestion the user could not choose is refused and leaves the job open.
        const AiStartResponse fourth = run(client().startAI(a.conversationId, token()));
        const auto refused = failure(
            client().completeAI(a.conversationId, fourth.jobId, sampleInsight(ConversationStatus::scheduled), token()));
        QVERIFY(refused && refused->status() == 422);
        run(client().failAI(a.conversationId, fourth.jobId, u"codex_invalid_output"_s, token()));
        QCOMPARE(detail(a.conversationId).status, ConversationStatus::done);
    }

    void otherAccountsSeeNothingOfThisOne()
    {
        const auto other = m_service.addUser(u"別の人"_s, u"other@example.jp"_s, u"other-account"_s);
        QVERIFY2(other, qPrintable(m_service.errorString()));
        const auto delivered = incoming();
        const auto read = failure(client().conversation(delivered.conversationId, other->token));
        QVERIFY(read && read->status() == 404);
        const auto start = failure(client().startAI(delivered.conversationId, other->token));
        QVERIFY(start && start->status() == 404);
        const MailState theirs = run(client().state(ConversationStatus::inbox, other->token));
        QVERIFY(theirs.conversations.isEmpty());
        QCOMPARE(theirs.mailbox->address, u"other-account@"_s + m_service.mailDomain());
        QVERIFY(run(client().people(other->token)).people.isEmpty());
        QCOMPARE(detail(delivered.conversationId).status, ConversationStatus::inbox);
    }

    void peopleCountsMatchTheirTimelines()
    {
        const auto people = run(client().people(token())).people;
        QVERIFY(people.size() >= 10);
        for (qsizetype i = 1; i < people.size(); ++i)
            QVERIFY(people[i - 1].lastMessageAt >= people[i].lastMessageAt);
        const auto sato = std::find_if(people.begin(), people.end(),
            [](const PersonSummary &p) { return p.email == u"ken.sato@example.co.jp"_s; });
        QVERIFY(sato != people.end());
        QCOMPARE(sato->displayName, u"佐藤 健"_s);
        QVERIFY(sato->needsYouCount >= 1);

        // Page back to the beginning: every message once, pages oldest first
        // inside and strictly older than the page before.
        QSet<QString> seen;
        std::optional<qint64> before;
        qint64 previousOldest = std::numeric_limits<qint64>::max();
        int pages = 0;
        for (;; ++pages) {
            QVERIFY(pages < 20);
            const PersonTimeline page = run(client().personTimeline(sato->email, before, token()));
            QCOMPARE(page.person, *sato);
            QVERIFY(!page.messages.isEmpty());
            for (qsizetype i = 1; i < page.messages.size(); ++i)
                QVERIFY(page.messages[i - 1].createdAt <= page.messages[i].createdAt);
            QVERIFY(page.messages.last().createdAt < previousOldest);
            previousOldest = page.messages.first().createdAt;
            for (const auto &m : page.messages) {
                QVERIFY2(!seen.contains(m.id), "a message came twice");
                seen.insert(m.id);
            }
            QCOMPARE(page.hasMore, page.nextBefore.has_value());
            if (!page.hasMore)
                break;
            QCOMPARE(*page.nextBefore, page.messages.first().createdAt);
            before = page.nextBefore;
        }
        QVERIFY(pages >= 2);
        QCOMPARE(qint64(seen.size()), sato->messageCount);
    }

    void timelinePagesDoNotSplitEqualTimes()
    {
        // 55 messages: 45 at distinct times, then 9 sharing one time across
        // the 50th place, then 1 older. A time cursor cannot point between
        // messages of equal time, so the first page takes the whole run.
        const QString person = u"burst@example.com"_s;
        const qint64 base = 1'700'000'000'000;
        QString conversation;
        QList<qint64> times { base - 10'000 };
        for (int i = 0; i < 9; ++i)
            times << base;
        for (int i = 1; i <= 45; ++i)
            times << base + i * 1000;
        for (const qint64 at : times) {
            const auto delivered = m_service.deliver(
                { .from = person, .subject = u"連続"_s, .body = u"本文"_s, .conversationId = conversation, .at = at });
            QVERIFY2(delivered, qPrintable(m_service.errorString()));
            conversation = delivered->conversationId;
        }

        const PersonTimeline first = run(client().personTimeline(person, std::nullopt, token()));
        QCOMPARE(first.messages.size(), 54);
        QVERIFY(first.hasMore);
        QCOMPARE(first.nextBefore, std::optional(base));
        const PersonTimeline second = run(client().personTimeline(person, first.nextBefore, token()));
        QCOMPARE(second.messages.size(), 1);
        QCOMPARE(second.messages[0].createdAt, base - 10'000);
        QVERIFY(!second.hasMore);
        QVERIFY(!second.nextBefore);
        QCOMPARE(first.person.messageCount, 55);
    }

    void mailboxIsAbsentUntilClaimed()
    {
        ReferenceService fresh(ReferenceService::Data::Empty);
        QVERIFY2(fresh.start(), qPrintable(fresh.errorString()));
        const APIClient api(fresh.baseUrl());
        const QString tok = fresh.token();
        QVERIFY(!run(api.state(ConversationStatus::inbox, tok)).mailbox);

        const auto noAddress = failure(api.create({ u"a@example.com"_s }, u"件名"_s, u"本文"_s, std::nullopt, tok));
        QVERIFY(noAddress && noAddress->status() == 409);
        QVERIFY(isJapanese(noAddress->message()));

        const auto taken = fresh.addUser(u"先客"_s, u"first@example.jp"_s, u"taken"_s);
        QVERIFY(taken);
        const struct
        {
            QString localPart;
            int status;
        } refusals[] = { { u"ab"_s, 422 }, { u"日本語"_s, 422 }, { u"a..b"_s, 422 }, { u"-abc"_s, 422 },
            { u"has space"_s, 422 }, { u"taken"_s, 409 }, { u"TAKEN"_s, 409 }, { u"postmaster"_s, 409 } };
        for (const auto &[localPart, status] : refusals) {
            const auto error = failure(api.claimMailbox(localPart, u"名前"_s, tok));
            QVERIFY2(error && error->status() == status, qPrintable(localPart));
            QVERIFY(isJapanese(error->message()));
        }
        const auto blankName = failure(api.claimMailbox(u"valid"_s, u"  "_s, tok));
        QVERIFY(blankName && blankName->status() == 422);
        QVERIFY(!run(api.state(ConversationStatus::inbox, tok)).mailbox);

        // Typed with blanks around it, as the setup screen sends it.
        const MailboxResponse claimed = run(api.claimMailbox(u" Tester.One "_s, u" テスト 太郎 "_s, tok));
        QVERIFY(claimed.ok);
        QCOMPARE(claimed.mailbox.address, u"tester.one@"_s + fresh.mailDomain());
        QCOMPARE(claimed.mailbox.displayName, u"テスト 太郎"_s);
        QCOMPARE(run(api.state(ConversationStatus::inbox, tok)).mailbox, std::optional(claimed.mailbox));
        QVERIFY(run(api.claimMailbox(u"tester.one"_s, u"テスト 太郎"_s, tok)).ok);
        const auto second = failure(api.claimMailbox(u"another"_s, u"名前"_s, tok));
        QVERIFY(second && second->status() == 409);
    }
};

QTEST_GUILESS_MAIN(TestServiceContract)
#include "test_servicecontract.moc"
