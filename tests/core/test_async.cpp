#include "core/async.h"
#include "core/blocking.h"
#include "core/error.h"

#include <QCoroTimer>
#include <QTest>
#include <QThread>

#include <chrono>

using namespace std::chrono_literals;

namespace {

class SampleError : public quarn::Error
{
public:
    [[nodiscard]] QString description() const override { return QStringLiteral("見本の失敗"); }
};

QCoro::Task<int> throwsAfterSuspension()
{
    co_await QCoro::sleepFor(5ms);
    throw SampleError();
    co_return 0;
}

QCoro::Task<QString> awaitsThrowing()
{
    try {
        co_await throwsAfterSuspension();
    } catch (const quarn::Error &e) {
        co_return e.description();
    }
    co_return QString();
}

QCoro::Task<bool> workerResumesOnCaller(QThreadPool *pool, QThread **workerThread)
{
    QThread *const caller = QThread::currentThread();
    const int value = co_await quarn::runOn(pool, [workerThread] {
        *workerThread = QThread::currentThread();
        return 42;
    });
    co_return value == 42 && QThread::currentThread() == caller;
}

QCoro::Task<void> workerThrows(QThreadPool *pool)
{
    co_await quarn::runOn(pool, []() -> void { throw SampleError(); });
}

QCoro::Task<void> outlivesItsBound(bool *finished)
{
    co_await QCoro::sleepFor(200ms);
    *finished = true;
}

} // namespace

class TestAsync : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void exceptionAfterSuspensionReachesAwaiter()
    {
        QCOMPARE(quarn::blockOn(awaitsThrowing()), QStringLiteral("見本の失敗"));
    }

    void blockOnRethrowsTheTaskError()
    {
        QVERIFY_THROWS_EXCEPTION(SampleError, quarn::blockOn(throwsAfterSuspension()));
    }

    void workerJobResumesOnTheMainThread()
    {
        QThreadPool pool;
        QThread *worker = nullptr;
        QVERIFY(quarn::blockOn(workerResumesOnCaller(&pool, &worker)));
        QVERIFY(worker != nullptr);
        QVERIFY(worker != QThread::currentThread());
    }

    void workerExceptionKeepsItsType()
    {
        quarn::SerialExecutor executor;
        QVERIFY_THROWS_EXCEPTION(SampleError, quarn::blockOn(workerThrows(executor.pool())));
    }

    void serialExecutorRunsJobsInOrder()
    {
        quarn::SerialExecutor executor;
        std::vector<int> order;
        std::vector<QCoro::Task<void>> tasks;
        for (int i = 0; i < 20; ++i)
            tasks.push_back(executor.run([&order, i] {
                QThread::usleep(100);
                order.push_back(i);
            }));
        for (auto &t : tasks)
            quarn::blockOn(std::move(t));
        std::vector<int> expected(20);
        std::iota(expected.begin(), expected.end(), 0);
        QCOMPARE(order, expected);
    }

    void blockOnGivesUpAfterItsBound()
    {
        bool finished = false;
        QVERIFY_THROWS_EXCEPTION(quarn::TaskTimeout, quarn::blockOn(outlivesItsBound(&finished), 20ms));
        QVERIFY(!finished);
        // The abandoned task still runs to its end, and finds its state alive.
        QTRY_VERIFY(finished);
    }

    void describeUsesOwnDescriptionElseGeneric()
    {
        QCOMPARE(quarn::describe(std::make_exception_ptr(SampleError())), QStringLiteral("見本の失敗"));
        QCOMPARE(quarn::describe(std::make_exception_ptr(quarn::PlatformError(QStringLiteral("No such file")))),
            QStringLiteral("No such file"));
        QCOMPARE(quarn::describe(std::make_exception_ptr(std::runtime_error("x"))),
            QStringLiteral("操作を完了できませんでした。"));
    }
};

QTEST_GUILESS_MAIN(TestAsync)
#include "test_async.moc"
