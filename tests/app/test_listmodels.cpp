// What a view is told when a list model gets a new list: the recorded
// signals, replayed on a plain copy of the rows, must give the new rows, and
// small changes must stay small (never a reset while rows are kept).
#include "app/listmodels.h"

#include <QAbstractItemModelTester>
#include <QRandomGenerator>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace quarn;

namespace {

ConversationListItem conversation(const QString &id, const QString &subject = u"件名"_s)
{
    ConversationListItem c;
    c.id = id;
    c.subject = subject;
    c.participantName = u"山田 花子"_s;
    c.participantAddress = u"hanako@example.jp"_s;
    c.lastMessageAt = 1'700'000'000'000;
    return c;
}

QList<ConversationListItem> conversations(const QStringList &ids)
{
    QList<ConversationListItem> out;
    for (const QString &id : ids)
        out.append(conversation(id));
    return out;
}

/// Keeps a copy of the ids a view would show by following the model's
/// signals (reading rows only when a signal says they are there), and counts
/// each kind of signal.
class Recorder : public QObject
{
public:
    explicit Recorder(ConversationListModel *model)
        : m_model(model)
    {
        for (int row = 0; row < model->rowCount(); ++row)
            m_ids.append(idAt(row));
        connect(model, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex &, int first, int last) {
            ++inserts;
            for (int row = first; row <= last; ++row)
                m_ids.insert(row, idAt(row));
        });
        connect(model, &QAbstractItemModel::rowsRemoved, this, [this](const QModelIndex &, int first, int last) {
            ++removals;
            m_ids.remove(first, last - first + 1);
        });
        connect(model, &QAbstractItemModel::rowsMoved, this,
            [this](const QModelIndex &, int first, int last, const QModelIndex &, int destination) {
                ++moves;
                const QStringList moved = m_ids.mid(first, last - first + 1);
                m_ids.remove(first, last - first + 1);
                const int to = destination > first ? destination - int(moved.size()) : destination;
                for (int i = 0; i < moved.size(); ++i)
                    m_ids.insert(to + i, moved.at(i));
            });
        connect(model, &QAbstractItemModel::modelReset, this, [this] {
            ++resets;
            m_ids.clear();
            for (int row = 0; row < m_model->rowCount(); ++row)
                m_ids.append(idAt(row));
        });
        connect(model, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex &topLeft, const QModelIndex &bottomRight) {
                for (int row = topLeft.row(); row <= bottomRight.row(); ++row) {
                    changedRows.append(row);
                    QCOMPARE(m_ids.at(row), idAt(row));
                }
            });
    }

    [[nodiscard]] QString idAt(int row) const
    {
        return m_model->data(m_model->index(row), ConversationListModel::IdRole).toString();
    }
    [[nodiscard]] QStringList ids() const { return m_ids; }
    [[nodiscard]] int signalCount() const { return inserts + removals + moves + resets + int(changedRows.size()); }

    int inserts = 0;
    int removals = 0;
    int moves = 0;
    int resets = 0;
    QList<int> changedRows;

private:
    ConversationListModel *m_model;
    QStringList m_ids;
};

QStringList shownIds(const ConversationListModel &model)
{
    QStringList out;
    for (const ConversationListItem &c : model.items())
        out.append(c.id);
    return out;
}

} // namespace

class TestListModels : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void reloadsBecomeRowChanges_data()
    {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<int>("inserts");
        QTest::addColumn<int>("removals");
        QTest::addColumn<int>("moves");

        const QStringList abcde { u"a"_s, u"b"_s, u"c"_s, u"d"_s, u"e"_s };
        QTest::newRow("unchanged") << abcde << abcde << 0 << 0 << 0;
        QTest::newRow("one new on top") << abcde << (QStringList { u"n"_s } + abcde) << 1 << 0 << 0;
        QTest::newRow("two new in the middle")
            << abcde << QStringList { u"a"_s, u"b"_s, u"x"_s, u"y"_s, u"c"_s, u"d"_s, u"e"_s } << 1 << 0 << 0;
        QTest::newRow("new at the end") << abcde << (abcde + QStringList { u"z"_s }) << 1 << 0 << 0;
        QTest::newRow("one gone") << abcde << QStringList { u"a"_s, u"b"_s, u"d"_s, u"e"_s } << 0 << 1 << 0;
        QTest::newRow("two apart gone") << abcde << QStringList { u"b"_s, u"c"_s, u"d"_s } << 0 << 2 << 0;
        QTest::newRow("last to top") << abcde << QStringList { u"e"_s, u"a"_s, u"b"_s, u"c"_s, u"d"_s } << 0 << 0 << 1;
        QTest::newRow("top to last") << abcde << QStringList { u"b"_s, u"c"_s, u"d"_s, u"e"_s, u"a"_s } << 0 << 0 << 1;
        QTest::newRow("gone, moved and new at once")
            << abcde << QStringList { u"d"_s, u"n"_s, u"a"_s, u"c"_s } << 1 << 2 << 1;
        QTest::newRow("from empty") << QStringList() << abcde << 1 << 0 << 0;
        QTest::newRow("to empty") << abcde << QStringList() << 0 << 1 << 0;
    }

    void reloadsBecomeRowChanges()
    {
        QFETCH(QStringList, before);
        QFETCH(QStringList, after);
        ConversationListModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.show(conversations(before), std::nullopt);
        Recorder recorder(&model);
        model.show(conversations(after), std::nullopt);

        QCOMPARE(recorder.ids(), after);
        QCOMPARE(shownIds(model), after);
        QCOMPARE(recorder.resets, 0);
        QTEST(recorder.inserts, "inserts");
        QTEST(recorder.removals, "removals");
        QTEST(recorder.moves, "moves");
        QVERIFY(recorder.changedRows.isEmpty());
    }

    void changedContentIsDataChangedOfThoseRows()
    {
        ConversationListModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.show(conversations({ u"a"_s, u"b"_s, u"c"_s, u"d"_s }), std::nullopt);
        Recorder recorder(&model);

        // "c" went to the top with a new subject; "a" was read.
        QList<ConversationListItem> next = conversations({ u"c"_s, u"a"_s, u"b"_s, u"d"_s });
        next[0].subject = u"Re: 件名"_s;
        next[1].unread = !next[1].unread;
        model.show(next, std::nullopt);

        QCOMPARE(recorder.ids(), (QStringList { u"c"_s, u"a"_s, u"b"_s, u"d"_s }));
        QCOMPARE(recorder.moves, 1);
        QCOMPARE(recorder.changedRows, (QList<int> { 0, 1 }));
        QCOMPARE(model.at(0).subject, u"Re: 件名"_s);
        QCOMPARE(recorder.signalCount(), 3);
    }

    void aFilterOverTheSameListChangesRows()
    {
        ConversationListModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        const QList<ConversationListItem> all = conversations({ u"a"_s, u"b"_s, u"c"_s, u"d"_s });
        model.show(all, std::nullopt);
        Recorder recorder(&model);
        model.show(all, QList<qsizetype> { 1, 3 });
        QCOMPARE(recorder.ids(), (QStringList { u"b"_s, u"d"_s }));
        model.show(all, std::nullopt);
        QCOMPARE(recorder.ids(), (QStringList { u"a"_s, u"b"_s, u"c"_s, u"d"_s }));
        QCOMPARE(recorder.resets, 0);
        QVERIFY(recorder.changedRows.isEmpty());
    }

    void aListWithNothingInCommonOrRepeatedIdsIsReplaced()
    {
        ConversationListModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.show(conversations({ u"a"_s, u"b"_s }), std::nullopt);
        Recorder recorder(&model);
        model.show(conversations({ u"x"_s, u"y"_s, u"z"_s }), std::nullopt);
        QCOMPARE(recorder.resets, 1);
        QCOMPARE(recorder.ids(), (QStringList { u"x"_s, u"y"_s, u"z"_s }));
        model.show(conversations({ u"x"_s, u"x"_s }), std::nullopt);
        QCOMPARE(recorder.resets, 2);
        QCOMPARE(recorder.ids(), (QStringList { u"x"_s, u"x"_s }));
    }

    void randomReloadsReplayToTheNewList()
    {
        // Random removals, insertions and shuffles of part of a list: the
        // signals alone must always rebuild the new list.
        QRandomGenerator random(20261210);
        ConversationListModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QStringList current;
        for (int i = 0; i < 40; ++i)
            current.append(u"c%1"_s.arg(i));
        model.show(conversations(current), std::nullopt);
        int nextId = 40;
        for (int round = 0; round < 200; ++round) {
            Recorder recorder(&model);
            QStringList next = current;
            for (int n = int(random.bounded(4)); n > 0 && !next.isEmpty(); --n)
                next.removeAt(int(random.bounded(next.size())));
            for (int n = int(random.bounded(4)); n > 0; --n)
                next.insert(int(random.bounded(next.size() + 1)), u"c%1"_s.arg(nextId++));
            for (int n = int(random.bounded(5)); n > 0 && next.size() > 1; --n)
                next.move(int(random.bounded(next.size())), int(random.bounded(next.size())));
            model.show(conversations(next), std::nullopt);
            QCOMPARE(recorder.ids(), next);
            QCOMPARE(recorder.resets, 0);
            current = next;
        }
    }

    void tenThousandRowsWithOneNewOnTop()
    {
        QStringList ids;
        for (int i = 0; i < 10'000; ++i)
            ids.append(u"conv_%1"_s.arg(i));
        ConversationListModel model;
        model.show(conversations(ids), std::nullopt);
        Recorder recorder(&model);
        model.show(conversations(ids), std::nullopt);
        QCOMPARE(recorder.signalCount(), 0);
        model.show(conversations(QStringList { u"conv_new"_s } + ids), std::nullopt);
        QCOMPARE(recorder.inserts, 1);
        QCOMPARE(recorder.signalCount(), 1);
        QCOMPARE(recorder.idAt(0), u"conv_new"_s);
    }
};

QTEST_GUILESS_MAIN(TestListModels)
#include "test_listmodels.moc"
