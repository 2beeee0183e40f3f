#include "app/appcommands.h"

#include "app/appmodel.h"

#include <QPointer>

namespace quarn {

namespace {

/// Lets a started operation run on by itself: a QCoro task keeps running when
/// its handle goes, and the model's operations never throw.
void start(QCoro::Task<void> task)
{
    (void)task;
}

/// The toolbar's and the loop's reload: the list first, then the triage pass
/// that may pick up what it brought.
QCoro::Task<void> refreshThenTriage(AppModel &model)
{
    co_await model.refresh(true);
    co_await model.autoTriagePendingWork();
}

} // namespace

AppCommands::AppCommands(AppModel &model, std::chrono::milliseconds refreshInterval, QObject *parent)
    : QObject(parent)
    , m_model(model)
    , m_refreshInterval(refreshInterval)
    , m_refreshTimer(this)
{
    // The first reload comes one interval after the workspace appears, the
    // next one an interval after that reload has finished. A tick that finds
    // a reload still running (start-up's first load on a slow service, the
    // toolbar's) is skipped: two state requests never overlap on its account.
    m_refreshTimer.setObjectName(QStringLiteral("refreshTimer"));
    m_refreshTimer.setSingleShot(true);
    m_refreshTimer.setInterval(m_refreshInterval);
    connect(&m_refreshTimer, &QTimer::timeout, this, [this] {
        if (m_model.isReloading())
            m_refreshTimer.start();
        else
            start(refreshOnce(m_loopGeneration));
    });
    connect(&m_model, &AppModel::detailChanged, this, &AppCommands::updateCanRunAI);
    connect(&m_model, &AppModel::isRunningAIChanged, this, &AppCommands::updateCanRunAI);
    connect(&m_model, &AppModel::isCodexReadyChanged, this, &AppCommands::updateCanRunAI);
    connect(&m_model, &AppModel::isAutoTriagingChanged, this, &AppCommands::updateCanRunAI);
    updateCanRunAI();
}

AppCommands::~AppCommands() = default;

void AppCommands::updateCanRunAI()
{
    const bool can
        = m_model.detail().has_value() && !m_model.isRunningAI() && m_model.isCodexReady() && !m_model.isAutoTriaging();
    if (can == m_canRunAI)
        return;
    m_canRunAI = can;
    Q_EMIT canRunAIChanged();
}

void AppCommands::setRefreshLoopActive(bool active)
{
    if (active == m_refreshLoopActive)
        return;
    m_refreshLoopActive = active;
    ++m_loopGeneration;
    if (active)
        m_refreshTimer.start();
    else
        m_refreshTimer.stop();
    Q_EMIT refreshLoopActiveChanged();
}

QCoro::Task<void> AppCommands::refreshOnce(quint64 generation)
{
    const QPointer<AppCommands> self(this);
    co_await refreshAndTell();
    if (self && self->m_refreshLoopActive && self->m_loopGeneration == generation)
        self->m_refreshTimer.start();
}

QCoro::Task<void> AppCommands::refreshAndTell()
{
    const QPointer<AppCommands> self(this);
    co_await refreshThenTriage(m_model);
    if (self)
        Q_EMIT self->refreshFinished();
}

void AppCommands::newMessage()
{
    m_model.setComposePresented(true);
}

void AppCommands::runAI()
{
    // The menu item is disabled then, and so is its shortcut; a call from
    // anywhere else obeys the same rule.
    if (!m_canRunAI)
        return;
    start(m_model.runAI());
}

void AppCommands::setStatus(const QString &status)
{
    if (const auto value = fromRawValue<ConversationStatus>(QStringView(status)))
        start(m_model.setStatus(*value));
}

void AppCommands::windowShown()
{
    start(m_model.bootstrap());
}

void AppCommands::dismissError()
{
    m_model.setErrorMessage(std::nullopt);
}

void AppCommands::refresh()
{
    start(refreshAndTell());
}

void AppCommands::openURL(const QString &url)
{
    start(m_model.openDeepLink(url));
}

} // namespace quarn
