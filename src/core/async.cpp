#include "core/async.h"

namespace quarn {

SerialExecutor::SerialExecutor()
{
    m_pool.setMaxThreadCount(1);
    // Keep the thread around between jobs; the executors live for the process.
    m_pool.setExpiryTimeout(-1);
}

SerialExecutor::~SerialExecutor()
{
    m_pool.waitForDone();
}

} // namespace quarn
