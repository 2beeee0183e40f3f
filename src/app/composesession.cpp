#include "app/composesession.h"

#include "app/appmodel.h"
#include "app/policies.h"
#include "core/text.h"
#include "quarn/config.h"

#include <QDateTime>

#include <optional>

using namespace Qt::StringLiterals;

namespace quarn {

namespace {

/// Lets a started task run on by itself; a QCoro task keeps running when its
/// handle goes, and these tasks never throw.
void start(QCoro::Task<void> task)
{
    (void)task;
}

} // namespace

ComposeSession::ComposeSession(QObject *parent)
    : QObject(parent)
    , m_mailDomain(QString::fromUtf8(config::kMailDomain))
{
    m_quietTimer.setSingleShot(true);
    m_quietTimer.setInterval(kQuietInterval);
    connect(&m_quietTimer, &QTimer::timeout, this, &ComposeSession::proposeAfterTyping);
    m_scheduledDate = defaultSendTime(now());

    // Derived values change with their inputs.
    for (auto signal : { &ComposeSession::recipientInputChanged, &ComposeSession::bodyTextChanged,
             &ComposeSession::mailSignatureChanged, &ComposeSession::mailDomainChanged,
             &ComposeSession::includeSignatureChanged, &ComposeSession::scheduleEnabledChanged })
        connect(this, signal, this, &ComposeSession::derivedChanged);
    for (auto signal : { &ComposeSession::recipientInputChanged, &ComposeSession::subjectChanged,
             &ComposeSession::bodyTextChanged, &ComposeSession::scheduleEnabledChanged,
             &ComposeSession::scheduledDateChanged, &ComposeSession::subjectIsAutomaticChanged })
        connect(this, signal, this, &ComposeSession::keepDraft);
}

ComposeSession::~ComposeSession()
{
    keepDraft();
}

// --- pure rules ------------------------------------------------------------------

qint64 ComposeSession::defaultSendTime(qint64 now)
{
    constexpr qint64 step = 300'000;
    const qint64 earliest = now + 60'000;
    // Rounded up to the step. Division rounds toward zero, which before 1970
    // is already upward.
    qint64 marks = earliest / step;
    if (marks * step < earliest)
        ++marks;
    return marks * step;
}

bool ComposeSession::usesEmail(const QStringList &recipients, const QString &mailDomain)
{
    const QString suffix = u'@' + mailDomain;
    for (const QString &address : recipients) {
        if (!address.endsWith(suffix, Qt::CaseSensitive))
            return true;
    }
    return false;
}

QString ComposeSession::outgoingBody(
    const QString &body, const QString &signature, bool usesEmail, bool includeSignature)
{
    QString result = text::trimmed(body);
    const QString trimmedSignature = text::trimmed(signature);
    if (usesEmail && includeSignature && !trimmedSignature.isEmpty())
        result += u"\n\n—\n"_s + trimmedSignature;
    return result;
}

QString ComposeSession::deliveryDescription(const QStringList &recipients, bool usesEmail, const QString &mailDomain)
{
    if (recipients.isEmpty())
        return u"宛先を入力"_s;
    const QString count = QString::number(recipients.size());
    if (usesEmail)
        return count + u"人に "_s + mailDomain + u" からEmail送信"_s;
    return count + u"人にQuarn chatとして送信"_s;
}

// --- properties ------------------------------------------------------------------

void ComposeSession::setAppModel(AppModel *model)
{
    if (model == m_model)
        return;
    if (m_model)
        disconnect(m_model, nullptr, this, nullptr);
    m_model = model;
    if (m_model) {
        connect(m_model, &AppModel::isSendingChanged, this, &ComposeSession::derivedChanged);
        // Taken before anything here changes: every change is kept as the
        // draft, and an empty sheet would replace it.
        const std::optional<ComposeDraft> kept = m_model->composeDraft();
        m_restoring = true;
        // The send time starts at the default of the model's clock.
        if (!m_scheduleEnabled)
            setScheduledDate(defaultSendTime(now()));
        if (kept)
            restore(*kept);
        m_restoring = false;
    }
    Q_EMIT appModelChanged();
    Q_EMIT derivedChanged();
}

void ComposeSession::setMailSignature(const QString &signature)
{
    if (signature == m_mailSignature)
        return;
    m_mailSignature = signature;
    Q_EMIT mailSignatureChanged();
}

void ComposeSession::setMailDomain(const QString &domain)
{
    if (domain == m_mailDomain)
        return;
    m_mailDomain = domain;
    Q_EMIT mailDomainChanged();
    // The wording and the e-mail test hang on it.
    Q_EMIT recipientInputChanged();
}

void ComposeSession::setQuietInterval(int ms)
{
    if (ms == m_quietTimer.interval())
        return;
    m_quietTimer.setInterval(ms);
    Q_EMIT quietIntervalChanged();
}

void ComposeSession::setRecipientInput(const QString &text)
{
    if (text == m_recipientInput)
        return;
    m_recipientInput = text;
    m_recipients = RecipientParser::addresses(text);
    m_invalidRecipients = RecipientParser::invalidFragments(text);
    Q_EMIT recipientInputChanged();
}

void ComposeSession::setBodyText(const QString &text)
{
    if (text == m_bodyText)
        return;
    m_bodyText = text;
    // A new typing task: the one before is cancelled, its wait and its
    // answer alike.
    ++m_typingGeneration;
    m_quietTimer.stop();
    if (m_subjectIsAutomatic && text::graphemeCount(text::trimmed(text)) >= kMinimumBodyForSubject)
        m_quietTimer.start();
    Q_EMIT bodyTextChanged();
}

void ComposeSession::setScheduleEnabled(bool enabled)
{
    if (enabled == m_scheduleEnabled)
        return;
    m_scheduleEnabled = enabled;
    if (enabled)
        setScheduledDate(defaultSendTime(now()));
    setScheduleProblem(QString());
    Q_EMIT scheduleEnabledChanged();
}

void ComposeSession::setScheduledDate(qint64 ms)
{
    if (ms == m_scheduledDate)
        return;
    m_scheduledDate = ms;
    setScheduleProblem(QString());
    Q_EMIT scheduledDateChanged();
}

void ComposeSession::setScheduleProblem(const QString &problem)
{
    if (problem == m_scheduleProblem)
        return;
    m_scheduleProblem = problem;
    Q_EMIT scheduleProblemChanged();
}

void ComposeSession::setIncludeSignature(bool include)
{
    if (include == m_includeSignature)
        return;
    m_includeSignature = include;
    Q_EMIT includeSignatureChanged();
}

void ComposeSession::setSubject(const QString &subject)
{
    if (subject == m_subject)
        return;
    m_subject = subject;
    Q_EMIT subjectChanged();
}

void ComposeSession::setSubjectIsAutomatic(bool automatic)
{
    if (automatic == m_subjectIsAutomatic)
        return;
    m_subjectIsAutomatic = automatic;
    Q_EMIT subjectIsAutomaticChanged();
}

void ComposeSession::setRunningProposals(int count)
{
    const bool was = isGeneratingSubject();
    m_runningProposals = count;
    if (was != isGeneratingSubject())
        Q_EMIT isGeneratingSubjectChanged();
}

bool ComposeSession::usesEmail() const
{
    return usesEmail(m_recipients, m_mailDomain);
}

QString ComposeSession::signature() const
{
    return text::trimmed(m_mailSignature);
}

QString ComposeSession::outgoingBody() const
{
    return outgoingBody(m_bodyText, m_mailSignature, usesEmail(), m_includeSignature);
}

bool ComposeSession::canSend() const
{
    return ComposeSendPolicy::canSend(m_recipients, m_invalidRecipients, m_bodyText);
}

bool ComposeSession::sendEnabled() const
{
    return canSend() && m_model && !m_model->isSending();
}

QString ComposeSession::deliveryDescription() const
{
    return deliveryDescription(m_recipients, usesEmail(), m_mailDomain);
}

QString ComposeSession::footerCaption() const
{
    return m_scheduleEnabled ? u"指定時刻に送信"_s : deliveryDescription();
}

bool ComposeSession::canRegenerateSubject() const
{
    return !text::trimmed(m_bodyText).isEmpty();
}

qint64 ComposeSession::now() const
{
    return m_model ? m_model->now() : QDateTime::currentMSecsSinceEpoch();
}

qint64 ComposeSession::earliestScheduleTime() const
{
    return now() + 60'000;
}

// --- the subject ---------------------------------------------------------------

void ComposeSession::editSubject(const QString &text)
{
    setSubject(text);
    setSubjectIsAutomatic(false);
    // Following has stopped, so a wait for the body's rest has no purpose.
    m_quietTimer.stop();
}

void ComposeSession::regenerateSubject()
{
    setSubjectIsAutomatic(true);
    generateSubject(m_bodyText, 0);
}

void ComposeSession::proposeAfterTyping()
{
    if (!m_subjectIsAutomatic)
        return;
    generateSubject(m_bodyText, m_typingGeneration);
}

void ComposeSession::generateSubject(const QString &body, quint64 typingGeneration)
{
    if (!m_subjectIsAutomatic)
        return;
    const QString trimmedBody = text::trimmed(body);
    if (trimmedBody.isEmpty())
        return;
    // Something to read before the AI answers.
    if (m_subject.isEmpty())
        setSubject(SubjectPolicy::fallback(trimmedBody));
    setRunningProposals(m_runningProposals + 1);
    start(askForSubject(this, m_model, body, trimmedBody, typingGeneration));
}

QCoro::Task<void> ComposeSession::askForSubject(
    QPointer<ComposeSession> self, AppModel *model, QString body, QString trimmedBody, quint64 typingGeneration)
{
    QString proposal;
    bool answered = false;
    if (model) {
        try {
            auto asking = model->suggestSubject(trimmedBody);
            proposal = co_await std::move(asking);
            answered = true;
        } catch (...) {
            // Composing goes on without the AI: the fallback stands in, unannounced.
        }
    }
    if (!answered)
        proposal = SubjectPolicy::fallback(trimmedBody);
    // The window may have closed meanwhile; `self` lives in this frame, not
    // in the object.
    if (!self)
        co_return;
    const bool cancelled = typingGeneration != 0 && typingGeneration != self->m_typingGeneration;
    if (!cancelled && self->m_bodyText == body && self->m_subjectIsAutomatic)
        self->setSubject(proposal);
    self->setRunningProposals(self->m_runningProposals - 1);
}

// --- sending ---------------------------------------------------------------------

void ComposeSession::send()
{
    if (!sendEnabled())
        return;
    // The time was at least a minute ahead when it was picked; a sheet left
    // open may have let it come too close or pass.
    if (m_scheduleEnabled && m_scheduledDate < earliestScheduleTime()) {
        setScheduleProblem(kScheduleRule);
        return;
    }
    start(sendTask(this, m_model));
}

ComposeDraft ComposeSession::draft() const
{
    return ComposeDraft { m_recipientInput, m_subject, m_bodyText, m_scheduleEnabled, m_scheduledDate,
        m_subjectIsAutomatic };
}

void ComposeSession::restore(const ComposeDraft &draft)
{
    setRecipientInput(draft.recipients);
    setSubjectIsAutomatic(draft.subjectIsAutomatic);
    setSubject(draft.subject);
    setBodyText(draft.body);
    m_scheduleEnabled = draft.scheduleEnabled;
    Q_EMIT scheduleEnabledChanged();
    if (draft.scheduleEnabled)
        setScheduledDate(draft.scheduledDate);
}

void ComposeSession::keepDraft()
{
    if (m_model && !m_sending && !m_sent && !m_restoring)
        m_model->setComposeDraft(draft());
}

QCoro::Task<void> ComposeSession::sendTask(QPointer<ComposeSession> self, AppModel *model)
{
    // The text on its way is no draft any more: a sheet opened while it is
    // sent starts empty. Should the send fail, it is kept again: in its own
    // sheet while that is open, else as a draft that takes no one's place.
    const ComposeDraft sending = draft();
    m_sending = true;
    model->setComposeDraft(std::nullopt);
    const QStringList to = RecipientParser::addresses(m_recipientInput);
    const QString subject = ComposeSendPolicy::resolvedSubject(m_subject, m_bodyText);
    const QString body = outgoingBody();
    std::optional<QDateTime> when;
    if (m_scheduleEnabled)
        when = QDateTime::fromMSecsSinceEpoch(m_scheduledDate, Qt::UTC);
    auto creating = model->createConversation(to, subject, body, when);
    const bool sent = co_await std::move(creating);
    if (self) {
        self->m_sending = false;
        self->m_sent = sent;
        self->keepDraft();
    } else if (!sent) {
        model->composeSendFailed(sending);
    }
    if (self)
        Q_EMIT self->sendFinished(sent);
}

} // namespace quarn
