#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <optional>

namespace quarn::platform {
class DesktopAppearance;
}

/// The decisions the work screens show: how a status, a transport and a time
/// are presented, whose a message is, which statuses the user may choose,
/// when a reply or an Orro item may go out, and how an Orro sheet is prefilled.
/// QML only wires these (import Quarn.Rules, the singleton `ScreenRules`);
/// the static functions are what the unit tests reach.
namespace quarn::ui {

/// How one conversation status is labelled.
struct StatusPresentation
{
    QString label;
    QString symbol;
};

/// The next-step line of the AI block: text, symbol and palette colour name
/// ("green", "warm" or "accent").
struct NextStep
{
    QString text;
    QString symbol;
    QString tone;
};

/// What an Orro sheet opens with.
struct OrroDraft
{
    QString conversationID;
    QString title;
    QString notes;
    bool dateEnabled = false;
    QDateTime date;
};

/// The three times an Orro item is handed over with.
struct OrroTimes
{
    std::optional<QDateTime> dueAt;
    std::optional<QDateTime> startsAt;
    std::optional<QDateTime> endsAt;
};

class ScreenRules : public QObject
{
    Q_OBJECT

    /// The current time in milliseconds since 1970, moved on every 30 s so
    /// that relative times written by bindings age while they are shown.
    Q_PROPERTY(double now READ now NOTIFY nowChanged)
    /// The desktop asks for reduced motion (animations off): the Settings
    /// portal's word while it gives one, else the desktop's settings files.
    Q_PROPERTY(bool reduceMotion READ reduceMotion NOTIFY reduceMotionChanged)

public:
    /// Follows the process's desktop appearance.
    explicit ScreenRules(QObject *parent = nullptr);
    /// Follows `appearance`, with the settings files below `configHome` as fallback.
    ScreenRules(platform::DesktopAppearance &appearance, const QString &configHome, QObject *parent = nullptr);

    [[nodiscard]] double now() const { return double(m_now); }
    [[nodiscard]] bool reduceMotion() const;

    // --- for QML ---------------------------------------------------------------
    /// {label, symbol} of a raw status ("needs_you"); empty texts for an unknown one.
    Q_INVOKABLE QVariantMap status(const QString &status) const;
    /// The statuses the user may move a conversation to, in order, as {status, label, symbol}.
    Q_INVOKABLE QVariantList userSelectableStatuses() const;
    /// The symbol of a raw transport ("chat" → "bubble.left").
    Q_INVOKABLE QString transportSymbol(const QString &transport) const;
    /// `at` (ms since 1970) relative to `now` (ms), worded by ICU in the user's locale.
    Q_INVOKABLE QString relativeTime(double at, double now) const;
    /// Whether a message is the viewer's own (two absent ids count as equal).
    Q_INVOKABLE bool isOwnMessage(const QVariant &senderUserId, const QVariant &viewerID) const;
    /// Whether the AI block is shown for a conversation.
    Q_INVOKABLE bool showsAIThought(const QString &status, const QVariant &aiSummary) const;
    /// {text, symbol, tone} of the AI block's next-step line.
    Q_INVOKABLE QVariantMap nextStep(const QString &status) const;
    /// The AI block's request line ("" when there is none).
    Q_INVOKABLE QString aiRequestLine(
        const QString &status, const QVariant &aiRequest, const QVariant &aiDeadline) const;
    /// {text, symbol} of the reply box's channel label.
    Q_INVOKABLE QVariantMap replyChannel(const QString &transport, const QString &mailDomain) const;
    /// Whether "送信" is enabled.
    Q_INVOKABLE bool canSendReply(const QString &replyText, bool isSending) const;
    /// Whether "追加" is enabled.
    Q_INVOKABLE bool canAddToOrro(const QString &title) const;
    /// The Orro sheet's starting values from a conversation detail (the
    /// model's `detail` map), as {conversationID, title, notes, dateEnabled, date}.
    Q_INVOKABLE QVariantMap orroDraftFromConversation(const QString &kind, const QVariantMap &detail) const;
    /// The same from an AI conversation: its id, title and last message ("" when none).
    Q_INVOKABLE QVariantMap orroDraftFromAIConversation(
        const QString &kind, const QString &id, const QString &title, const QString &lastMessage) const;
    /// {dueAt, startsAt, endsAt} (Date or null) for the add action.
    Q_INVOKABLE QVariantMap orroTimes(const QString &kind, const QDateTime &date, bool dateEnabled) const;

    // --- the rules themselves ---------------------------------------------------
    [[nodiscard]] static std::optional<StatusPresentation> statusPresentation(const QString &status);
    [[nodiscard]] static QString symbolOfTransport(const QString &transport);
    [[nodiscard]] static QString relative(qint64 at, qint64 now, const QString &localeName);
    [[nodiscard]] static bool ownMessage(const std::optional<QString> &sender, const std::optional<QString> &viewer);
    [[nodiscard]] static bool aiThoughtShown(const QString &status, bool hasSummary);
    [[nodiscard]] static NextStep nextStepOf(const QString &status);
    [[nodiscard]] static QString requestLine(
        const QString &status, const std::optional<QString> &request, const std::optional<QString> &deadline);
    [[nodiscard]] static bool replySendable(const QString &replyText, bool isSending);
    /// A deadline text as a time: an ISO 8601 date-time with its offset, or
    /// else "yyyy-MM-dd" as local midnight; nothing otherwise.
    [[nodiscard]] static std::optional<QDateTime> parseDeadline(const std::optional<QString> &text);
    [[nodiscard]] static OrroDraft draftFromConversation(bool isEvent, const QString &id, const QString &subject,
        const std::optional<QString> &aiSummary, const std::optional<QString> &aiRequest,
        const std::optional<QString> &aiDeadline, const QDateTime &now);
    [[nodiscard]] static OrroDraft draftFromAIConversation(
        bool isEvent, const QString &id, const QString &title, const QString &lastMessage, const QDateTime &now);
    [[nodiscard]] static OrroTimes timesFor(bool isEvent, const QDateTime &date, bool dateEnabled);
    /// Whether the desktop settings below `configHome` turn animations off
    /// (GTK's gtk-enable-animations, KDE's AnimationDurationFactor).
    [[nodiscard]] static bool desktopReducesMotion(const QString &configHome);

Q_SIGNALS:
    void nowChanged();
    void reduceMotionChanged();

private:
    platform::DesktopAppearance &m_appearance;
    qint64 m_now;
    bool m_filesReduceMotion;
    QTimer m_clock;
};

/// Makes `ScreenRules` known to QML as a singleton of "Quarn.Rules" (once per process).
void registerScreenRules();

} // namespace quarn::ui
