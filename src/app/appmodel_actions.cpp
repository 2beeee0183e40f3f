// What the user does to a conversation (reply, status, new conversation,
// opening one by id), the URLs the application receives, the hand-off to
// Orro, and getting an account working: browser sign-in, token, address.

#include "account/devicecredentialstore.h"
#include "api/apiclient.h"
#include "app/appmodel.h"
#include "app/calendarfile.h"
#include "app/policies.h"
#include "core/async.h"
#include "core/error.h"
#include "core/text.h"
#include "platform/filesecurity.h"

#include <QCoroSignal>
#include <QThreadPool>
#include <QTimeZone>
#include <QUrlQuery>
#include <QUuid>

using namespace Qt::StringLiterals;

namespace quarn {

namespace {

// What the application shows instead of the sign-in failure's own case.
const QString kSignInFailed = u"Quarnアカウントに接続できませんでした。もう一度試してください。"_s;
const QString kNoSignInPending = u"サインインを最初からやり直してください。"_s;
const QString kBrowserDidNotOpen = u"ブラウザを開けませんでした。"_s;
const QString kUnusableSchedule = u"送信日時が正しくありません。日時を選び直してください。"_s;

/// A time the service can take: valid and within the years a date picker
/// offers (JavaScript dates end at ±8.64e15 ms; far beyond any schedule).
bool isSendableTime(const QDateTime &time)
{
    constexpr qint64 kLimitMs = 8'640'000'000'000'000;
    if (!time.isValid())
        return false;
    const qint64 ms = time.toMSecsSinceEpoch();
    return ms >= -kLimitMs && ms <= kLimitMs;
}

const QString kOrroUnusableTime = u"日時を扱えませんでした。日時を選び直してください。"_s;
const QString kOrroNotOpened = u"Orroを開けませんでした。"_s;
const QString kCalendarNotOpened = u"カレンダーアプリで開けませんでした。"_s;
const QString kOrroNotWritten = u"カレンダー用のファイルを保存できませんでした（%1）。"_s;
const QString kOrroSavedInDownloads
    = u"カレンダーアプリが見つからないため、ファイルを保存しました: %1 （カレンダーアプリで読み込んでください）"_s;

/// A file name from the title: no folder separators or control characters,
/// no leading dot, at most 60 characters.
QString calendarFileName(const QString &title)
{
    QString name;
    for (const QChar c : text::graphemePrefix(title, 60)) {
        if (c == u'/' || c == u'\\' || c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            name += u'_';
        else
            name += c;
    }
    while (name.startsWith(u'.'))
        name.remove(0, 1);
    name = name.trimmed();
    return name.isEmpty() ? u"Quarn Mail"_s : name;
}

constexpr qsizetype kOrroTitleLength = 240;
constexpr qsizetype kOrroNotesLength = 20000;

/// Internet date-time in UTC without fractions (2026-12-05T05:00:00Z); empty
/// for a time that has no such form (invalid, or a year outside 0000-9999).
QString orroTime(const QDateTime &time)
{
    if (!time.isValid())
        return {};
    const QDateTime utc = time.toUTC();
    if (utc.date().year() < 0 || utc.date().year() > 9999)
        return {};
    return utc.toString(u"yyyy-MM-dd'T'HH:mm:ss'Z'"_s);
}

/// One query item, every byte but the unreserved ones percent-encoded: a
/// "+" stays a plus sign and "&", "=" or "#" in a title cannot split it,
/// however the receiver decodes.
void appendItem(QByteArray &query, const char *name, const QString &value)
{
    if (!query.isEmpty())
        query += '&';
    query += name;
    query += '=';
    query += QUrl::toPercentEncoding(value);
}

} // namespace

QCoro::Task<void> AppModel::sendReply()
{
    // While another conversation is on its way in, the one still in memory
    // is no longer the user's choice: a reply must not go to it.
    if (m_isSending || !m_token || !m_detail || m_selectedConversationID != m_detail->id)
        co_return;
    // The reply goes to the conversation shown, with that conversation's own
    // draft: never text typed under another one.
    const QString id = m_detail->id;
    const QString draft = m_replyDrafts.value(id);
    const QString body = text::trimmed(draft);
    if (body.isEmpty())
        co_return;
    setIsSending(true);

    std::exception_ptr failure;
    try {
        (void)co_await m_api->reply(id, body, *m_token);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        // The user's text stays in the editor.
        present(failure, Failure::reply);
        setIsSending(false);
        co_return;
    }
    // What the user typed while the reply was on its way stays: only the
    // text that went out leaves the draft. A draft changed within the sent
    // part is kept whole, as nothing in it can be told apart as sent.
    const QString now = m_replyDrafts.value(id);
    if (now.startsWith(draft))
        setReplyDraft(id, now.mid(draft.size()));
    setSelectedStatus(ConversationStatus::waiting);
    // The reply's success clears its own earlier failure; a failure of the
    // reload that follows (a rejected token above all) is shown and stays.
    clearError(Failure::reply);
    co_await refresh(false);
    setIsSending(false);
}

void AppModel::useDraft()
{
    if (m_detail && m_detail->aiDraft)
        setReplyDraft(m_detail->id, *m_detail->aiDraft);
}

QCoro::Task<void> AppModel::setStatus(ConversationStatus status)
{
    if (!isUserSelectable(status) || !m_token || !m_detail)
        co_return;
    std::exception_ptr failure;
    try {
        (void)co_await m_api->setStatus(status, m_detail->id, *m_token);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        present(failure, Failure::status);
        co_return;
    }
    setSelectedStatus(status);
    clearError(Failure::status);
    co_await refresh(false);
}

QCoro::Task<bool> AppModel::createConversation(
    QStringList to, QString subject, QString body, std::optional<QDateTime> scheduledFor)
{
    if (m_isSending || !m_token)
        co_return false;
    if (scheduledFor && !isSendableTime(*scheduledFor)) {
        // Nothing is sent: the service would get a date the user never chose.
        showError(kUnusableSchedule, Failure::compose);
        co_return false;
    }
    setIsSending(true);
    const quint64 presentation = m_composePresentation;

    std::optional<ConversationMutationResponse> answer;
    std::exception_ptr failure;
    try {
        answer = co_await m_api->create(to, subject, body, scheduledFor, *m_token);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        // The compose window stays open with its content.
        present(failure, Failure::compose);
        setIsSending(false);
        co_return false;
    }
    // The new conversation is shown in its list in the work lens, wherever
    // the compose window was opened from.
    setLens(MailLens::work);
    setSelectedStatus(answer->status.value_or(ConversationStatus::waiting));
    setSearchText(QString());
    clearConversationSelection();
    if (presentation == m_composePresentation)
        setComposePresented(false);
    clearError(Failure::compose);
    co_await refresh(false);
    if (answer->conversationId && m_lens == MailLens::work && !m_selectedConversationID)
        co_await openConversation(*answer->conversationId);
    setIsSending(false);
    co_return true;
}

QCoro::Task<void> AppModel::openTimelineConversation(QString id)
{
    if (!m_token)
        co_return;
    const LoadingScope loading(*this);
    const QString token = *m_token;

    std::optional<ConversationDetail> loaded;
    std::exception_ptr failure;
    try {
        loaded = co_await m_api->conversation(id, token);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        present(failure, Failure::conversation);
        co_return;
    }
    const ConversationStatus status = loaded->status;
    setLens(MailLens::work);
    setSelectedStatus(status);
    // A detail still loading for an earlier choice is no longer wanted.
    ++m_conversationGeneration;
    setSelectedConversationID(id);
    setDetail(std::move(loaded));

    const quint64 request = nextStateRequest();
    std::optional<MailState> listed;
    try {
        listed = co_await m_api->state(status, token);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!isStateAnswerWanted(request, status, token))
        co_return;
    if (failure) {
        // The detail stays shown above the old list.
        present(failure, Failure::conversation);
        co_return;
    }
    applyState(request, std::move(*listed));
    setSearchText(QString());
    clearError(Failure::conversation);
    noteReloadSucceeded();
}

QCoro::Task<void> AppModel::openDeepLink(QUrl url)
{
    const QString text = url.toString(QUrl::FullyEncoded);
    auto handling = openDeepLink(text);
    co_await std::move(handling);
}

QCoro::Task<void> AppModel::openDeepLink(QString url)
{
    const QUrl parsed(url);
    if (QuarnAccountAuthorization::isAuthorizationCallback(parsed)) {
        // The browser may still finish a sign-in the user gave up: it is
        // neither an error nor an end of the sign-in that runs now.
        const QString state = QUrlQuery(parsed).queryItemValue(u"state"_s, QUrl::FullyDecoded);
        if (!state.isEmpty() && m_cancelledSignIns.contains(state))
            co_return;
        if (!m_pendingSignIn) {
            // A callback after a restart, or one the user opened twice.
            setIsSigningIn(false);
            showError(kNoSignInPending, Failure::signIn);
            co_return;
        }
        const PendingSignIn pending = *m_pendingSignIn;
        std::optional<QString> token;
        try {
            token = co_await m_accountAuthorization->completeSignIn(parsed, pending);
        } catch (...) {
            // The failure's own case is never shown; one message covers all.
        }
        m_pendingSignIn.reset();
        setIsSigningIn(false);
        if (!token) {
            showError(kSignInFailed, Failure::signIn);
            co_return;
        }
        co_await saveToken(*token);
        co_return;
    }

    const std::optional<QString> id = MailDeepLink::conversationID(url);
    if (!id)
        co_return;
    co_await bootstrap();
    // A link that starts the application arrives while the window's start-up
    // still reads the token: it waits for the token and the first lists, or
    // it would be dropped, or closed again by that first reload.
    if (!m_didLoadStartUp) {
        auto loaded = qCoro(this, &AppModel::startUpLoaded);
        co_await std::move(loaded);
    }
    // A link that arrives before any token exists is dropped.
    if (m_isConfigured)
        co_await openTimelineConversation(*id);
}

namespace {

// Built here rather than braced inside a co_return (see README on GCC 12).
AppModel::OrroHandoff orroResult(AppModel::OrroHandoff::Outcome outcome, const QString &message)
{
    AppModel::OrroHandoff result;
    result.outcome = outcome;
    result.message = message;
    return result;
}

} // namespace

QCoro::Task<AppModel::OrroHandoff> AppModel::sendToOrro(OrroActionKind kind, QString title, QString notes,
    std::optional<QDateTime> dueAt, std::optional<QDateTime> startsAt, std::optional<QDateTime> endsAt,
    QString conversationID)
{
    using Outcome = OrroHandoff::Outcome;
    const QString trimmedTitle = text::trimmed(title);
    if (trimmedTitle.isEmpty())
        co_return orroResult(Outcome::failed, {});
    const QString cutTitle = text::graphemePrefix(trimmedTitle, kOrroTitleLength);
    const QString cutNotes = text::graphemePrefix(notes, kOrroNotesLength);
    const QString sourceURL = u"quarn-mail://conversation/"_s + conversationID;

    QByteArray query;
    appendItem(query, "title", cutTitle);
    appendItem(query, "notes", cutNotes);
    appendItem(query, "sourceId", conversationID);
    appendItem(query, "sourceUrl", sourceURL);
    appendItem(query, "sourceLabel", u"Quarn Mail"_s);
    const std::pair<const char *, const std::optional<QDateTime> *> times[]
        = { { "dueAt", &dueAt }, { "startsAt", &startsAt }, { "endsAt", &endsAt } };
    for (const auto &[name, time] : times) {
        if (!*time)
            continue;
        const QString formatted = orroTime(**time);
        // A time without the agreed form would hand Orro a wrong or empty date.
        if (formatted.isEmpty())
            co_return orroResult(Outcome::failed, kOrroUnusableTime);
        appendItem(query, name, formatted);
    }

    QUrl url;
    url.setScheme(u"quarn-orro"_s);
    url.setHost(u"action"_s);
    url.setPath(kind == OrroActionKind::task ? u"/task"_s : u"/event"_s);
    url.setQuery(QString::fromLatin1(query), QUrl::StrictMode);
    if (!url.isValid())
        co_return orroResult(Outcome::failed, kOrroNotOpened);

    // Where a program takes quarn-orro links, the link as agreed with Orro.
    auto askingForOrro = m_environment.hasDesktopHandler(u"x-scheme-handler/quarn-orro"_s);
    const bool orroHandled = co_await std::move(askingForOrro);
    if (orroHandled) {
        auto opening = m_environment.openWithDesktop(url.toString(QUrl::FullyEncoded));
        const bool opened = co_await std::move(opening);
        if (!opened)
            co_return orroResult(Outcome::failed, kOrroNotOpened);
        co_return orroResult(Outcome::handedOver, {});
    }

    // Elsewhere the desktop's own calendar or task app, through an
    // iCalendar file that links back to the conversation.
    CalendarEntry entry;
    entry.kind = kind;
    entry.title = cutTitle;
    entry.notes = cutNotes;
    entry.dueAt = dueAt;
    entry.startsAt = startsAt;
    entry.endsAt = endsAt;
    entry.sourceURL = sourceURL;
    entry.uid = QUuid::createUuid().toString(QUuid::WithoutBraces) + u"@quarn-mail"_s;
    entry.stamp = QDateTime::fromMSecsSinceEpoch(now(), Qt::UTC);
    const QByteArray calendar = calendarfile::build(entry);
    if (calendar.isEmpty())
        co_return orroResult(Outcome::failed, kOrroUnusableTime);

    auto askingForCalendar = m_environment.hasDesktopHandler(u"text/calendar"_s);
    const bool calendarHandled = co_await std::move(askingForCalendar);
    const QString folder = calendarHandled ? m_environment.calendarFolder : m_environment.downloadsFolder;
    auto write = [folder, calendar, isPrivate = calendarHandled, name = calendarFileName(cutTitle)] {
        if (isPrivate)
            (void)platform::createDirectories(folder, 0700);
        if (isPrivate) {
            // Only the user's calendar app may read what the user wrote.
            const int error = platform::setOwnDirectoryMode(folder, 0700);
            if (error != 0)
                throw PlatformError::fromErrno(error);
        }
        return calendarfile::writeNew(folder, name, calendar);
    };
    auto writing = runOn(QThreadPool::globalInstance(), std::move(write));
    QString path;
    QString writeFailure;
    try {
        path = co_await std::move(writing);
    } catch (const Error &e) {
        writeFailure = e.description();
    }
    if (path.isEmpty())
        co_return orroResult(Outcome::failed, kOrroNotWritten.arg(writeFailure));
    if (!calendarHandled)
        co_return orroResult(Outcome::saved, kOrroSavedInDownloads.arg(path));
    auto opening = m_environment.openWithDesktop(path);
    const bool opened = co_await std::move(opening);
    if (!opened)
        co_return orroResult(Outcome::failed, kCalendarNotOpened);
    co_return orroResult(Outcome::handedOver, {});
}

QCoro::Task<bool> AppModel::openLink(QString link)
{
    if (!BodyLinkPolicy::isOpenable(link))
        co_return false;
    auto opening = m_environment.openWithDesktop(QUrl(link, QUrl::StrictMode).toString(QUrl::FullyEncoded));
    const bool opened = co_await std::move(opening);
    if (!opened)
        showError(u"リンクを開けませんでした: "_s + link, Failure::notice);
    co_return opened;
}

void AppModel::signInWithQuarn()
{
    if (m_isSigningIn)
        return;
    std::optional<PendingSignIn> pending;
    try {
        pending = m_accountAuthorization->beginSignIn();
    } catch (...) {
        // No sign-in starts without secure randomness; the user is told why.
        present(std::current_exception(), Failure::signIn);
        return;
    }
    m_pendingSignIn = pending;
    setIsSigningIn(true);
    clearError(Failure::signIn);
    auto opening = openSignInPage(pending->authorizationURL, pending->state);
    (void)opening;
}

void AppModel::cancelSignIn()
{
    if (!m_pendingSignIn)
        return;
    m_cancelledSignIns.insert(m_pendingSignIn->state);
    m_pendingSignIn.reset();
    setIsSigningIn(false);
}

QCoro::Task<void> AppModel::openSignInPage(QUrl page, QString state)
{
    // The opener's exit status is the answer: a browser that never came up
    // must not leave the setup screen waiting for a callback.
    auto opening = m_environment.openWithDesktop(page.toString(QUrl::FullyEncoded));
    const bool opened = co_await std::move(opening);
    if (opened || !m_pendingSignIn || m_pendingSignIn->state != state)
        co_return;
    setIsSigningIn(false);
    m_pendingSignIn.reset();
    showError(kBrowserDidNotOpen, Failure::signIn);
}

QCoro::Task<void> AppModel::saveToken(QString token)
{
    const QString trimmedToken = text::trimmed(token);
    std::exception_ptr failure;
    try {
        auto saving = m_credentialStore->saveAsync(trimmedToken);
        co_await std::move(saving);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        // The token in memory and isConfigured stay as they were.
        present(failure, Failure::token);
        co_return;
    }
    m_token = trimmedToken;
    m_stateMemo = std::make_shared<MailStateMemo>();
    forgetPrefetched();
    setIsConfigured(true);
    clearError(Failure::token);
    // The new token is a new start: the sign-in and the rejected token's
    // reload are behind the user.
    clearError(Failure::signIn);
    clearError(Failure::reload);

    co_await probeCodex();
    co_await refresh(true);
    co_await autoTriagePendingWork();
}

QCoro::Task<void> AppModel::claimAddress(QString localPart, QString displayName)
{
    if (!m_token || m_isClaimingAddress)
        co_return;
    setIsClaimingAddress(true);
    std::exception_ptr failure;
    try {
        (void)co_await m_api->claimMailbox(localPart, displayName, *m_token);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        present(failure, Failure::address);
    } else {
        clearError(Failure::address);
        co_await refresh(true);
    }
    setIsClaimingAddress(false);
}

} // namespace quarn
