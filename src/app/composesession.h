#pragma once

#include "app/draftstore.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>

namespace quarn {

class AppModel;

/// The rules of the compose window, for one presentation of it: what the user
/// typed, the values derived from it (recipients, e-mail or chat, the body
/// that goes out, whether it may be sent, the footer's wording), the default
/// send time, and the subject that follows the body.
///
/// The subject follows the body while `subjectIsAutomatic` is on: every change
/// of the body cancels the pending proposal and, once the trimmed body has at
/// least 8 characters, proposes again after `quietInterval` without a further
/// change. A proposal shows the body's fallback subject at once when the
/// field is empty, then asks the model's Codex runner; its answer (or, when
/// the runner fails, the fallback) replaces the subject only if the body is
/// still the one it was made for, following is still on and the proposal was
/// not cancelled. Editing the subject by hand stops following;
/// regenerateSubject() turns it back on and proposes at once.
///
/// The screen binds its fields to the writable properties and calls
/// editSubject() for the user's own subject edits (not for the text this
/// object puts there). Lives on the main thread; `appModel` and
/// `mailSignature` are set by the screen. A proposal that answers after the
/// object is gone is dropped.
///
/// What the user types is the model's compose draft as it is typed: a sheet
/// closed unsent (or lost to a sign-out) keeps it there, and the next session
/// on the model starts with it. A successful send removes it.
class ComposeSession : public QObject
{
    Q_OBJECT

    /// The shared model: its clock, its Codex runner, its send operation.
    Q_PROPERTY(quarn::AppModel *appModel READ appModel WRITE setAppModel NOTIFY appModelChanged)
    /// The signature as stored (untrimmed), kept current by the screen.
    Q_PROPERTY(QString mailSignature READ mailSignature WRITE setMailSignature NOTIFY mailSignatureChanged)
    /// The service's own mail domain ("quarn.example"); addresses in it are chat.
    Q_PROPERTY(QString mailDomain READ mailDomain WRITE setMailDomain NOTIFY mailDomainChanged)
    /// How long the body must rest before a subject is proposed, in ms.
    Q_PROPERTY(int quietInterval READ quietInterval WRITE setQuietInterval NOTIFY quietIntervalChanged)

    /// Recipients as typed.
    Q_PROPERTY(QString recipientInput READ recipientInput WRITE setRecipientInput NOTIFY recipientInputChanged)
    /// The subject field (the user's edits go through editSubject).
    Q_PROPERTY(QString subject READ subject NOTIFY subjectChanged)
    /// The body editor.
    Q_PROPERTY(QString bodyText READ bodyText WRITE setBodyText NOTIFY bodyTextChanged)
    /// Send at `scheduledDate` instead of now.
    Q_PROPERTY(bool scheduleEnabled READ scheduleEnabled WRITE setScheduleEnabled NOTIFY scheduleEnabledChanged)
    /// The chosen send time, ms since 1970-01-01 UTC.
    Q_PROPERTY(qint64 scheduledDate READ scheduledDate WRITE setScheduledDate NOTIFY scheduledDateChanged)
    /// Append the signature to e-mail.
    Q_PROPERTY(bool includeSignature READ includeSignature WRITE setIncludeSignature NOTIFY includeSignatureChanged)
    /// The subject follows the body.
    Q_PROPERTY(bool subjectIsAutomatic READ subjectIsAutomatic NOTIFY subjectIsAutomaticChanged)
    /// A subject proposal is waiting for the Codex runner.
    Q_PROPERTY(bool isGeneratingSubject READ isGeneratingSubject NOTIFY isGeneratingSubjectChanged)

    /// The distinct valid recipient addresses, lower-cased.
    Q_PROPERTY(QStringList recipients READ recipients NOTIFY recipientInputChanged)
    /// The recipient fragments that are not addresses, as typed.
    Q_PROPERTY(QStringList invalidRecipients READ invalidRecipients NOTIFY recipientInputChanged)
    /// Some recipient is outside the service's domain: the message goes as e-mail.
    Q_PROPERTY(bool usesEmail READ usesEmail NOTIFY recipientInputChanged)
    /// The trimmed signature.
    Q_PROPERTY(QString signature READ signature NOTIFY mailSignatureChanged)
    /// The body as it will be sent.
    Q_PROPERTY(QString outgoingBody READ outgoingBody NOTIFY derivedChanged)
    /// Recipients are all valid, there is one at least, and the body is not blank.
    Q_PROPERTY(bool canSend READ canSend NOTIFY derivedChanged)
    /// canSend, and no send of the model is running: the send button's rule.
    Q_PROPERTY(bool sendEnabled READ sendEnabled NOTIFY derivedChanged)
    /// "宛先を入力", or who receives it and how.
    Q_PROPERTY(QString deliveryDescription READ deliveryDescription NOTIFY recipientInputChanged)
    /// The footer's caption: "指定時刻に送信" while scheduled, else deliveryDescription.
    Q_PROPERTY(QString footerCaption READ footerCaption NOTIFY derivedChanged)
    /// The body is not blank, so the subject can be made afresh.
    Q_PROPERTY(bool canRegenerateSubject READ canRegenerateSubject NOTIFY bodyTextChanged)
    /// Why the last send was refused: the scheduled time was no longer the
    /// earliest time or later (kScheduleRule); empty otherwise. A new time,
    /// or switching the schedule, clears it.
    Q_PROPERTY(QString scheduleProblem READ scheduleProblem NOTIFY scheduleProblemChanged)

public:
    /// How long the body rests before a subject is proposed.
    static constexpr std::chrono::milliseconds kQuietInterval = std::chrono::milliseconds(900);
    /// Trimmed bodies shorter than this many characters get no proposal.
    static constexpr qsizetype kMinimumBodyForSubject = 8;
    /// The schedule picker's rule, as the sheet states it when a send breaks it.
    static inline const QString kScheduleRule = QStringLiteral("送信日時は今から1分以上先にしてください。");

    explicit ComposeSession(QObject *parent = nullptr);
    ~ComposeSession() override;

    // --- the rules, as pure functions ------------------------------------------
    /// The next five-minute mark (multiples of 300 s since the epoch) that is
    /// at least 60 s after `now` (ms).
    [[nodiscard]] static qint64 defaultSendTime(qint64 now);
    /// Whether some recipient does not end with "@" + `mailDomain` (exactly,
    /// case-sensitive); false without recipients.
    [[nodiscard]] static bool usesEmail(const QStringList &recipients, const QString &mailDomain);
    /// The trimmed body, followed by "\n\n—\n" and the trimmed signature when
    /// the message is e-mail, the signature is wanted and it is not blank.
    [[nodiscard]] static QString outgoingBody(
        const QString &body, const QString &signature, bool usesEmail, bool includeSignature);
    /// "宛先を入力" without recipients; else "<n>人に <domain> からEmail送信"
    /// or "<n>人にQuarn chatとして送信".
    [[nodiscard]] static QString deliveryDescription(
        const QStringList &recipients, bool usesEmail, const QString &mailDomain);

    // --- properties -------------------------------------------------------------
    [[nodiscard]] AppModel *appModel() const { return m_model; }
    void setAppModel(AppModel *model);
    [[nodiscard]] const QString &mailSignature() const { return m_mailSignature; }
    void setMailSignature(const QString &signature);
    [[nodiscard]] const QString &mailDomain() const { return m_mailDomain; }
    void setMailDomain(const QString &domain);
    [[nodiscard]] int quietInterval() const { return m_quietTimer.interval(); }
    void setQuietInterval(int ms);

    [[nodiscard]] const QString &recipientInput() const { return m_recipientInput; }
    void setRecipientInput(const QString &text);
    [[nodiscard]] const QString &subject() const { return m_subject; }
    [[nodiscard]] const QString &bodyText() const { return m_bodyText; }
    void setBodyText(const QString &text);
    [[nodiscard]] bool scheduleEnabled() const { return m_scheduleEnabled; }
    /// Switching on resets the send time to the default one.
    void setScheduleEnabled(bool enabled);
    [[nodiscard]] qint64 scheduledDate() const { return m_scheduledDate; }
    void setScheduledDate(qint64 ms);
    [[nodiscard]] bool includeSignature() const { return m_includeSignature; }
    void setIncludeSignature(bool include);
    [[nodiscard]] bool subjectIsAutomatic() const { return m_subjectIsAutomatic; }
    [[nodiscard]] bool isGeneratingSubject() const { return m_runningProposals > 0; }

    [[nodiscard]] const QStringList &recipients() const { return m_recipients; }
    [[nodiscard]] const QStringList &invalidRecipients() const { return m_invalidRecipients; }
    [[nodiscard]] bool usesEmail() const;
    [[nodiscard]] QString signature() const;
    [[nodiscard]] QString outgoingBody() const;
    [[nodiscard]] bool canSend() const;
    [[nodiscard]] bool sendEnabled() const;
    [[nodiscard]] QString deliveryDescription() const;
    [[nodiscard]] QString footerCaption() const;
    [[nodiscard]] bool canRegenerateSubject() const;

    // --- actions ------------------------------------------------------------------
    /// The user typed in the subject field: their text stays, following stops.
    Q_INVOKABLE void editSubject(const QString &text);
    /// The regenerate button: follow the body again and propose at once.
    Q_INVOKABLE void regenerateSubject();
    /// The earliest time the schedule picker offers: 60 s after now. A
    /// sheet may stay open past it, so a send checks it again.
    Q_INVOKABLE [[nodiscard]] qint64 earliestScheduleTime() const;
    /// The send button: sends through the model with the resolved subject,
    /// the outgoing body and the time when scheduled. The model closes the
    /// window on success; on failure everything stays as typed. Nothing
    /// while sending is not enabled; a scheduled time earlier than
    /// earliestScheduleTime() is refused with scheduleProblem.
    Q_INVOKABLE void send();

    /// What the sheet holds, as the model keeps it when the sheet closes.
    [[nodiscard]] ComposeDraft draft() const;

Q_SIGNALS:
    void appModelChanged();
    void mailSignatureChanged();
    void mailDomainChanged();
    void quietIntervalChanged();
    void recipientInputChanged();
    void subjectChanged();
    void bodyTextChanged();
    void scheduleEnabledChanged();
    void scheduledDateChanged();
    void includeSignatureChanged();
    void subjectIsAutomaticChanged();
    void isGeneratingSubjectChanged();
    void scheduleProblemChanged();
    /// Something a derived value rests on changed.
    void derivedChanged();
    /// A send started here ended; `sent` is the model's answer.
    void sendFinished(bool sent);

private:
    /// The body rested for the quiet interval.
    void proposeAfterTyping();
    /// The proposal for `body`. `typingGeneration` is the typing task it
    /// belongs to, or 0 when the regenerate button started it.
    void generateSubject(const QString &body, quint64 typingGeneration);
    QCoro::Task<void> askForSubject(
        QPointer<ComposeSession> self, AppModel *model, QString body, QString trimmedBody, quint64 typingGeneration);
    QCoro::Task<void> sendTask(QPointer<ComposeSession> self, AppModel *model);
    void setSubject(const QString &subject);
    void setSubjectIsAutomatic(bool automatic);
    void setRunningProposals(int count);
    /// Takes up the compose draft the model kept from an earlier sheet.
    void restore(const ComposeDraft &draft);
    /// Hands what the sheet holds to the model as the compose draft, so that
    /// closing the sheet (or losing it, as a sign-out does) loses nothing.
    /// Not while a send of it is on its way: that text is being sent.
    void keepDraft();
    [[nodiscard]] qint64 now() const;
    [[nodiscard]] const QString &scheduleProblem() const { return m_scheduleProblem; }
    void setScheduleProblem(const QString &problem);

    QPointer<AppModel> m_model;
    QString m_mailSignature;
    QString m_mailDomain;

    QString m_recipientInput;
    QStringList m_recipients;
    QStringList m_invalidRecipients;
    QString m_subject;
    QString m_bodyText;
    bool m_scheduleEnabled = false;
    qint64 m_scheduledDate = 0;
    QString m_scheduleProblem;
    bool m_includeSignature = true;
    bool m_subjectIsAutomatic = true;
    int m_runningProposals = 0;
    /// A send of this sheet is on its way, or has succeeded.
    bool m_sending = false;
    bool m_sent = false;
    /// The model's draft is being taken up: nothing to hand back yet.
    bool m_restoring = false;

    /// The typing task: bumped by every body change, which cancels the
    /// proposal of the task before.
    quint64 m_typingGeneration = 1;
    QTimer m_quietTimer;
};

} // namespace quarn
