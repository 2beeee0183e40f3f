#pragma once

#include "model/records.h"

#include <QCoroTask>
#include <QDBusConnection>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

namespace quarn {

class AppModel;

/// Announces new work through the desktop's notification service
/// (org.freedesktop.Notifications on the session bus).
///
/// After each refresh the notifier looks at the needs-you list as the service
/// has it (AppModel::peekState, whatever list the window shows) and compares
/// it with the previous look. Conversations that were not in it before and
/// that the user has not opened meanwhile are announced: one of them with its
/// participant, subject and AI summary, several at once in one notification
/// with their count. The first look after start (or after a sign-in) only
/// sets the baseline. Nothing is announced while the window is active on the
/// needs-you list, where the user sees the rows arrive, nor while the
/// preference is off.
///
/// The action "開く" of a single conversation asks for its
/// quarn-mail://conversation/<id> link (openURLRequested, which the shell
/// hands to the application's URL handling) and for the window
/// (activationRequested); that of a collapsed notification shows the
/// needs-you list and asks for the window.
///
/// Every bus call is asynchronous and its failure is dropped: without a
/// notification service, or without a session bus at all, the client goes on
/// silently. Confined to the main thread; the model must outlive it.
class DesktopNotifier : public QObject
{
    Q_OBJECT

    /// Whether new work is announced. Stored in the user's preferences (the
    /// same QSettings as "mailSignature") under kEnabledKey; on by default.
    /// Read afresh before every announcement, so a settings window writing
    /// the key directly takes effect at once.
    Q_PROPERTY(bool enabled READ isEnabled WRITE setEnabled NOTIFY enabledChanged)
    /// The main window is the active window. The shell keeps it in step.
    Q_PROPERTY(bool windowActive READ windowActive WRITE setWindowActive NOTIFY windowActiveChanged)

public:
    /// Preference key of `enabled`.
    static constexpr auto kEnabledKey = "notificationsEnabled";
    /// Most conversations named in the body of a collapsed notification.
    static constexpr qsizetype kListedInSummary = 3;

    explicit DesktopNotifier(
        AppModel &model, const QDBusConnection &bus = QDBusConnection::sessionBus(), QObject *parent = nullptr);
    ~DesktopNotifier() override;

    [[nodiscard]] bool isEnabled() const;
    void setEnabled(bool enabled);
    [[nodiscard]] bool windowActive() const { return m_windowActive; }
    void setWindowActive(bool active);

    /// A look at the needs-you list is under way (its answer still to come).
    [[nodiscard]] bool isLooking() const { return m_looking; }

    /// A refresh of the lists has finished: look at the needs-you list again.
    /// Looks never overlap; one asked for while another runs follows it.
    void refreshFinished();

Q_SIGNALS:
    void enabledChanged();
    void windowActiveChanged();
    /// "開く" on a single conversation: its conversation link, as written.
    void openURLRequested(const QString &url);
    /// "開く" on any notification: the main window should come forward.
    void activationRequested();
    /// The number of needs-you conversations, whenever it is learned (from
    /// the model's snapshots and from the notifier's own looks); 0 when
    /// signed out.
    void needsYouCountChanged(qint64 count);
    /// A look has been compared with the previous one; `announced` holds the
    /// ids of the conversations announced by it (empty when none, also when
    /// it only set the baseline or the announcement was held back).
    void looked(const QStringList &announced);

private:
    /// What a notification's action opens: a conversation, or the list when
    /// `conversationID` is empty.
    struct Target
    {
        QString conversationID;
    };

    QCoro::Task<void> look();
    void compare(const QList<ConversationListItem> &list);
    [[nodiscard]] bool userSeesNeedsYouList() const;
    void announce(const QList<ConversationListItem> &fresh);
    void send(const QList<ConversationListItem> &fresh, bool markup);
    void forget();
    void publishCountFromModel();

    // Bus signals of the notification service (string-based slots: QtDBus
    // connects signals by signature).
    Q_SLOT void onActionInvoked(uint id, const QString &action);
    Q_SLOT void onNotificationClosed(uint id, uint reason);

    AppModel &m_model;
    QDBusConnection m_bus;
    bool m_windowActive = false;
    /// Ids of the previous look at the needs-you list; none until the first.
    std::optional<QSet<QString>> m_baseline;
    /// Conversations the user opened since the previous look.
    QSet<QString> m_openedSinceLook;
    bool m_looking = false;
    bool m_lookAgain = false;
    /// Bumped on sign-out: a look started before it is not applied.
    quint64 m_generation = 0;
    quint64 m_reusedStateRequest = 0; ///< the model's list answer last looked at in place
    /// Notifications this client sent that may still be on screen.
    QHash<uint, Target> m_targets;
    QList<uint> m_targetOrder;
};

} // namespace quarn
