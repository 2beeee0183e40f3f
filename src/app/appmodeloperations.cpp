#include "app/appmodeloperations.h"

#include "app/appmodel.h"

#include <QPointer>

#include <cmath>
#include <optional>

namespace quarn {

namespace {

/// Lets a started operation run on by itself: a QCoro task keeps running
/// when its handle goes, and the model's operations never throw.
template<typename T> void start(QCoro::Task<T> task)
{
    (void)task;
}

template<typename E> std::optional<E> enumValue(const QString &raw)
{
    return fromRawValue<E>(QStringView(raw));
}

/// A time from QML: a Date (QDateTime) or milliseconds; nothing for null or
/// undefined. Anything else becomes an invalid time, which the model refuses
/// rather than silently dropping the date.
std::optional<QDateTime> timeValue(const QVariant &value)
{
    if (!value.isValid() || value.isNull())
        return std::nullopt;
    if (value.metaType().id() == QMetaType::QDateTime)
        return value.toDateTime();
    bool isNumber = false;
    const double ms = value.toDouble(&isNumber);
    // NaN, an infinity or a number beyond the range of a JavaScript date has
    // no time; converting it would be undefined and send a made-up one.
    constexpr double kLimitMs = 8.64e15;
    if (isNumber && value.metaType().id() != QMetaType::QString && std::isfinite(ms) && std::abs(ms) <= kLimitMs)
        return QDateTime::fromMSecsSinceEpoch(qint64(ms), Qt::UTC);
    return QDateTime();
}

QCoro::Task<void> createAndReport(AppModel &model, QPointer<AppModelOperations> operations, QStringList to,
    QString subject, QString body, std::optional<QDateTime> scheduledFor)
{
    auto creating = model.createConversation(to, subject, body, scheduledFor);
    const bool sent = co_await std::move(creating);
    if (operations)
        Q_EMIT operations->createConversationFinished(sent);
}

QCoro::Task<void> handOffAndReport(AppModel &model, QPointer<AppModelOperations> operations, int request,
    OrroActionKind kind, QString title, QString notes, std::optional<QDateTime> dueAt,
    std::optional<QDateTime> startsAt, std::optional<QDateTime> endsAt, QString conversationID)
{
    auto handing = model.sendToOrro(kind, title, notes, dueAt, startsAt, endsAt, conversationID);
    const AppModel::OrroHandoff result = co_await std::move(handing);
    if (!operations)
        co_return;
    const bool handedOver = result.outcome == AppModel::OrroHandoff::Outcome::handedOver;
    // Queued: the caller learns its request's number before the answer.
    QMetaObject::invokeMethod(
        operations.data(),
        [operations, request, handedOver, message = result.message] {
            if (operations)
                Q_EMIT operations->sendToOrroFinished(request, handedOver, message);
        },
        Qt::QueuedConnection);
}

} // namespace

AppModelOperations::AppModelOperations(AppModel &model)
    : QObject(&model)
    , m_model(model)
{ }

void AppModelOperations::bootstrap()
{
    start(m_model.bootstrap());
}

void AppModelOperations::refresh(bool keepingSelection)
{
    start(m_model.refresh(keepingSelection));
}

void AppModelOperations::selectStatus(const QString &status)
{
    if (const auto value = enumValue<ConversationStatus>(status))
        start(m_model.selectStatus(*value));
}

void AppModelOperations::selectPeople()
{
    start(m_model.selectPeople());
}

void AppModelOperations::selectAI()
{
    start(m_model.selectAI());
}

void AppModelOperations::openConversation(const QString &id)
{
    start(m_model.openConversation(id));
}

void AppModelOperations::sendReply()
{
    start(m_model.sendReply());
}

void AppModelOperations::useDraft()
{
    m_model.useDraft();
}

void AppModelOperations::setStatus(const QString &status)
{
    if (const auto value = enumValue<ConversationStatus>(status))
        start(m_model.setStatus(*value));
}

void AppModelOperations::createConversation(
    const QStringList &to, const QString &subject, const QString &body, const QVariant &scheduledFor)
{
    start(createAndReport(m_model, this, to, subject, body, timeValue(scheduledFor)));
}

void AppModelOperations::openTimelineConversation(const QString &id)
{
    start(m_model.openTimelineConversation(id));
}

void AppModelOperations::runAI()
{
    start(m_model.runAI());
}

int AppModelOperations::sendToOrro(const QString &kind, const QString &title, const QString &notes,
    const QVariant &dueAt, const QVariant &startsAt, const QVariant &endsAt, const QString &conversationID)
{
    const auto value = enumValue<OrroActionKind>(kind);
    if (!value)
        return 0;
    const int request = ++m_lastOrroRequest;
    start(handOffAndReport(m_model, this, request, *value, title, notes, timeValue(dueAt), timeValue(startsAt),
        timeValue(endsAt), conversationID));
    return request;
}

void AppModelOperations::openLink(const QString &link)
{
    start(m_model.openLink(link));
}

void AppModelOperations::signInWithQuarn()
{
    m_model.signInWithQuarn();
}

void AppModelOperations::cancelSignIn()
{
    m_model.cancelSignIn();
}

void AppModelOperations::claimAddress(const QString &localPart, const QString &displayName)
{
    start(m_model.claimAddress(localPart, displayName));
}

void AppModelOperations::openPerson(const QString &email)
{
    start(m_model.openPerson(email));
}

void AppModelOperations::loadOlderPersonMessages()
{
    start(m_model.loadOlderPersonMessages());
}

void AppModelOperations::newAIConversation()
{
    start(m_model.newAIConversation());
}

void AppModelOperations::sendAIChat()
{
    start(m_model.sendAIChat());
}

void AppModelOperations::renameAIConversation(const QString &id, const QString &title)
{
    start(m_model.renameAIConversation(id, title));
}

void AppModelOperations::deleteAIConversation(const QString &id)
{
    start(m_model.deleteAIConversation(id));
}

void AppModelOperations::checkCodex()
{
    start(m_model.checkCodex());
}

} // namespace quarn
