#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace quarn {

class AppModel;

/// The AppModel's operations as the screens call them from QML, under the
/// model's own names (`appModel.operations.sendReply()`). Each starts the
/// model's operation on the main thread and returns at once; the model's
/// properties (busy flags, lists, errorMessage) show how it goes. The C++
/// operations are coroutines, which QML cannot call, and a QML method cannot
/// share a name with them on the model itself, hence this companion object.
///
/// Enumerations are passed as their raw values ("waiting", "task"); a time
/// is a JavaScript Date or a number of milliseconds since 1970-01-01 UTC,
/// and null or undefined means none. A value outside an enumeration makes
/// the call do nothing.
///
/// Owned by its model; lives exactly as long.
class AppModelOperations : public QObject
{
    Q_OBJECT

public:
    explicit AppModelOperations(AppModel &model);

    // Start-up and lists.
    Q_INVOKABLE void bootstrap();
    Q_INVOKABLE void refresh(bool keepingSelection);
    Q_INVOKABLE void selectStatus(const QString &status);
    Q_INVOKABLE void selectPeople();
    Q_INVOKABLE void selectAI();
    Q_INVOKABLE void openConversation(const QString &id);

    // Conversations.
    Q_INVOKABLE void sendReply();
    Q_INVOKABLE void useDraft();
    Q_INVOKABLE void setStatus(const QString &status);
    /// Emits createConversationFinished with the model's answer.
    Q_INVOKABLE void createConversation(
        const QStringList &to, const QString &subject, const QString &body, const QVariant &scheduledFor);
    Q_INVOKABLE void openTimelineConversation(const QString &id);
    Q_INVOKABLE void runAI();
    /// Starts the hand-off to the task/calendar app; answers the request's
    /// number (0: an unknown kind, nothing started). sendToOrroFinished
    /// reports the end, always after this call has returned.
    Q_INVOKABLE int sendToOrro(const QString &kind, const QString &title, const QString &notes, const QVariant &dueAt,
        const QVariant &startsAt, const QVariant &endsAt, const QString &conversationID);

    // Account.
    Q_INVOKABLE void openLink(const QString &link);
    Q_INVOKABLE void signInWithQuarn();
    Q_INVOKABLE void cancelSignIn();
    Q_INVOKABLE void claimAddress(const QString &localPart, const QString &displayName);

    // People.
    Q_INVOKABLE void openPerson(const QString &email);
    Q_INVOKABLE void loadOlderPersonMessages();

    // AI conversations.
    Q_INVOKABLE void newAIConversation();
    Q_INVOKABLE void sendAIChat();
    Q_INVOKABLE void renameAIConversation(const QString &id, const QString &title);
    Q_INVOKABLE void deleteAIConversation(const QString &id);
    /// Probes the Codex CLI again.
    Q_INVOKABLE void checkCodex();

Q_SIGNALS:
    /// A createConversation started here ended; `sent` is its answer.
    void createConversationFinished(bool sent);
    /// A sendToOrro request ended: handed over (the sheet closes), or not,
    /// with `message` to show (why it failed, or where the file was saved).
    void sendToOrroFinished(int request, bool handedOver, const QString &message);

private:
    AppModel &m_model;
    int m_lastOrroRequest = 0;
};

} // namespace quarn
