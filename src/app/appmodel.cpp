#include "app/appmodel.h"

#include "account/devicecredentialstore.h"
#include "account/quarnaccountauthorization.h"
#include "ai/aiconversationstore.h"
#include "ai/codexrunner.h"
#include "api/apiclient.h"
#include "api/mailapierror.h"
#include "app/policies.h"
#include "core/error.h"
#include "core/text.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace quarn {

namespace {

QVariant optionalValue(const std::optional<QString> &value)
{
    return value ? QVariant(*value) : QVariant();
}

std::optional<QString> optionalText(const QVariant &value)
{
    if (!value.isValid() || value.isNull())
        return std::nullopt;
    return value.toString();
}

QVariantMap personMap(const PersonSummary &p)
{
    return {
        { u"email"_s, p.email },
        { u"displayName"_s, p.displayName },
        { u"conversationCount"_s, p.conversationCount },
        { u"messageCount"_s, p.messageCount },
        { u"lastMessageAt"_s, p.lastMessageAt },
        { u"needsYouCount"_s, p.needsYouCount },
        { u"waitingCount"_s, p.waitingCount },
    };
}

} // namespace

QString conversationSearchText(const ConversationListItem &c)
{
    QString text;
    text.reserve(c.subject.size() + c.participantName.size() + c.participantAddress.size()
        + (c.aiSummary ? c.aiSummary->size() : 0) + c.preview.size() + 4);
    text += c.subject;
    text += u' ';
    text += c.participantName;
    text += u' ';
    text += c.participantAddress;
    text += u' ';
    if (c.aiSummary) {
        text += *c.aiSummary;
        text += u' ';
    }
    text += c.preview;
    return text.toLower();
}

std::optional<QList<qsizetype>> matchingRows(const QStringList &haystacks, const QString &query)
{
    if (query.isEmpty())
        return std::nullopt;
    QList<qsizetype> rows;
    for (qsizetype i = 0; i < haystacks.size(); ++i) {
        if (haystacks.at(i).contains(query))
            rows.append(i);
    }
    return rows;
}

AppModel::AppModel(AppEnvironment environment, QObject *parent)
    : QObject(parent)
    , m_environment(std::move(environment))
    , m_filteredConversations(new ConversationListModel(this))
    , m_filteredPeople(new PersonListModel(this))
    , m_filteredPersonMessages(new PersonMessageListModel(this))
    , m_detailMessages(new MessageListModel(this))
    , m_selectedAIConversation(new AIChatMessageListModel(this))
    , m_peopleModel(new PersonListModel(this))
    , m_aiConversationsModel(new AIConversationListModel(this))
    , m_operations(new AppModelOperations(*this))
{
    m_environment.fillDefaults();
    m_api = std::make_unique<APIClient>(m_environment.baseURL);
    m_stateMemo = std::make_shared<MailStateMemo>();
    m_credentialStore = std::make_unique<DeviceCredentialStore>(m_environment.credentialDirectory);
    m_accountAuthorization = m_environment.accountAuthorization
        ? std::make_unique<QuarnAccountAuthorization>(*m_environment.accountAuthorization)
        : std::make_unique<QuarnAccountAuthorization>();
    m_aiStore = std::make_unique<AIConversationStore>(m_environment.aiConversationFile);
    m_draftStore = std::make_unique<DraftStore>(m_environment.draftFile);
    m_draftTimer.setSingleShot(true);
    m_draftTimer.setInterval(kDraftQuietMs);
    connect(&m_draftTimer, &QTimer::timeout, this, [this] { (void)saveDrafts(); });
}

AppModel::~AppModel()
{
    // A write of the drafts still on its way would resume into a destroyed
    // model: it ends first, and what is unwritten is written with it.
    saveDraftsNow();
    // So would a read or a save of the AI conversations; they end first too
    // (bounded: a disk that does not answer does not hold the quit).
    QDeadlineTimer bound(10'000);
    while ((m_aiLoadsRunning > 0 || m_aiSavesRunning > 0) && !bound.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    // A detail fetched ahead is worth a moment at most.
    QDeadlineTimer prefetchBound(2'000);
    while (!m_prefetching.isEmpty() && !prefetchBound.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

// --- QML adaptors ------------------------------------------------------------

QString AppModel::lensName() const
{
    return rawValue(m_lens);
}

QString AppModel::selectedStatusName() const
{
    return rawValue(m_selectedStatus);
}

QVariant AppModel::stateValue() const
{
    if (!m_state)
        return {};
    QVariantMap counts;
    for (auto it = m_state->counts.cbegin(); it != m_state->counts.cend(); ++it)
        counts.insert(it.key(), it.value());
    QVariant mailbox;
    if (m_state->mailbox)
        mailbox = QVariantMap { { u"address"_s, m_state->mailbox->address },
            { u"displayName"_s, m_state->mailbox->displayName } };
    return QVariantMap {
        { u"mailbox"_s, mailbox },
        { u"viewer"_s,
            QVariantMap { { u"id"_s, m_state->viewer.id }, { u"name"_s, m_state->viewer.name },
                { u"email"_s, m_state->viewer.email } } },
        { u"status"_s, rawValue(m_state->status) },
        { u"counts"_s, counts },
    };
}

QVariant AppModel::selectedConversationIDValue() const
{
    return optionalValue(m_selectedConversationID);
}

QVariant AppModel::detailValue() const
{
    if (!m_detail)
        return {};
    const ConversationDetail &d = *m_detail;
    QVariantList messages;
    for (const MessageView &m : d.messages)
        messages.append(messageValue(m));
    return QVariantMap {
        { u"id"_s, d.id },
        { u"subject"_s, d.subject },
        { u"status"_s, rawValue(d.status) },
        { u"transport"_s, rawValue(d.transport) },
        { u"participantName"_s, d.participantName },
        { u"participantAddress"_s, d.participantAddress },
        { u"preview"_s, d.preview },
        { u"lastMessageAt"_s, d.lastMessageAt },
        { u"unread"_s, d.unread },
        { u"aiSummary"_s, optionalValue(d.aiSummary) },
        { u"aiRequest"_s, optionalValue(d.aiRequest) },
        { u"aiDeadline"_s, optionalValue(d.aiDeadline) },
        { u"aiDraft"_s, optionalValue(d.aiDraft) },
        { u"aiRisk"_s, optionalValue(d.aiRisk) },
        { u"messages"_s, messages },
    };
}

QVariant AppModel::errorMessageValue() const
{
    return optionalValue(m_errorMessage);
}

void AppModel::setErrorMessageValue(const QVariant &value)
{
    setErrorMessage(optionalText(value));
}

QVariant AppModel::lastLoadedAtValue() const
{
    return m_lastLoadedAt ? QVariant(*m_lastLoadedAt) : QVariant();
}

QVariant AppModel::selectedPersonEmailValue() const
{
    return optionalValue(m_selectedPersonEmail);
}

QVariant AppModel::personTimelineValue() const
{
    if (!m_personTimeline)
        return {};
    return QVariantMap {
        { u"person"_s, personMap(m_personTimeline->person) },
        { u"hasMore"_s, m_personTimeline->hasMore },
        { u"nextBefore"_s, m_personTimeline->nextBefore ? QVariant(*m_personTimeline->nextBefore) : QVariant() },
        { u"canLoadOlder"_s, PersonTimelinePolicy::canLoadOlder(*m_personTimeline) },
    };
}

QVariant AppModel::selectedAIConversationIDValue() const
{
    return optionalValue(m_selectedAIConversationID);
}

void AppModel::setSelectedAIConversationIDValue(const QVariant &value)
{
    setSelectedAIConversationID(optionalText(value));
}

QVariant AppModel::sendingAIConversationIDValue() const
{
    return optionalValue(m_sendingAIConversationID);
}

// --- setters -----------------------------------------------------------------

#define QUARN_SET(member, value, signal)                                                                               \
    do {                                                                                                               \
        if (member == value)                                                                                           \
            return;                                                                                                    \
        member = value;                                                                                                \
        Q_EMIT signal();                                                                                               \
    } while (false)

void AppModel::setSearchText(const QString &text)
{
    if (m_searchText == text)
        return;
    const QString before = searchQuery();
    m_searchText = text;
    Q_EMIT searchTextChanged();
    // Blanks typed around the query do not change what is shown.
    if (searchQuery() != before) {
        updateFilteredConversations();
        updateFilteredPeople();
    }
}

QString AppModel::replyText() const
{
    return m_detail ? m_replyDrafts.value(m_detail->id) : QString();
}

void AppModel::setReplyText(const QString &text)
{
    // With no conversation shown there is nobody the text could be for.
    if (m_detail)
        setReplyDraft(m_detail->id, text);
}

void AppModel::setReplyDraft(const QString &id, const QString &text)
{
    if (m_replyDrafts.value(id) == text)
        return;
    if (text.isEmpty())
        m_replyDrafts.remove(id);
    else
        m_replyDrafts.insert(id, text);
    if (m_detail && m_detail->id == id)
        Q_EMIT replyTextChanged();
    draftsChanged();
}

void AppModel::setErrorMessage(std::optional<QString> message)
{
    QUARN_SET(m_errorMessage, message, errorMessageChanged);
}

void AppModel::setComposePresented(bool presented)
{
    if (presented && !m_composePresented) {
        ++m_composePresentation;
        // Before the sheet reads the draft: a message whose send failed
        // while another draft held the sheet opens once that place is free.
        if (!m_composeDraft && !m_unsentComposes.isEmpty()) {
            m_composeDraft = m_unsentComposes.takeFirst();
            Q_EMIT composeDraftChanged();
            draftsChanged();
        }
    }
    QUARN_SET(m_composePresented, presented, composePresentedChanged);
}

void AppModel::setIncludeGroupMessages(bool include)
{
    if (m_includeGroupMessages == include)
        return;
    m_includeGroupMessages = include;
    Q_EMIT includeGroupMessagesChanged();
    updateFilteredPersonMessages();
}

void AppModel::setSelectedAIConversationID(std::optional<QString> id)
{
    if (m_selectedAIConversationID == id)
        return;
    m_selectedAIConversationID = std::move(id);
    Q_EMIT selectedAIConversationIDChanged();
    updateSelectedAIConversation();
}

void AppModel::setAiInput(const QString &text)
{
    QUARN_SET(m_aiInput, text, aiInputChanged);
}

void AppModel::setLens(MailLens lens)
{
    QUARN_SET(m_lens, lens, lensChanged);
}

void AppModel::setSelectedStatus(ConversationStatus status)
{
    QUARN_SET(m_selectedStatus, status, selectedStatusChanged);
}

void AppModel::setState(std::optional<MailState> state)
{
    const bool presenceChanged = m_state.has_value() != state.has_value();
    const bool conversationsChanged = presenceChanged || (m_state && m_state->conversations != state->conversations);
    const bool mailboxChanged = presenceChanged || (m_state && m_state->mailbox != state->mailbox);
    if (!presenceChanged && !conversationsChanged && !mailboxChanged
        && (!m_state
            || (m_state->viewer == state->viewer && m_state->status == state->status
                && m_state->counts == state->counts)))
        return;
    m_state = std::move(state);
    if (conversationsChanged) {
        m_conversationHaystacks.clear();
        m_conversationHaystacksValid = false;
    }
    Q_EMIT stateChanged();
    if (conversationsChanged)
        updateFilteredConversations();
    if (mailboxChanged)
        updateFilteredPersonMessages();
    updateNeedsAddress();
    updateLoadStates();
}

void AppModel::setSelectedConversationID(std::optional<QString> id)
{
    if (m_selectedConversationID == id)
        return;
    m_selectedConversationID = std::move(id);
    Q_EMIT selectedConversationIDChanged();
    updateLoadStates();
}

void AppModel::setDetail(std::optional<ConversationDetail> detail)
{
    // A reload that brings the shown conversation back as it was changes
    // nothing on screen.
    if (m_detail == detail) {
        updateLoadStates();
        return;
    }
    const std::optional<QString> before = m_detail ? std::optional(m_detail->id) : std::nullopt;
    m_detail = std::move(detail);
    m_detailMessages->show(m_detail ? m_detail->messages : QList<MessageView>());
    // The editor shows the new conversation's own draft before the screens
    // learn of the new detail, so that they find it there.
    if (before != (m_detail ? std::optional(m_detail->id) : std::nullopt))
        Q_EMIT replyTextChanged();
    Q_EMIT detailChanged();
    updateLoadStates();
}

void AppModel::clearConversationSelection()
{
    ++m_conversationGeneration;
    setSelectedConversationID(std::nullopt);
    if (m_detail)
        setDetail(std::nullopt);
}

void AppModel::selectPerson(std::optional<QString> email)
{
    ++m_personGeneration;
    setSelectedPersonEmail(std::move(email));
}

bool AppModel::isStateAnswerWanted(quint64 request, ConversationStatus status, const QString &token) const
{
    return request > m_stateApplied && status == m_selectedStatus && m_token == token;
}

void AppModel::applyState(quint64 request, MailState state)
{
    m_stateApplied = request;
    m_listAnswered = true;
    setState(std::move(state));
    updateLoadStates();
}

AppModel::LoadingScope::LoadingScope(AppModel &model)
    : m_model(model)
{
    ++m_model.m_loadsRunning;
    m_model.updateIsLoading();
}

AppModel::LoadingScope::~LoadingScope()
{
    --m_model.m_loadsRunning;
    m_model.updateIsLoading();
}

void AppModel::updateIsLoading()
{
    const bool loading = m_loadsRunning > 0;
    if (loading != m_isLoading) {
        m_isLoading = loading;
        Q_EMIT isLoadingChanged();
    }
    updateNeedsAddress();
    updateLoadStates();
}

void AppModel::updateLoadStates()
{
    LoadStates next;
    next.list = m_isLoading && !m_listAnswered;
    next.people = m_isLoading && !m_peopleAnswered;
    if (m_selectedConversationID && (!m_detail || m_detail->id != *m_selectedConversationID)) {
        const QString &id = *m_selectedConversationID;
        QString subject;
        QString participant;
        if (m_state) {
            const auto it = std::find_if(m_state->conversations.cbegin(), m_state->conversations.cend(),
                [&](const ConversationListItem &c) { return c.id == id; });
            if (it != m_state->conversations.cend()) {
                subject = it->subject;
                participant = it->participantName;
            }
        }
        next.conversation = QVariantMap {
            { u"id"_s, id },
            { u"subject"_s, subject },
            { u"participantName"_s, participant },
            { u"failed"_s, m_conversationLoadFailed == id },
        };
    }
    if (m_selectedPersonEmail && (!m_personTimeline || m_timelineEmail != m_selectedPersonEmail)) {
        const QString &email = *m_selectedPersonEmail;
        // A person opened from a conversation need not be in the list yet:
        // the address stands for the name then.
        QString name = email;
        const auto it = std::find_if(m_people.cbegin(), m_people.cend(),
            [&](const PersonSummary &p) { return p.email.compare(email, Qt::CaseInsensitive) == 0; });
        if (it != m_people.cend() && !it->displayName.isEmpty())
            name = it->displayName;
        next.person = QVariantMap {
            { u"email"_s, email },
            { u"displayName"_s, name },
            { u"failed"_s, m_personLoadFailed == email },
        };
    }
    if (next == m_loadStates)
        return;
    m_loadStates = std::move(next);
    Q_EMIT loadStatesChanged();
}

void AppModel::updateNeedsAddress()
{
    // Only an answer of the service can say that the mailbox is missing; no
    // answer yet, or a failed one, is not such an answer.
    const bool needs = m_isConfigured && m_state && !m_state->mailbox && !m_isLoading;
    QUARN_SET(m_needsAddress, needs, needsAddressChanged);
}

void AppModel::setIsSending(bool value)
{
    QUARN_SET(m_isSending, value, isSendingChanged);
}

void AppModel::setIsRunningAI(bool value)
{
    QUARN_SET(m_isRunningAI, value, isRunningAIChanged);
}

void AppModel::setIsCodexReady(bool value)
{
    QUARN_SET(m_isCodexReady, value, isCodexReadyChanged);
}

void AppModel::setIsAutoTriaging(bool value)
{
    QUARN_SET(m_isAutoTriaging, value, isAutoTriagingChanged);
}

void AppModel::setIsConfigured(bool value)
{
    QUARN_SET(m_isConfigured, value, isConfiguredChanged);
    updateNeedsAddress();
}

void AppModel::setIsSigningIn(bool value)
{
    QUARN_SET(m_isSigningIn, value, isSigningInChanged);
}

void AppModel::setIsClaimingAddress(bool value)
{
    QUARN_SET(m_isClaimingAddress, value, isClaimingAddressChanged);
}

void AppModel::setPeople(QList<PersonSummary> people)
{
    m_peopleAnswered = true;
    updateLoadStates();
    if (m_people == people)
        return;
    m_people = std::move(people);
    m_peopleHaystacks.clear();
    m_peopleHaystacks.reserve(m_people.size());
    for (const PersonSummary &p : m_people)
        m_peopleHaystacks.append((p.displayName + u' ' + p.email).toLower());
    m_peopleModel->show(m_people, std::nullopt);
    Q_EMIT peopleChanged();
    updateFilteredPeople();
    updateLoadStates();
}

void AppModel::setSelectedPersonEmail(std::optional<QString> email)
{
    if (m_selectedPersonEmail == email)
        return;
    m_selectedPersonEmail = std::move(email);
    Q_EMIT selectedPersonEmailChanged();
    updateLoadStates();
}

void AppModel::setPersonTimeline(std::optional<PersonTimeline> timeline)
{
    if (!timeline)
        m_timelineEmail.reset();
    if (m_personTimeline == timeline) {
        updateLoadStates();
        return;
    }
    m_personTimeline = std::move(timeline);
    Q_EMIT personTimelineChanged();
    updateFilteredPersonMessages();
    updateLoadStates();
}

void AppModel::setIsLoadingOlderMessages(bool value)
{
    QUARN_SET(m_isLoadingOlderMessages, value, isLoadingOlderMessagesChanged);
}

void AppModel::setAIConversations(QList<AIConversation> conversations)
{
    if (m_aiConversations == conversations)
        return;
    ++m_aiConversationsRevision;
    m_aiConversations = std::move(conversations);
    m_aiConversationsModel->show(m_aiConversations);
    Q_EMIT aiConversationsChanged();
    updateSelectedAIConversation();
}

void AppModel::setSendingAIConversation(std::optional<QString> id)
{
    if (m_sendingAIConversationID == id)
        return;
    m_isSendingAIChat = id.has_value();
    m_sendingAIConversationID = std::move(id);
    Q_EMIT isSendingAIChatChanged();
}

#undef QUARN_SET

// --- derived lists -----------------------------------------------------------

QString AppModel::searchQuery() const
{
    return text::trimmed(m_searchText).toLower();
}

void AppModel::updateFilteredConversations()
{
    if (!m_state) {
        m_filteredConversations->show({}, std::nullopt);
        return;
    }
    const QString query = searchQuery();
    // Most reloads happen with an empty search field: the search texts are
    // made when a query first needs them.
    if (!query.isEmpty() && !m_conversationHaystacksValid) {
        m_conversationHaystacks.reserve(m_state->conversations.size());
        for (const ConversationListItem &c : m_state->conversations)
            m_conversationHaystacks.append(conversationSearchText(c));
        m_conversationHaystacksValid = true;
    }
    m_filteredConversations->show(m_state->conversations, matchingRows(m_conversationHaystacks, query));
}

void AppModel::updateFilteredPeople()
{
    m_filteredPeople->show(m_people, matchingRows(m_peopleHaystacks, searchQuery()));
}

void AppModel::updateFilteredPersonMessages()
{
    if (!m_personTimeline) {
        m_filteredPersonMessages->show({}, std::nullopt);
        return;
    }
    const QList<PersonTimelineMessage> &messages = m_personTimeline->messages;
    if (m_includeGroupMessages || !m_state || !m_state->mailbox) {
        m_filteredPersonMessages->show(messages, std::nullopt);
        return;
    }
    QList<qsizetype> rows;
    for (qsizetype i = 0; i < messages.size(); ++i) {
        if (PersonTimelinePolicy::isDirect(messages.at(i), m_state->mailbox->address, m_personTimeline->person.email))
            rows.append(i);
    }
    m_filteredPersonMessages->show(messages, std::move(rows));
}

void AppModel::updateSelectedAIConversation()
{
    m_selectedAIConversation->show(selectedAIConversation());
}

QList<ConversationListItem> AppModel::filteredConversations() const
{
    return m_filteredConversations->items();
}

QList<PersonSummary> AppModel::filteredPeople() const
{
    return m_filteredPeople->items();
}

QList<PersonTimelineMessage> AppModel::filteredPersonMessages() const
{
    return m_filteredPersonMessages->items();
}

std::optional<AIConversation> AppModel::selectedAIConversation() const
{
    const qsizetype index = m_selectedAIConversationID ? aiConversationIndex(*m_selectedAIConversationID) : -1;
    if (index < 0)
        return std::nullopt;
    return m_aiConversations.at(index);
}

// --- failures ----------------------------------------------------------------

void AppModel::present(std::exception_ptr error, Failure operation)
{
    QString message = describe(error);
    // A service may answer an empty message; an alert with no text tells the
    // user nothing, so the generic description stands in for it.
    if (message.isEmpty())
        message = describe(std::make_exception_ptr(std::exception()));
    showError(message, operation);
}

void AppModel::showError(const QString &message, Failure operation)
{
    m_errorOperation = operation;
    setErrorMessage(message);
}

void AppModel::clearError(Failure operation)
{
    if (m_errorMessage && m_errorOperation == operation)
        setErrorMessage(std::nullopt);
}

void AppModel::noteReloadSucceeded()
{
    clearError(Failure::reload);
    m_lastLoadedAt = m_environment.now();
    m_isServiceUnreachable = false;
    Q_EMIT serviceReachabilityChanged();
}

bool AppModel::isUnauthorized(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const MailAPIError &e) {
        return e.kind() == MailAPIError::Kind::unauthorized;
    } catch (...) {
        return false;
    }
}

void AppModel::presentListFailure(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const MailAPIError &e) {
        if (e.kind() == MailAPIError::Kind::unauthorized) {
            // Signed out in memory only: the token file stays and is replaced
            // by the next token saved after a sign-in.
            setIsConfigured(false);
            m_token.reset();
            m_stateMemo = std::make_shared<MailStateMemo>();
            forgetPrefetched();
            present(error, Failure::reload);
            return;
        }
    } catch (const PlatformError &) {
        // No answer at all: the service is out of reach, which the banner
        // says for as long as it lasts; an alert every 30 s would take the
        // focus from whatever the user is doing.
        if (!m_isServiceUnreachable) {
            m_isServiceUnreachable = true;
            Q_EMIT serviceReachabilityChanged();
        }
        return;
    } catch (...) { }
    // Another operation's failure may not have been read yet.
    if (!m_errorMessage || m_errorOperation == Failure::reload)
        present(error, Failure::reload);
}

} // namespace quarn
