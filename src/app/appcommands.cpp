#include "app/appcommands.h"

#include "app/appmodel.h"

#include <QCoroTimer>

#include <cstdio>

namespace quarn {

namespace {

/// Lets a started operation run on by itself: a QCoro task keeps running when
/// its handle goes, and the model's operations never throw.
void start(QCoro::Task<void> task)
{
    (void)task;
}

// Operations of the model that the commands call but that the model may not
// offer yet (its conversation actions and AI conversation workflow come in
// their own time). Each command asks through one of these: once the model has
// the operation the command calls it, and until then the command does
// nothing. modelIsComplete() tells which case this build is.
template<typename Model>
concept OffersSetStatus = requires(Model &m, ConversationStatus s)
{
    m.setStatus(s);
};
template<typename Model>
concept OffersOpenDeepLink = requires(Model &m, QUrl url)
{
    m.openDeepLink(url);
};
template<typename Model>
concept OffersSignIn = requires(Model &m)
{
    m.signInWithQuarn();
};
template<typename Model>
concept OffersClaimAddress = requires(Model &m, QString text)
{
    m.claimAddress(text, text);
};
template<typename Model>
concept OffersNewAIConversation = requires(Model &m)
{
    m.newAIConversation();
};

template<typename Model> void callSetStatus(Model &model, ConversationStatus status)
{
    if constexpr (OffersSetStatus<Model>)
        start(model.setStatus(status));
}

template<typename Model> bool callOpenDeepLink(Model &model, const QUrl &url)
{
    if constexpr (OffersOpenDeepLink<Model>) {
        start(model.openDeepLink(url));
        return true;
    } else {
        return false;
    }
}

template<typename Model> void callSignIn(Model &model)
{
    if constexpr (OffersSignIn<Model>)
        model.signInWithQuarn();
}

template<typename Model> void callClaimAddress(Model &model, const QString &localPart, const QString &displayName)
{
    if constexpr (OffersClaimAddress<Model>)
        start(model.claimAddress(localPart, displayName));
}

template<typename Model> void callNewAIConversation(Model &model)
{
    if constexpr (OffersNewAIConversation<Model>)
        start(model.newAIConversation());
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
{
    connect(&m_model, &AppModel::detailChanged, this, &AppCommands::updateCanRunAI);
    connect(&m_model, &AppModel::isRunningAIChanged, this, &AppCommands::updateCanRunAI);
    connect(&m_model, &AppModel::isCodexReadyChanged, this, &AppCommands::updateCanRunAI);
    updateCanRunAI();
}

AppCommands::~AppCommands() = default;

bool AppCommands::modelIsComplete()
{
    return OffersSetStatus<
               AppModel> && OffersOpenDeepLink<AppModel> && OffersSignIn<AppModel> && OffersClaimAddress<AppModel> && OffersNewAIConversation<AppModel>;
}

bool AppCommands::canRunAI() const
{
    return m_canRunAI;
}

void AppCommands::updateCanRunAI()
{
    const bool can = m_model.detail().has_value() && !m_model.isRunningAI() && m_model.isCodexReady();
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
    // A loop asleep when it is stopped ends when it wakes up; one started
    // again meanwhile runs with the new generation.
    ++m_loopGeneration;
    if (active)
        start(runRefreshLoop(m_loopGeneration));
    Q_EMIT refreshLoopActiveChanged();
}

QCoro::Task<void> AppCommands::runRefreshLoop(quint64 generation)
{
    const QPointer<AppCommands> self(this);
    AppModel &model = m_model;
    const std::chrono::milliseconds interval = m_refreshInterval;
    for (;;) {
        // The first reload comes one interval after the workspace appears:
        // the window's start-up has just loaded everything.
        co_await QCoro::sleepFor(interval);
        if (!self || self->m_loopGeneration != generation)
            co_return;
        co_await refreshThenTriage(model);
    }
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
        callSetStatus(m_model, *value);
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
    start(refreshThenTriage(m_model));
}

void AppCommands::newAIConversation()
{
    callNewAIConversation(m_model);
}

void AppCommands::selectStatus(const QString &status)
{
    if (const auto value = fromRawValue<ConversationStatus>(QStringView(status)))
        start(m_model.selectStatus(*value));
}

void AppCommands::selectPeople()
{
    start(m_model.selectPeople());
}

void AppCommands::selectAI()
{
    start(m_model.selectAI());
}

void AppCommands::openConversation(const QString &id)
{
    start(m_model.openConversation(id));
}

void AppCommands::openPerson(const QString &email)
{
    start(m_model.openPerson(email));
}

void AppCommands::claimAddress(const QString &localPart, const QString &displayName)
{
    callClaimAddress(m_model, localPart, displayName);
}

void AppCommands::signInWithQuarn()
{
    callSignIn(m_model);
}

void AppCommands::openURL(const QUrl &url)
{
    if (!callOpenDeepLink(m_model, url))
        std::fprintf(stderr, "quarn-mail: this build cannot open %s yet\n", url.toEncoded().constData());
}

} // namespace quarn
