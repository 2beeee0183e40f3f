#pragma once

#include "account/quarnaccountauthorization.h"
#include "app/appenvironment.h"
#include "app/appmodeloperations.h"
#include "app/draftstore.h"
#include "app/listmodels.h"
#include "model/records.h"

#include <QCoroTask>
#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariant>

#include <exception>
#include <memory>
#include <optional>

namespace quarn {

class AIConversationStore;
class APIClient;
class DraftStore;
struct MailStateMemo;
class DeviceCredentialStore;

/// The one object that holds everything the screens show and runs every
/// workflow of the client. The shell creates a single instance and hands it
/// to every screen; screens read its properties, bind their fields to the
/// writable ones and call its operations.
///
/// Confined to the main thread. The operations are coroutines that suspend at
/// every service, store and Codex call and resume on the main thread; none of
/// them throws: each failure ends in `errorMessage`. There are no locks: the
/// busy flags are the only guards against repeated actions, and two reloads
/// that overlap each apply their own answer. The model must outlive every
/// operation started on it (the application's model lives until exit).
///
/// The implementation is split by workflow: appmodel.cpp (fields, derived
/// lists, error rule), appmodel_refresh.cpp (start-up, reload, lens and status
/// selection, opening a conversation), appmodel_triage.cpp (automatic and
/// user-started AI triage), appmodel_actions.cpp (replies, status changes,
/// new conversations, links, the hand-off to Orro, sign-in, token and
/// address), appmodel_people.cpp and appmodel_ai.cpp (the people and AI
/// conversation workflows).
///
/// Optional texts appear to QML as a string or null. Enumerations appear as
/// their raw values ("work", "needs_you"). QML starts the operations through
/// `operations` (AppModelOperations), which bears the same names.
class AppModel : public QObject
{
    Q_OBJECT

    /// Which main area is shown: "work", "people" or "ai".
    Q_PROPERTY(QString lens READ lensName NOTIFY lensChanged)
    /// Raw value of the status whose list the work lens shows.
    Q_PROPERTY(QString selectedStatus READ selectedStatusName NOTIFY selectedStatusChanged)
    /// The last snapshot without its conversations (those are in
    /// filteredConversations): {mailbox: {address, displayName} or null,
    /// viewer: {id, name, email}, status, counts: {raw value: n}}; null before
    /// the first load.
    Q_PROPERTY(QVariant state READ stateValue NOTIFY stateChanged)
    /// Id of the conversation whose detail is shown, or null.
    Q_PROPERTY(QVariant selectedConversationID READ selectedConversationIDValue NOTIFY selectedConversationIDChanged)
    /// The opened conversation with its messages, or null.
    Q_PROPERTY(QVariant detail READ detailValue NOTIFY detailChanged)
    /// The list column's search field (conversations or people).
    Q_PROPERTY(QString searchText READ searchText WRITE setSearchText NOTIFY searchTextChanged)
    /// The reply editor under the shown conversation: that conversation's own
    /// draft (every conversation keeps its own); empty while none is shown.
    Q_PROPERTY(QString replyText READ replyText WRITE setReplyText NOTIFY replyTextChanged)
    /// A reload or a load of a person or conversation runs (progress only).
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
    /// A reply or a new conversation is being sent.
    Q_PROPERTY(bool isSending READ isSending NOTIFY isSendingChanged)
    /// A triage runs, started by the user or by the automatic pass.
    Q_PROPERTY(bool isRunningAI READ isRunningAI NOTIFY isRunningAIChanged)
    /// The local Codex CLI was found, verified and answered its probe.
    Q_PROPERTY(bool isCodexReady READ isCodexReady NOTIFY isCodexReadyChanged)
    /// A readiness probe of the Codex CLI runs (at start-up, after a sign-in,
    /// or asked for again with checkCodex).
    Q_PROPERTY(bool isCheckingCodex READ isCheckingCodex NOTIFY codexReadinessChanged)
    /// Why the last probe found the Codex CLI unusable (the failure's own
    /// description); empty while it is ready or before any probe answered.
    Q_PROPERTY(QString codexProblem READ codexProblem NOTIFY codexReadinessChanged)
    /// What the user can do about `codexProblem` (run `codexFixCommand`, then
    /// "もう一度確認"); empty when there is no problem.
    Q_PROPERTY(QString codexRemedy READ codexRemedy NOTIFY codexReadinessChanged)
    /// The command that fixes `codexProblem` in a terminal, or empty.
    Q_PROPERTY(QString codexFixCommand READ codexFixCommand NOTIFY codexReadinessChanged)
    /// An automatic triage pass runs (listing what is pending or triaging it):
    /// a triage started by the user must wait for its end.
    Q_PROPERTY(bool isAutoTriaging READ isAutoTriaging NOTIFY isAutoTriagingChanged)
    /// The one error line the main window shows, or null. The window clears
    /// it (sets null) when its alert closes. It stays until then, or until
    /// the operation that failed succeeds: nothing else clears it.
    Q_PROPERTY(QVariant errorMessage READ errorMessageValue WRITE setErrorMessageValue NOTIFY errorMessageChanged)
    /// The last reload could not reach the service; the next one that does
    /// clears it. Shown as a banner, never as the error alert.
    Q_PROPERTY(bool isServiceUnreachable READ isServiceUnreachable NOTIFY serviceReachabilityChanged)
    /// When a reload last succeeded (ms since 1970-01-01 UTC), or null.
    Q_PROPERTY(QVariant lastLoadedAt READ lastLoadedAtValue NOTIFY serviceReachabilityChanged)
    /// A device token is present and has not been rejected.
    Q_PROPERTY(bool isConfigured READ isConfigured NOTIFY isConfiguredChanged)
    /// Start-up has read the device token file (or failed to): until then
    /// `isConfigured` says nothing yet, and no screen is chosen by it.
    Q_PROPERTY(bool hasReadToken READ hasReadToken NOTIFY hasReadTokenChanged)
    /// The service answered that this account has no mailbox yet, and nothing
    /// is loading: the address setup is due. Before any answer (still
    /// loading, or the service unreachable) this stays false.
    Q_PROPERTY(bool needsAddress READ needsAddress NOTIFY needsAddressChanged)
    /// A browser sign-in is in progress.
    Q_PROPERTY(bool isSigningIn READ isSigningIn NOTIFY isSigningInChanged)
    /// A mailbox address claim is in progress.
    Q_PROPERTY(bool isClaimingAddress READ isClaimingAddress NOTIFY isClaimingAddressChanged)
    /// The compose window is shown.
    Q_PROPERTY(bool composePresented READ composePresented WRITE setComposePresented NOTIFY composePresentedChanged)
    /// Every correspondent, as last loaded (rows as in filteredPeople).
    Q_PROPERTY(quarn::PersonListModel *people READ peopleModel CONSTANT)
    /// The person whose timeline is shown, or null.
    Q_PROPERTY(QVariant selectedPersonEmail READ selectedPersonEmailValue NOTIFY selectedPersonEmailChanged)
    /// The loaded timeline without its messages (those are in
    /// filteredPersonMessages): {person: {...}, hasMore, nextBefore or null,
    /// canLoadOlder}; or null.
    Q_PROPERTY(QVariant personTimeline READ personTimelineValue NOTIFY personTimelineChanged)
    /// Whether the person timeline also shows messages with other participants.
    Q_PROPERTY(bool includeGroupMessages READ includeGroupMessages WRITE setIncludeGroupMessages NOTIFY
            includeGroupMessagesChanged)
    /// An older page of the person timeline is being fetched.
    Q_PROPERTY(bool isLoadingOlderMessages READ isLoadingOlderMessages NOTIFY isLoadingOlderMessagesChanged)
    /// The private AI conversations, most recent first.
    Q_PROPERTY(quarn::AIConversationListModel *aiConversations READ aiConversationsModel CONSTANT)
    /// The AI conversation shown, or null. The AI list sets it.
    Q_PROPERTY(QVariant selectedAIConversationID READ selectedAIConversationIDValue WRITE
            setSelectedAIConversationIDValue NOTIFY selectedAIConversationIDChanged)
    /// The AI chat input field.
    Q_PROPERTY(QString aiInput READ aiInput WRITE setAiInput NOTIFY aiInputChanged)
    /// An AI chat turn runs.
    Q_PROPERTY(bool isSendingAIChat READ isSendingAIChat NOTIFY isSendingAIChatChanged)
    /// The AI conversation whose turn runs, or null: only that one waits for
    /// an answer.
    Q_PROPERTY(QVariant sendingAIConversationID READ sendingAIConversationIDValue NOTIFY isSendingAIChatChanged)
    /// A new AI conversation, a rename or a deletion waits for the stored
    /// ones to be read first.
    Q_PROPERTY(bool isReadingAIConversations READ isReadingAIConversations NOTIFY isReadingAIConversationsChanged)
    /// The selected status's list has had no answer yet and a load runs:
    /// an empty list then says nothing about the mailbox.
    Q_PROPERTY(bool isLoadingList READ isLoadingList NOTIFY loadStatesChanged)
    /// The people list has had no answer yet and a load runs.
    Q_PROPERTY(bool isLoadingPeople READ isLoadingPeople NOTIFY loadStatesChanged)
    /// The conversation chosen while another one's detail (or none) is
    /// shown: {id, subject, participantName, failed}, where `failed` says its
    /// last load failed (else it is on its way); null once its detail is
    /// shown or nothing is chosen.
    Q_PROPERTY(QVariant openingConversation READ openingConversation NOTIFY loadStatesChanged)
    /// The person chosen while another one's timeline (or none) is shown:
    /// {email, displayName, failed}; null once their timeline is shown or
    /// nobody is chosen.
    Q_PROPERTY(QVariant openingPerson READ openingPerson NOTIFY loadStatesChanged)

    /// The conversations of `state` that match the search text.
    Q_PROPERTY(quarn::ConversationListModel *filteredConversations READ filteredConversationsModel CONSTANT)
    /// The correspondents that match the search text.
    Q_PROPERTY(quarn::PersonListModel *filteredPeople READ filteredPeopleModel CONSTANT)
    /// The timeline messages that the group filter lets through.
    Q_PROPERTY(quarn::PersonMessageListModel *filteredPersonMessages READ filteredPersonMessagesModel CONSTANT)
    /// The messages of the shown conversation (those of `detail`), oldest first.
    Q_PROPERTY(quarn::MessageListModel *detailMessages READ detailMessagesModel CONSTANT)
    /// The messages of the selected AI conversation, with its id and title.
    Q_PROPERTY(quarn::AIChatMessageListModel *selectedAIConversation READ selectedAIConversationModel CONSTANT)
    /// The model's operations as QML calls them: each starts the operation
    /// and returns at once.
    Q_PROPERTY(quarn::AppModelOperations *operations READ operations CONSTANT)

public:
    /// Back-off of a conversation whose automatic triage failed.
    static constexpr qint64 kAutoTriageBackOffMs = 300'000;

    /// A model on `environment`; the default is the application's own.
    explicit AppModel(AppEnvironment environment = AppEnvironment::production(), QObject *parent = nullptr);
    ~AppModel() override;

    // --- published fields, typed --------------------------------------------
    [[nodiscard]] MailLens lens() const { return m_lens; }
    [[nodiscard]] ConversationStatus selectedStatus() const { return m_selectedStatus; }
    [[nodiscard]] const std::optional<MailState> &state() const { return m_state; }
    [[nodiscard]] const std::optional<QString> &selectedConversationID() const { return m_selectedConversationID; }
    [[nodiscard]] const std::optional<ConversationDetail> &detail() const { return m_detail; }
    [[nodiscard]] const QString &searchText() const { return m_searchText; }
    [[nodiscard]] QString replyText() const;
    /// Every conversation's reply draft that is not empty, by conversation id.
    [[nodiscard]] const QHash<QString, QString> &replyDrafts() const { return m_replyDrafts; }
    /// What a closed compose sheet held, until it is sent or cleared.
    [[nodiscard]] const std::optional<ComposeDraft> &composeDraft() const { return m_composeDraft; }
    /// Messages whose send failed after their sheet had been closed while
    /// another draft held the sheet, oldest first: each becomes the compose
    /// draft when a sheet opens without one.
    [[nodiscard]] const QList<ComposeDraft> &unsentComposes() const { return m_unsentComposes; }
    [[nodiscard]] bool isLoading() const { return m_isLoading; }
    [[nodiscard]] bool isSending() const { return m_isSending; }
    [[nodiscard]] bool isRunningAI() const { return m_isRunningAI; }
    [[nodiscard]] bool isCodexReady() const { return m_isCodexReady; }
    [[nodiscard]] bool isCheckingCodex() const { return m_codexProbesRunning > 0; }
    [[nodiscard]] const QString &codexProblem() const { return m_codexProblem; }
    [[nodiscard]] const QString &codexRemedy() const { return m_codexRemedy; }
    [[nodiscard]] const QString &codexFixCommand() const { return m_codexFixCommand; }
    [[nodiscard]] bool isAutoTriaging() const { return m_isAutoTriaging; }
    [[nodiscard]] const std::optional<QString> &errorMessage() const { return m_errorMessage; }
    [[nodiscard]] bool isServiceUnreachable() const { return m_isServiceUnreachable; }
    [[nodiscard]] std::optional<qint64> lastLoadedAt() const { return m_lastLoadedAt; }
    /// Grows with every list answer that is applied: tells a fresh answer
    /// from the one an observer has already seen.
    [[nodiscard]] quint64 appliedStateRequest() const { return m_stateApplied; }
    /// Whether opening `id` would show it at once (its detail was fetched
    /// ahead and still matches its row).
    [[nodiscard]] bool hasFetchedAhead(const QString &id) const { return prefetchedDetail(id).has_value(); }
    [[nodiscard]] bool isConfigured() const { return m_isConfigured; }
    [[nodiscard]] bool hasReadToken() const { return m_hasReadToken; }
    [[nodiscard]] bool needsAddress() const { return m_needsAddress; }
    /// A reload of the lists runs, or start-up has a token and has not had
    /// its first reload answered yet. The background refresh loop skips its
    /// tick then.
    [[nodiscard]] bool isReloading() const { return m_reloadsRunning > 0 || m_isStartingUp; }
    [[nodiscard]] bool isSigningIn() const { return m_isSigningIn; }
    [[nodiscard]] bool isClaimingAddress() const { return m_isClaimingAddress; }
    [[nodiscard]] bool composePresented() const { return m_composePresented; }
    [[nodiscard]] const QList<PersonSummary> &people() const { return m_people; }
    [[nodiscard]] const std::optional<QString> &selectedPersonEmail() const { return m_selectedPersonEmail; }
    [[nodiscard]] const std::optional<PersonTimeline> &personTimeline() const { return m_personTimeline; }
    [[nodiscard]] bool includeGroupMessages() const { return m_includeGroupMessages; }
    [[nodiscard]] bool isLoadingOlderMessages() const { return m_isLoadingOlderMessages; }
    [[nodiscard]] const QList<AIConversation> &aiConversations() const { return m_aiConversations; }
    [[nodiscard]] const std::optional<QString> &selectedAIConversationID() const { return m_selectedAIConversationID; }
    [[nodiscard]] const QString &aiInput() const { return m_aiInput; }
    [[nodiscard]] bool isSendingAIChat() const { return m_isSendingAIChat; }
    [[nodiscard]] const std::optional<QString> &sendingAIConversationID() const { return m_sendingAIConversationID; }
    [[nodiscard]] bool isReadingAIConversations() const
    {
        return m_isCreatingAIConversation || m_aiChangesWaitingForRead > 0;
    }
    [[nodiscard]] bool isLoadingList() const { return m_loadStates.list; }
    [[nodiscard]] bool isLoadingPeople() const { return m_loadStates.people; }
    [[nodiscard]] QVariant openingConversation() const { return m_loadStates.conversation; }
    [[nodiscard]] QVariant openingPerson() const { return m_loadStates.person; }

    // --- fields the screens write -------------------------------------------
    void setSearchText(const QString &text);
    void setReplyText(const QString &text);
    void setErrorMessage(std::optional<QString> message);
    void setComposePresented(bool presented);
    void setIncludeGroupMessages(bool include);
    void setSelectedAIConversationID(std::optional<QString> id);
    void setAiInput(const QString &text);
    /// Keeps what a compose sheet holds as the compose draft (an empty one
    /// removes it); the next sheet opens with it.
    void setComposeDraft(std::optional<ComposeDraft> draft);
    /// A send from a compose sheet with `sent` succeeded: the compose draft
    /// goes if it still is what was sent.
    void composeDraftSent(const ComposeDraft &sent);
    /// The send of `unsent` failed and the sheet it was sent from is gone:
    /// it becomes the compose draft when nothing holds that place (no draft,
    /// no sheet open), else it waits in `unsentComposes` and the failure
    /// says where it is. It is never dropped and never replaces a draft.
    void composeSendFailed(const ComposeDraft &unsent);

    // --- drafts on disk ----------------------------------------------------------
    /// How long typing must rest before the drafts are written.
    static constexpr int kDraftQuietMs = 1000;
    /// Writes the drafts now if anything is unwritten, and waits (at most
    /// `boundMs`) for the write on the store's worker: for quitting.
    void saveDraftsNow(int boundMs = 5000);

    // --- derived lists --------------------------------------------------------
    [[nodiscard]] QList<ConversationListItem> filteredConversations() const;
    [[nodiscard]] QList<PersonSummary> filteredPeople() const;
    [[nodiscard]] QList<PersonTimelineMessage> filteredPersonMessages() const;
    [[nodiscard]] std::optional<AIConversation> selectedAIConversation() const;

    [[nodiscard]] ConversationListModel *filteredConversationsModel() const { return m_filteredConversations; }
    [[nodiscard]] PersonListModel *filteredPeopleModel() const { return m_filteredPeople; }
    [[nodiscard]] PersonMessageListModel *filteredPersonMessagesModel() const { return m_filteredPersonMessages; }
    [[nodiscard]] AIChatMessageListModel *selectedAIConversationModel() const { return m_selectedAIConversation; }
    [[nodiscard]] MessageListModel *detailMessagesModel() const { return m_detailMessages; }
    [[nodiscard]] PersonListModel *peopleModel() const { return m_peopleModel; }
    [[nodiscard]] AIConversationListModel *aiConversationsModel() const { return m_aiConversationsModel; }
    [[nodiscard]] AppModelOperations *operations() const { return m_operations; }

    // --- start-up and reload (appmodel_refresh.cpp) ---------------------------
    /// Start-up sequence; runs once per model, later calls return at once.
    QCoro::Task<void> bootstrap();
    /// Reloads the data of the current lens. An unauthorised answer signs
    /// out in memory (the token file stays).
    QCoro::Task<void> refresh(bool keepingSelection);
    /// Shows the work lens with the list of `status`.
    QCoro::Task<void> selectStatus(ConversationStatus status);
    /// Shows the people lens.
    QCoro::Task<void> selectPeople();
    /// Shows the AI lens.
    QCoro::Task<void> selectAI();
    /// Probes the Codex CLI again (after the user installed it or logged in).
    QCoro::Task<void> checkCodex();
    /// Selects a conversation of the list and loads its detail.
    QCoro::Task<void> openConversation(QString id);
    /// The list of `status` as the service has it now, for observers beside
    /// the screens (desktop notifications): nothing the screens show changes,
    /// and the answer is none without a token or when the request fails.
    QCoro::Task<std::optional<MailState>> peekState(ConversationStatus status);

    // --- conversation actions (appmodel_actions.cpp) ---------------------------
    /// Sends the shown conversation's own draft (trimmed) as a reply to it,
    /// then shows the waiting list with nothing selected. On success only the
    /// text that was sent leaves the draft: what the user typed meanwhile
    /// stays. Nothing while a send runs.
    QCoro::Task<void> sendReply();
    /// Puts the opened conversation's AI draft into the reply editor.
    void useDraft();
    /// Moves the opened conversation to `status` (only a status the user may
    /// choose) and shows that status's list with nothing selected.
    QCoro::Task<void> setStatus(ConversationStatus status);
    /// Moves the opened conversation to `status` (only a status the user may
    /// choose) while the list stays as it is, then opens the conversation that
    /// followed it in that list (the one before it when it was the last), so
    /// that a list can be worked through one key per conversation
    /// (appmodel_filing.cpp). Answers whether the service took the change.
    QCoro::Task<bool> fileAndOpenNext(ConversationStatus status);
    /// Puts conversation `id` back to `status` (the undo of fileAndOpenNext)
    /// and, when the shown list holds it again, opens it. Answers whether the
    /// service took the change.
    QCoro::Task<bool> restoreStatus(QString id, ConversationStatus status);
    /// Sends a new conversation with values the compose window already
    /// checked; answers whether it was sent. On success the compose window
    /// closes (unless it was closed and opened again meanwhile: that is
    /// another draft) and the new conversation's list is shown, the
    /// conversation opened when the service named it.
    QCoro::Task<bool> createConversation(
        QStringList to, QString subject, QString body, std::optional<QDateTime> scheduledFor);
    /// Shows a conversation that need not be in the current list: the work
    /// lens with its status's list and its detail.
    QCoro::Task<void> openTimelineConversation(QString id);
    /// Handles a URL given to the application: a sign-in callback completes
    /// the pending sign-in, a conversation link opens the conversation, and
    /// anything else is ignored.
    QCoro::Task<void> openDeepLink(QUrl url);
    /// The same for a URL as written; conversation links are matched on this
    /// text, since parsing folds the scheme and host to lower case.
    QCoro::Task<void> openDeepLink(QString url);
    /// How a hand-off to the task/calendar app ended.
    struct OrroHandoff
    {
        enum class Outcome {
            /// A handler took it: the quarn-orro link, or the calendar file.
            handedOver,
            /// No program takes calendar files: the file was kept in the
            /// user's Downloads folder, and `message` says where.
            saved,
            /// Nothing was handed over; `message` says why (empty for a
            /// blank title, which the sheet never sends).
            failed,
        };
        Outcome outcome = Outcome::failed;
        QString message;
    };
    /// Hands the conversation to the task/calendar app: as a quarn-orro://
    /// link when a program handles that scheme, else as an iCalendar file
    /// opened with the calendar app (kept in Downloads when there is none).
    /// Handed over only when the opener reported success.
    QCoro::Task<OrroHandoff> sendToOrro(OrroActionKind kind, QString title, QString notes,
        std::optional<QDateTime> dueAt, std::optional<QDateTime> startsAt, std::optional<QDateTime> endsAt,
        QString conversationID);
    /// Opens an address from a message body with the desktop's browser or
    /// mail program, on the user's action only: an http(s) address with a
    /// host or a mailto: address; anything else is refused. Answers whether
    /// it was handed over; a failure is reported as the error message.
    QCoro::Task<bool> openLink(QString link);
    /// Starts the browser sign-in; openDeepLink completes it.
    void signInWithQuarn();
    /// Ends the pending browser sign-in, as a callback that does not match it
    /// would, without an error: the user gave it up. Its callback, should it
    /// still come, is ignored; a new sign-in can start at once.
    void cancelSignIn();
    /// Stores `token` (trimmed) and starts working with it.
    QCoro::Task<void> saveToken(QString token);
    /// Claims a mailbox address with the texts as typed.
    QCoro::Task<void> claimAddress(QString localPart, QString displayName);

    // --- the compose window (appmodel_compose.cpp) ----------------------------
    /// A subject line for a new message's body, from the shared Codex runner.
    /// Fails as the runner does; the compose window falls back on its own.
    QCoro::Task<QString> suggestSubject(QString body);
    /// The model's clock: milliseconds since 1970-01-01 UTC.
    [[nodiscard]] qint64 now() const;

    // --- people (appmodel_people.cpp) -----------------------------------------
    /// Shows the people lens with the newest page of `email`'s timeline.
    QCoro::Task<void> openPerson(QString email);
    /// Adds the next older page to the person timeline.
    QCoro::Task<void> loadOlderPersonMessages();

    // --- AI conversations (appmodel_ai.cpp) -----------------------------------
    /// A new, empty AI conversation at the front of the list, selected.
    QCoro::Task<void> newAIConversation();
    /// Sends `aiInput` (trimmed) in the selected AI conversation (a new one
    /// when none is selected) and adds the AI's answer to that conversation,
    /// wherever the user has gone meanwhile.
    QCoro::Task<void> sendAIChat();
    /// Gives the AI conversation with `id` the title `title` (trimmed; an
    /// empty one changes nothing) and saves the list.
    QCoro::Task<void> renameAIConversation(QString id, QString title);
    /// Removes the AI conversation with `id` and saves the list; when it was
    /// the shown one, its neighbour (the next one, else the previous one) is
    /// shown instead.
    QCoro::Task<void> deleteAIConversation(QString id);

    // --- AI triage (appmodel_triage.cpp) --------------------------------------
    /// One automatic triage pass over the inbox and the waiting list.
    QCoro::Task<void> autoTriagePendingWork();
    /// Triage of the opened conversation, started by the user.
    QCoro::Task<void> runAI();
    /// The code sent to the service when a triage job fails because of `error`.
    [[nodiscard]] static QString errorCode(std::exception_ptr error);

Q_SIGNALS:
    void lensChanged();
    void selectedStatusChanged();
    void stateChanged();
    void selectedConversationIDChanged();
    void detailChanged();
    void searchTextChanged();
    void replyTextChanged();
    void isLoadingChanged();
    void isSendingChanged();
    void isRunningAIChanged();
    void isCodexReadyChanged();
    void codexReadinessChanged();
    void isAutoTriagingChanged();
    void errorMessageChanged();
    void serviceReachabilityChanged();
    void isConfiguredChanged();
    void hasReadTokenChanged();
    void needsAddressChanged();
    void isSigningInChanged();
    void isClaimingAddressChanged();
    void composePresentedChanged();
    void peopleChanged();
    void selectedPersonEmailChanged();
    void personTimelineChanged();
    void includeGroupMessagesChanged();
    void isLoadingOlderMessagesChanged();
    void aiConversationsChanged();
    void selectedAIConversationIDChanged();
    void aiInputChanged();
    void isSendingAIChatChanged();
    void isReadingAIConversationsChanged();
    void loadStatesChanged();
    void composeDraftChanged();
    /// A write of the drafts file ended (with or without success).
    void draftsSaved();
    /// A read of the AI conversation file ended, with a list or a failure.
    void aiConversationsRead();
    /// Start-up has read the token and, with one, loaded the first lists.
    void startUpLoaded();

private:
    /// Opens the sign-in page of the pending sign-in `state`; when the
    /// opener fails and that sign-in is still the pending one, ends it with
    /// kBrowserDidNotOpen.
    QCoro::Task<void> openSignInPage(QUrl page, QString state);
    /// Counts one load for `isLoading` while it lives: overlapping loads keep
    /// the flag up until the last of them ends.
    class LoadingScope
    {
    public:
        explicit LoadingScope(AppModel &model);
        ~LoadingScope();
        LoadingScope(const LoadingScope &) = delete;
        LoadingScope &operator=(const LoadingScope &) = delete;

    private:
        AppModel &m_model;
    };
    /// Counts one running reload for `isReloading`.
    class ReloadScope
    {
    public:
        explicit ReloadScope(AppModel &model)
            : m_model(model)
        {
            ++m_model.m_reloadsRunning;
        }
        ~ReloadScope() { --m_model.m_reloadsRunning; }
        ReloadScope(const ReloadScope &) = delete;
        ReloadScope &operator=(const ReloadScope &) = delete;

    private:
        AppModel &m_model;
    };

    // Property adaptors for QML.
    [[nodiscard]] QString lensName() const;
    [[nodiscard]] QString selectedStatusName() const;
    [[nodiscard]] QVariant stateValue() const;
    [[nodiscard]] QVariant selectedConversationIDValue() const;
    [[nodiscard]] QVariant detailValue() const;
    [[nodiscard]] QVariant errorMessageValue() const;
    [[nodiscard]] QVariant lastLoadedAtValue() const;
    void setErrorMessageValue(const QVariant &value);
    [[nodiscard]] QVariant selectedPersonEmailValue() const;
    [[nodiscard]] QVariant personTimelineValue() const;
    [[nodiscard]] QVariant selectedAIConversationIDValue() const;
    [[nodiscard]] QVariant sendingAIConversationIDValue() const;
    void setSelectedAIConversationIDValue(const QVariant &value);

    // Setters of the published fields: each notifies only on a real change and
    // keeps the derived lists in step.
    void setLens(MailLens lens);
    void setSelectedStatus(ConversationStatus status);
    void setState(std::optional<MailState> state);
    void setSelectedConversationID(std::optional<QString> id);
    void setDetail(std::optional<ConversationDetail> detail);
    void updateIsLoading();
    /// Recomputes isLoadingList, isLoadingPeople, openingConversation and
    /// openingPerson, and tells the screens when one changed.
    void updateLoadStates();
    void updateNeedsAddress();
    void setIsSending(bool value);
    void setIsRunningAI(bool value);
    void setIsCodexReady(bool value);
    void setIsAutoTriaging(bool value);
    void setIsConfigured(bool value);
    void setIsSigningIn(bool value);
    void setIsClaimingAddress(bool value);
    void setPeople(QList<PersonSummary> people);
    void setSelectedPersonEmail(std::optional<QString> email);
    void setPersonTimeline(std::optional<PersonTimeline> timeline);
    void setIsLoadingOlderMessages(bool value);
    void setAIConversations(QList<AIConversation> conversations);
    /// A turn of conversation `id` starts, or (nothing) the turn ends.
    void setSendingAIConversation(std::optional<QString> id);
    /// Clears the conversation selection and, with it, the detail; a detail
    /// still being loaded is no longer wanted.
    void clearConversationSelection();

    // Details fetched ahead, so that the next conversation opens at once
    // (appmodel_prefetch.cpp).
    /// A prefetched detail of `id` that still matches its row in the list,
    /// for the current account; nothing otherwise.
    [[nodiscard]] std::optional<ConversationDetail> prefetchedDetail(const QString &id) const;
    /// Keeps `detail` (answered for `token` to the request numbered
    /// `request`) unless a newer answer for it is kept already.
    void rememberDetail(const ConversationDetail &detail, const QString &token, quint64 request);
    /// Fetches the rows before and after `id` in the shown list ahead.
    void prefetchAround(const QString &id);
    /// Fetches the first `count` rows of the shown list ahead.
    void prefetchFirst(qsizetype count);
    void prefetch(const ConversationListItem &row);
    QCoro::Task<void> prefetchDetail(QString id);
    void forgetPrefetched();
    /// Selects the person whose timeline is shown (or nobody); a timeline or
    /// page still being loaded for the previous choice is no longer wanted.
    void selectPerson(std::optional<QString> email);
    /// A number for a state request about to be sent.
    [[nodiscard]] quint64 nextStateRequest() { return ++m_stateRequests; }
    /// A state request on its way, with what decides whether its answer is
    /// still wanted when it arrives.
    struct PendingState
    {
        quint64 request;
        ConversationStatus status;
        QString token;
        QCoro::Task<MailState> answer;
    };
    /// Sends the state request of the selected status; needs a token.
    [[nodiscard]] PendingState requestState();
    /// The rest of a state reload (work and AI lenses) once `pending` was
    /// sent: applies its answer while wanted, then the people list and the
    /// selection.
    QCoro::Task<void> completeRefresh(PendingState pending, bool keepingSelection);
    /// Whether the answer to state request `request` for `status`, sent with
    /// `token`, is still wanted: the status is still the one shown, no newer
    /// answer has been applied, and the token is the same.
    [[nodiscard]] bool isStateAnswerWanted(quint64 request, ConversationStatus status, const QString &token) const;
    /// Applies a wanted state answer and records it as the newest.
    void applyState(quint64 request, MailState state);

    void updateFilteredConversations();
    void updateFilteredPeople();
    void updateFilteredPersonMessages();
    void updateSelectedAIConversation();
    [[nodiscard]] QString searchQuery() const;

    /// The operation whose failure `errorMessage` shows: only that
    /// operation's later success (or the user) clears it.
    enum class Failure {
        reload,
        conversation,
        person,
        reply,
        status,
        compose,
        signIn,
        token,
        address,
        aiStore,
        aiChat,
        drafts,
        triage,
        /// A notice nothing but the user clears (a file set aside).
        notice,
    };
    /// Turns a failure of `operation` into `errorMessage`.
    void present(std::exception_ptr error, Failure operation);
    /// Shows `message` as `operation`'s failure.
    void showError(const QString &message, Failure operation);
    /// `operation` succeeded: its own failure, if shown, goes; another's stays.
    void clearError(Failure operation);
    /// The reaction to a failed list reload: an unauthorised answer signs
    /// out in memory, an unreachable service is the banner, anything else is
    /// shown unless another operation's failure is.
    void presentListFailure(std::exception_ptr error);
    /// A reload reached the service and had its answer.
    void noteReloadSucceeded();
    /// Sets the reply draft of conversation `id`; an empty text removes it.
    void setReplyDraft(const QString &id, const QString &text);
    /// Whether `error` is the service's refusal of the token.
    [[nodiscard]] static bool isUnauthorized(std::exception_ptr error);

    // Workflows of other files.
    QCoro::Task<void> probeCodex();
    QCoro::Task<void> refreshPeople(bool keepingSelection);
    QCoro::Task<void> loadAIConversations();
    /// Waits for the stored conversations to be read before a change to the
    /// list (counted in isReadingAIConversations while it waits).
    QCoro::Task<void> awaitAIConversationsReadForChange();
    void applyLoadedAIConversations(
        quint64 revision, std::optional<QList<AIConversation>> loaded, std::exception_ptr failure);
    /// Returns once the AI conversation file has been read (or found
    /// missing, or set aside), waiting for a read already running.
    QCoro::Task<void> awaitAIConversationsRead();
    /// Saves the AI conversations in memory; answers whether that worked.
    QCoro::Task<bool> saveAIConversations();
    /// Reads the drafts file once and joins it with what memory holds.
    QCoro::Task<void> loadDrafts();
    /// The drafts changed: they are written once typing rests.
    void draftsChanged();
    [[nodiscard]] Drafts currentDrafts() const;
    QCoro::Task<void> saveDrafts();
    /// Drops the reply drafts of conversations the service no longer has,
    /// once per session, after the first list that loaded.
    QCoro::Task<void> dropVanishedDrafts(QString token, QStringList listed);
    /// Appends a new message to the AI conversation with `id` and moves that
    /// conversation to the front; false when it is gone.
    bool appendAIChatMessage(const QString &id, AIChatRole role, const QString &content);
    /// Index of the AI conversation with `id`, or -1.
    [[nodiscard]] qsizetype aiConversationIndex(const QString &id) const;
    /// "ai_" or "msg_" followed by a new random UUID in lower case.
    [[nodiscard]] static QString newIdentifier(const QString &prefix);
    QCoro::Task<ConversationDetail> triageConversation(QString id, QString token, bool reflectInUI);
    [[nodiscard]] static PersonTimeline merging(
        const PersonTimeline &current, const PersonTimeline &incoming, bool preferIncomingCursor);

    AppEnvironment m_environment;
    std::unique_ptr<APIClient> m_api;
    /// The last answer of the reload's state request and its decoding, so an
    /// unchanged answer is not decoded again. Replaced when the token changes.
    std::shared_ptr<MailStateMemo> m_stateMemo;
    std::unique_ptr<DeviceCredentialStore> m_credentialStore;
    std::unique_ptr<QuarnAccountAuthorization> m_accountAuthorization;
    std::unique_ptr<AIConversationStore> m_aiStore;
    std::unique_ptr<DraftStore> m_draftStore;

    // Published fields.
    MailLens m_lens = MailLens::work;
    ConversationStatus m_selectedStatus = ConversationStatus::needsYou;
    std::optional<MailState> m_state;
    std::optional<QString> m_selectedConversationID;
    std::optional<ConversationDetail> m_detail;
    QString m_searchText;
    QHash<QString, QString> m_replyDrafts;
    std::optional<ComposeDraft> m_composeDraft;
    QList<ComposeDraft> m_unsentComposes;
    /// The drafts file has been read (or found missing, or set aside): only
    /// then may it be written, or a write would drop what it held.
    bool m_hasReadDrafts = false;
    bool m_draftsUnsaved = false;
    bool m_checkedVanishedDrafts = false;
    int m_draftSavesRunning = 0;
    QTimer m_draftTimer;
    bool m_isLoading = false;
    bool m_isSending = false;
    bool m_isRunningAI = false;
    bool m_isCodexReady = false;
    std::optional<QString> m_errorMessage;
    Failure m_errorOperation = Failure::notice;
    bool m_isServiceUnreachable = false;
    std::optional<qint64> m_lastLoadedAt;
    bool m_isConfigured = false;
    bool m_hasReadToken = false;
    bool m_isSigningIn = false;
    bool m_isClaimingAddress = false;
    bool m_composePresented = false;
    QList<PersonSummary> m_people;
    std::optional<QString> m_selectedPersonEmail;
    std::optional<PersonTimeline> m_personTimeline;
    bool m_includeGroupMessages = true;
    bool m_isLoadingOlderMessages = false;
    QList<AIConversation> m_aiConversations;
    std::optional<QString> m_selectedAIConversationID;
    QString m_aiInput;
    bool m_isSendingAIChat = false;
    struct LoadStates
    {
        bool list = false;
        bool people = false;
        QVariant conversation;
        QVariant person;
        bool operator==(const LoadStates &) const = default;
    };
    LoadStates m_loadStates;
    std::optional<QString> m_sendingAIConversationID;
    int m_codexProbesRunning = 0;
    /// Numbers the readiness probes: only the newest one's answer is applied.
    quint64 m_codexProbes = 0;
    QString m_codexProblem;
    QString m_codexRemedy;
    QString m_codexFixCommand;

    // Private working state.
    std::optional<QString> m_token;
    std::optional<PendingSignIn> m_pendingSignIn;
    /// The `state` of every sign-in the user cancelled in this session.
    QSet<QString> m_cancelledSignIns;
    bool m_didBootstrap = false;
    bool m_didLoadStartUp = false;
    /// Start-up found a token and its first reload has not answered yet.
    bool m_isStartingUp = false;
    bool m_needsAddress = false;
    /// The selected status's list has been answered since it was chosen.
    bool m_listAnswered = false;
    bool m_peopleAnswered = false;
    /// The conversation whose last load failed while it was chosen.
    std::optional<QString> m_conversationLoadFailed;
    /// Whose timeline `personTimeline` is, as the person was asked for (the
    /// service may spell the address differently).
    std::optional<QString> m_timelineEmail;
    /// The person whose last timeline load failed while they were chosen.
    std::optional<QString> m_personLoadFailed;
    int m_loadsRunning = 0;
    int m_reloadsRunning = 0;
    // Slots whose answers may arrive late. Each request notes the slot's
    // generation when it leaves and is applied only if nothing replaced it
    // meanwhile: another choice, or the choice cleared.
    quint64 m_conversationGeneration = 0;
    struct PrefetchedDetail
    {
        ConversationDetail detail;
        QString token;
        quint64 request = 0; ///< which answer it is: a later one replaces it
        quint64 used = 0; ///< when it was last kept or opened: the oldest goes first
    };
    QHash<QString, PrefetchedDetail> m_prefetched;
    QSet<QString> m_prefetching;
    quint64 m_detailRequests = 0;
    quint64 m_prefetchUses = 0;
    quint64 m_personGeneration = 0;
    quint64 m_stateRequests = 0;
    quint64 m_stateApplied = 0;
    /// Bumped by every change of `aiConversations`: a load that started
    /// before a change must not replace the newer list.
    quint64 m_aiConversationsRevision = 0;
    int m_aiLoadsRunning = 0;
    /// AI saves under way (each resumes into the model when the store is done).
    int m_aiSavesRunning = 0;
    /// The file has been read once: memory holds what it held.
    bool m_hasReadAIConversations = false;
    /// The last save failed: memory holds changes the file lacks.
    bool m_hasUnsavedAIConversations = false;
    bool m_isCreatingAIConversation = false;
    /// Renames and deletions waiting for the file to be read first.
    int m_aiChangesWaitingForRead = 0;
    /// Counts the compose sheet's openings: a send closes only the sheet it
    /// was sent from.
    quint64 m_composePresentation = 0;
    bool m_isAutoTriaging = false;
    QHash<QString, qint64> m_autoTriageRetryAfter;

    // Lower-cased search texts of the current conversations and people, one
    // per row, kept while the list stays the same so that typing in the
    // search field only scans.
    QStringList m_conversationHaystacks;
    bool m_conversationHaystacksValid = false;
    QStringList m_peopleHaystacks;

    ConversationListModel *m_filteredConversations;
    PersonListModel *m_filteredPeople;
    PersonMessageListModel *m_filteredPersonMessages;
    MessageListModel *m_detailMessages;
    AIChatMessageListModel *m_selectedAIConversation;
    PersonListModel *m_peopleModel;
    AIConversationListModel *m_aiConversationsModel;
    AppModelOperations *m_operations;
};

/// The lower-cased text in which the search looks for the query: subject,
/// participant name and address, AI summary (when there is one) and preview,
/// joined by one blank.
[[nodiscard]] QString conversationSearchText(const ConversationListItem &conversation);

/// Indices of the haystacks that contain `query` (already trimmed and
/// lower-cased); none when the query is empty, meaning every row.
[[nodiscard]] std::optional<QList<qsizetype>> matchingRows(const QStringList &haystacks, const QString &query);

} // namespace quarn
