#pragma once

#include <QCoroFuture>
#include <QCoroTask>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

/// Conventions every layer follows for asynchronous work:
///
/// - An asynchronous operation is a `QCoro::Task<T>` coroutine started on the
///   main thread. It suspends at each network reply, process, timer or worker
///   job and resumes on the thread that started it.
/// - Blocking work (file I/O, digests) never runs on the main thread: it is
///   handed to a pool with `runOn(pool, fn)` and awaited. A component that must
///   serialise its file work owns a `SerialExecutor` (one thread, FIFO).
/// - Failures travel as exceptions derived from `quarn::Error`; an exception
///   thrown inside a worker job is carried back and rethrown in the awaiting
///   coroutine, type intact.
namespace quarn {

namespace detail {
template<typename T> struct Outcome
{
    std::optional<T> value;
    std::exception_ptr error;
};
template<> struct Outcome<void>
{
    std::exception_ptr error;
};
} // namespace detail

/// Runs `fn` on `pool` and resumes the awaiting coroutine on its own thread
/// with the result, or rethrows what `fn` threw.
template<typename Fn> auto runOn(QThreadPool *pool, Fn fn) -> QCoro::Task<std::invoke_result_t<Fn>>
{
    using T = std::invoke_result_t<Fn>;
    using O = detail::Outcome<T>;
    auto future = QtConcurrent::run(pool, [fn = std::move(fn)]() mutable -> O {
        try {
            if constexpr (std::is_void_v<T>) {
                fn();
                return O {};
            } else {
                return O { std::optional<T>(fn()), nullptr };
            }
        } catch (...) {
            O out;
            out.error = std::current_exception();
            return out;
        }
    });
    O outcome = co_await future;
    if (outcome.error)
        std::rethrow_exception(outcome.error);
    if constexpr (!std::is_void_v<T>)
        co_return std::move(*outcome.value);
}

/// A single worker thread that runs jobs one after another, in order: the
/// serial executor of a component whose file work must never overlap.
class SerialExecutor
{
public:
    SerialExecutor();
    ~SerialExecutor();
    SerialExecutor(const SerialExecutor &) = delete;
    SerialExecutor &operator=(const SerialExecutor &) = delete;

    [[nodiscard]] QThreadPool *pool() { return &m_pool; }

    template<typename Fn> auto run(Fn fn) { return runOn(&m_pool, std::move(fn)); }

private:
    QThreadPool m_pool;
};

} // namespace quarn
