#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace quarn::service {

class MailStore;

/// The background task that sends scheduled messages when their time comes,
/// hands queued e-mail on and expires abandoned AI jobs. It sleeps until the
/// next due time, is woken when a request schedules something, and polls once
/// a second as well, since another process (the deliver command) may write to
/// the same database.
class DeliveryWorker
{
public:
    DeliveryWorker(MailStore &store, std::int64_t jobTimeoutMs);
    ~DeliveryWorker();
    DeliveryWorker(const DeliveryWorker &) = delete;
    DeliveryWorker &operator=(const DeliveryWorker &) = delete;

    void start();
    /// Asks for a pass now (something was scheduled or queued).
    void wake();
    /// Ends the thread after the pass in progress; called before the store goes away.
    void stop();

private:
    void run();

    MailStore &m_store;
    std::int64_t m_jobTimeoutMs;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_stopping = false;
    bool m_woken = false;
    std::thread m_thread;
};

} // namespace quarn::service
