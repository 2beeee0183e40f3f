// The periodic reload as a list view sees it: an unchanged mailbox tells the
// views nothing, and one new conversation on top is one inserted row.
#include "api/apiclient.h"
#include "api/mailapierror.h"
#include "appmodelharness.h"
#include "core/blocking.h"
#include "support/referenceservice.h"

#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace quarn;
using namespace quarn::testing;
using quarn::test::ReferenceService;

namespace {

/// Every signal a view of one list model reacts to.
struct ListSignals
{
    explicit ListSignals(QAbstractItemModel *model)
        : inserted(model, &QAbstractItemModel::rowsInserted)
        , removed(model, &QAbstractItemModel::rowsRemoved)
        , moved(model, &QAbstractItemModel::rowsMoved)
        , changed(model, &QAbstractItemModel::dataChanged)
        , reset(model, &QAbstractItemModel::modelReset)
        , layout(model, &QAbstractItemModel::layoutChanged)
    { }

    [[nodiscard]] qsizetype total() const
    {
        return inserted.count() + removed.count() + moved.count() + changed.count() + reset.count() + layout.count();
    }

    QSignalSpy inserted;
    QSignalSpy removed;
    QSignalSpy moved;
    QSignalSpy changed;
    QSignalSpy reset;
    QSignalSpy layout;
};

MailState largeState(int conversations)
{
    MailState state;
    state.viewer = Viewer { u"usr_1"_s, u"佐藤"_s, u"sato@example.jp"_s };
    state.status = ConversationStatus::inbox;
    state.counts = { { u"inbox"_s, conversations } };
    for (int i = 0; i < conversations; ++i) {
        ConversationListItem c;
        c.id = u"conv_%1"_s.arg(i);
        c.subject = u"週次レポート %1"_s.arg(i);
        c.status = ConversationStatus::inbox;
        c.participantName = u"取引先"_s;
        c.participantAddress = u"partner@example.com"_s;
        c.preview = u"資料の確認をお願いします。"_s;
        c.lastMessageAt = 1'700'000'000'000 - i;
        state.conversations.append(c);
    }
    return state;
}

} // namespace

class TestReload : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void reloadTellsTheViewsOnlyWhatChanged()
    {
        ReferenceService service;
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(service.token()));
        run(h.model->bootstrap());
        run(h.model->selectStatus(ConversationStatus::inbox));
        QAbstractItemModel *list = h.model->filteredConversationsModel();
        const int shown = list->rowCount();
        QVERIFY(shown > 0);

        {
            ListSignals views(list);
            QSignalSpy state(h.model.get(), &AppModel::stateChanged);
            QSignalSpy people(h.model.get(), &AppModel::peopleChanged);
            run(h.model->refresh(true));
            QCOMPARE(views.total(), 0);
            QCOMPARE(state.count(), 0);
            QCOMPARE(people.count(), 0);
        }

        const auto delivered = service.deliver(
            { .from = u"new.sender@example.com"_s, .subject = u"はじめまして"_s, .body = u"ご挨拶まで。"_s });
        QVERIFY2(delivered, qPrintable(service.errorString()));
        ListSignals views(list);
        run(h.model->refresh(true));
        QCOMPARE(views.inserted.count(), 1);
        QCOMPARE(views.inserted.constFirst().at(1).toInt(), 0);
        QCOMPARE(views.inserted.constFirst().at(2).toInt(), 0);
        QCOMPARE(views.total(), 1);
        QCOMPARE(list->rowCount(), shown + 1);
        QCOMPARE(list->index(0, 0).data(ConversationListModel::IdRole).toString(), delivered->conversationId);
    }

    void answersDecodeTheSameOnEitherThread_data()
    {
        // Large answers are decoded on a worker, small ones where they
        // arrive: both succeed and fail alike.
        QTest::addColumn<int>("conversations");
        QTest::addColumn<bool>("broken");
        QTest::newRow("small") << 2 << false;
        QTest::newRow("small, one bad status") << 2 << true;
        QTest::newRow("large") << 2000 << false;
        QTest::newRow("large, one bad status") << 2000 << true;
    }

    void answersDecodeTheSameOnEitherThread()
    {
        QFETCH(int, conversations);
        QFETCH(bool, broken);
        const MailState state = largeState(conversations);
        QByteArray body = encodeJson(state);
        if (broken)
            body.replace(R"("status":"inbox","transport")", R"("status":"archived","transport")");
        FakeService service;
        service.route("GET", "/api/state?status=inbox", 200, body);
        const APIClient api(service.baseUrl());
        auto loading = api.state(ConversationStatus::inbox, u"tok_mail_"_s + QString(43, u'a'));
        try {
            const MailState loaded = run(std::move(loading));
            QVERIFY(!broken);
            QCOMPARE(loaded, state);
        } catch (const MailAPIError &e) {
            QVERIFY2(broken, qPrintable(e.description()));
            QCOMPARE(e.kind(), MailAPIError::Kind::invalidResponse);
        }
    }
};

QTEST_GUILESS_MAIN(TestReload)
#include "test_reload.moc"
