#include "app/desktopnotifier.h"

#include "app/appmodel.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPointer>
#include <QSettings>

using namespace Qt::StringLiterals;

namespace quarn {

namespace {

const QString kService = u"org.freedesktop.Notifications"_s;
const QString kPath = u"/org/freedesktop/Notifications"_s;
const QString kInterface = u"org.freedesktop.Notifications"_s;
/// The action key of "開く"; "default" is the click on the notification itself.
const QString kOpenAction = u"open"_s;
const QString kDefaultAction = u"default"_s;
/// Notifications whose action may still come; older ones are forgotten
/// (a server need not tell when it drops one).
constexpr qsizetype kRememberedTargets = 64;

void start(QCoro::Task<void> task)
{
    (void)task;
}

/// Text for a server that reads the body as markup: the mail's own angle
/// brackets and ampersands must stay text.
QString bodyText(const QString &text, bool markup)
{
    return markup ? text.toHtmlEscaped() : text;
}

QString participant(const ConversationListItem &c)
{
    return c.participantName.trimmed().isEmpty() ? c.participantAddress : c.participantName;
}

} // namespace

DesktopNotifier::DesktopNotifier(AppModel &model, const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , m_model(model)
    , m_bus(bus)
{
    connect(&m_model, &AppModel::startUpLoaded, this, &DesktopNotifier::refreshFinished);
    connect(&m_model, &AppModel::stateChanged, this, &DesktopNotifier::publishCountFromModel);
    connect(&m_model, &AppModel::isConfiguredChanged, this, [this] {
        if (!m_model.isConfigured())
            forget();
    });
    connect(&m_model, &AppModel::detailChanged, this, [this] {
        if (m_model.detail())
            m_openedSinceLook.insert(m_model.detail()->id);
    });
    if (m_bus.isConnected()) {
        m_bus.connect(kService, kPath, kInterface, u"ActionInvoked"_s, this, SLOT(onActionInvoked(uint, QString)));
        m_bus.connect(
            kService, kPath, kInterface, u"NotificationClosed"_s, this, SLOT(onNotificationClosed(uint, uint)));
    }
}

DesktopNotifier::~DesktopNotifier() = default;

bool DesktopNotifier::isEnabled() const
{
    return QSettings().value(QLatin1StringView(kEnabledKey), true).toBool();
}

void DesktopNotifier::setEnabled(bool enabled)
{
    if (enabled == isEnabled())
        return;
    QSettings().setValue(QLatin1StringView(kEnabledKey), enabled);
    Q_EMIT enabledChanged();
}

void DesktopNotifier::setWindowActive(bool active)
{
    if (active == m_windowActive)
        return;
    m_windowActive = active;
    Q_EMIT windowActiveChanged();
}

void DesktopNotifier::refreshFinished()
{
    if (m_looking) {
        m_lookAgain = true;
        return;
    }
    // With the needs-you list on screen, the reload has just fetched the
    // very list a look would ask for: that answer is looked at instead.
    const std::optional<MailState> &state = m_model.state();
    if (m_model.isConfigured() && state && state->status == ConversationStatus::needsYou
        && m_model.selectedStatus() == ConversationStatus::needsYou
        && m_model.appliedStateRequest() != m_reusedStateRequest) {
        m_reusedStateRequest = m_model.appliedStateRequest();
        Q_EMIT needsYouCountChanged(
            state->counts.value(rawValue(ConversationStatus::needsYou), state->conversations.size()));
        compare(state->conversations);
        return;
    }
    start(look());
}

QCoro::Task<void> DesktopNotifier::look()
{
    const QPointer<DesktopNotifier> self(this);
    m_looking = true;
    do {
        m_lookAgain = false;
        const quint64 generation = m_generation;
        auto peek = m_model.peekState(ConversationStatus::needsYou);
        std::optional<MailState> snapshot = co_await std::move(peek);
        if (!self)
            co_return;
        // A failed look, or one from before a sign-out, misses this round only.
        if (snapshot && generation == m_generation && m_model.isConfigured()) {
            Q_EMIT needsYouCountChanged(
                snapshot->counts.value(rawValue(ConversationStatus::needsYou), snapshot->conversations.size()));
            compare(snapshot->conversations);
        }
    } while (m_lookAgain);
    m_looking = false;
}

void DesktopNotifier::compare(const QList<ConversationListItem> &list)
{
    QSet<QString> ids;
    ids.reserve(list.size());
    for (const ConversationListItem &c : list)
        ids.insert(c.id);

    QList<ConversationListItem> fresh;
    if (m_baseline) {
        const std::optional<QString> &shown = m_model.selectedConversationID();
        for (const ConversationListItem &c : list) {
            if (!m_baseline->contains(c.id) && !m_openedSinceLook.contains(c.id) && (!shown || *shown != c.id))
                fresh.append(c);
        }
    }
    m_baseline = std::move(ids);
    m_openedSinceLook.clear();

    // What the user sees arrive, or asked not to hear about, is still part of
    // the baseline: it is not announced later either.
    if (fresh.isEmpty() || userSeesNeedsYouList() || !isEnabled()) {
        Q_EMIT looked({});
        return;
    }
    announce(fresh);
    QStringList announced;
    for (const ConversationListItem &c : fresh)
        announced.append(c.id);
    Q_EMIT looked(announced);
}

bool DesktopNotifier::userSeesNeedsYouList() const
{
    return m_windowActive && m_model.lens() == MailLens::work
        && m_model.selectedStatus() == ConversationStatus::needsYou;
}

void DesktopNotifier::announce(const QList<ConversationListItem> &fresh)
{
    if (!m_bus.isConnected())
        return;
    // Whether the server reads markup in the body decides how the mail's text
    // is written there; a server that does not answer is not there at all.
    const QDBusMessage ask = QDBusMessage::createMethodCall(kService, kPath, kInterface, u"GetCapabilities"_s);
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(ask), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, fresh](QDBusPendingCallWatcher *call) {
        call->deleteLater();
        const QDBusPendingReply<QStringList> capabilities = *call;
        if (capabilities.isError())
            return;
        send(fresh, capabilities.value().contains(u"body-markup"_s));
    });
}

void DesktopNotifier::send(const QList<ConversationListItem> &fresh, bool markup)
{
    QString summary;
    QString body;
    Target target;
    if (fresh.size() == 1) {
        const ConversationListItem &c = fresh.constFirst();
        summary = participant(c);
        body = bodyText(c.subject, markup);
        if (c.aiSummary && !c.aiSummary->trimmed().isEmpty())
            body += u'\n' + bodyText(*c.aiSummary, markup);
        target.conversationID = c.id;
    } else {
        summary = u"Needs youの会話が%1件増えました"_s.arg(fresh.size());
        QStringList lines;
        for (qsizetype i = 0; i < fresh.size() && i < kListedInSummary; ++i)
            lines.append(bodyText(participant(fresh.at(i)) + u": "_s + fresh.at(i).subject, markup));
        if (fresh.size() > kListedInSummary)
            lines.append(u"ほか%1件"_s.arg(fresh.size() - kListedInSummary));
        body = lines.join(u'\n');
    }

    const QStringList actions { kDefaultAction, u"開く"_s, kOpenAction, u"開く"_s };
    const QVariantMap hints {
        { u"desktop-entry"_s, u"quarn-mail"_s },
        { u"category"_s, u"email.arrived"_s },
        { u"urgency"_s, QVariant::fromValue(uchar(1)) },
    };
    QDBusMessage notify = QDBusMessage::createMethodCall(kService, kPath, kInterface, u"Notify"_s);
    notify << u"Quarn Mail"_s << uint(0) << u"quarn-mail"_s << summary << body << actions << hints << int(-1);
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(notify), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, target](QDBusPendingCallWatcher *call) {
        call->deleteLater();
        const QDBusPendingReply<uint> id = *call;
        if (id.isError())
            return;
        m_targets.insert(id.value(), target);
        m_targetOrder.append(id.value());
        while (m_targetOrder.size() > kRememberedTargets)
            m_targets.remove(m_targetOrder.takeFirst());
    });
}

void DesktopNotifier::onActionInvoked(uint id, const QString &action)
{
    // The service broadcasts every client's actions: only our own count.
    const auto it = m_targets.constFind(id);
    if (it == m_targets.cend() || (action != kOpenAction && action != kDefaultAction))
        return;
    const Target target = *it;
    if (target.conversationID.isEmpty())
        start(m_model.selectStatus(ConversationStatus::needsYou));
    else
        Q_EMIT openURLRequested(u"quarn-mail://conversation/"_s + target.conversationID);
    Q_EMIT activationRequested();
}

void DesktopNotifier::onNotificationClosed(uint id, uint reason)
{
    Q_UNUSED(reason)
    if (m_targets.remove(id))
        m_targetOrder.removeOne(id);
}

void DesktopNotifier::forget()
{
    ++m_generation;
    m_baseline.reset();
    m_openedSinceLook.clear();
    Q_EMIT needsYouCountChanged(0);
}

void DesktopNotifier::publishCountFromModel()
{
    const std::optional<MailState> &state = m_model.state();
    if (!m_model.isConfigured() || !state)
        return;
    const auto it = state->counts.constFind(rawValue(ConversationStatus::needsYou));
    if (it != state->counts.cend())
        Q_EMIT needsYouCountChanged(*it);
}

} // namespace quarn
