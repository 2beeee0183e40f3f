#include "deliveryworker.h"

#include "mailstore.h"
#include "util.h"

#include <algorithm>
#include <chrono>
#include <iostream>

namespace quarn::service {

DeliveryWorker::DeliveryWorker(MailStore &store, std::int64_t jobTimeoutMs)
    : m_store(store)
    , m_jobTimeoutMs(jobTimeoutMs)
{ }

DeliveryWorker::~DeliveryWorker()
{
    stop();
}

void DeliveryWorker::start()
{
    m_thread = std::thread([this] { run(); });
}

void DeliveryWorker::wake()
{
    {
        std::lock_guard lock(m_mutex);
        m_woken = true;
    }
    m_cv.notify_one();
}

void DeliveryWorker::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_cv.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

void DeliveryWorker::run()
{
    constexpr std::int64_t kPollMs = 1000;
    for (;;) {
        const std::int64_t now = nowMillis();
        std::int64_t wait = kPollMs;
        try {
            if (const auto next = m_store.processDueWork(now, m_jobTimeoutMs))
                wait = std::clamp<std::int64_t>(*next - now, 1, kPollMs);
        } catch (const std::exception &e) {
            // A busy or failing database is retried on the next pass; the work stays due.
            std::cerr << "quarn-mail-service: delivery pass failed: " << e.what() << '\n';
        }
        std::unique_lock lock(m_mutex);
        m_cv.wait_for(lock, std::chrono::milliseconds(wait), [this] { return m_stopping || m_woken; });
        if (m_stopping)
            return;
        m_woken = false;
    }
}

} // namespace quarn::service
