#pragma once

#include <QCoroTask>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>

/// Runs a task to completion from synchronous code (tests, benchmarks, the
/// command-line mode), spinning the event loop with a time bound.
///
/// QCoro::waitFor() is not used: in QCoro 0.8 it never returns when the task
/// throws after its first suspension. Here the task is awaited inside a
/// coroutine, which propagates exceptions correctly.
namespace quarn {

class TaskTimeout : public std::runtime_error
{
public:
    TaskTimeout()
        : std::runtime_error("task did not finish within its time bound")
    { }
};

namespace detail {
template<typename T> struct BlockingState
{
    std::optional<T> value;
    std::exception_ptr error;
    bool done = false;
    QEventLoop *loop = nullptr;
};
template<> struct BlockingState<void>
{
    std::exception_ptr error;
    bool done = false;
    QEventLoop *loop = nullptr;
};

template<typename T> QCoro::Task<void> driveTask(QCoro::Task<T> task, std::shared_ptr<BlockingState<T>> state)
{
    try {
        if constexpr (std::is_void_v<T>)
            co_await std::move(task);
        else
            state->value.emplace(co_await std::move(task));
    } catch (...) {
        state->error = std::current_exception();
    }
    state->done = true;
    if (state->loop)
        state->loop->quit();
}
} // namespace detail

/// Awaits `task`, returning its value or rethrowing its exception. Throws
/// TaskTimeout if it has not finished after `bound` (the task is then left
/// suspended; the caller is expected to fail).
template<typename T> T blockOn(QCoro::Task<T> task, std::chrono::milliseconds bound = std::chrono::seconds(30))
{
    // Shared with the driver: a task that outlives its bound may still resume
    // later and must find its state alive.
    auto shared = std::make_shared<detail::BlockingState<T>>();
    auto &state = *shared;
    QEventLoop loop;
    auto driver = detail::driveTask(std::move(task), shared);
    if (!state.done) {
        state.loop = &loop;
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(bound);
        loop.exec();
        state.loop = nullptr;
    }
    if (!state.done)
        throw TaskTimeout();
    if (state.error)
        std::rethrow_exception(state.error);
    if constexpr (!std::is_void_v<T>)
        return std::move(*state.value);
}

} // namespace quarn
