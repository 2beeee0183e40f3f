#pragma once

#include "model/enums.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <chrono>

namespace quarn {

class AppModel;

/// What the application's menus, the main window and the URL handler start
/// on the model. Each command starts one model operation as a task on the main
/// thread and returns at once; several may be outstanding, and the model's own
/// busy flags decide what happens. No command fails: every failure ends in the
/// model's `errorMessage`.
///
/// Also holds the two things the main window itself runs: the start (the
/// model's bootstrap when the window is first shown) and the background
/// refresh loop while the workspace is on screen.
///
/// The model must outlive the commands and every task they start (the
/// application's model lives until the process ends).
class AppCommands : public QObject
{
    Q_OBJECT

    /// Whether "AIで整理" is enabled: a conversation detail is shown, no AI run
    /// is in progress and the Codex CLI is ready.
    Q_PROPERTY(bool canRunAI READ canRunAI NOTIFY canRunAIChanged)
    /// Whether the background refresh loop runs. The workspace sets it while
    /// it is on screen.
    Q_PROPERTY(bool refreshLoopActive READ refreshLoopActive WRITE setRefreshLoopActive NOTIFY refreshLoopActiveChanged)

public:
    /// Pause of the background refresh loop before each reload.
    static constexpr std::chrono::milliseconds kRefreshInterval = std::chrono::seconds(30);

    explicit AppCommands(
        AppModel &model, std::chrono::milliseconds refreshInterval = kRefreshInterval, QObject *parent = nullptr);
    ~AppCommands() override;

    [[nodiscard]] bool canRunAI() const;
    [[nodiscard]] bool refreshLoopActive() const { return m_refreshLoopActive; }
    void setRefreshLoopActive(bool active);

    // --- menu commands ------------------------------------------------------
    /// "新規メッセージ": presents the compose window.
    Q_INVOKABLE void newMessage();
    /// "AIで整理": triages the shown conversation; nothing while canRunAI is false.
    Q_INVOKABLE void runAI();
    /// "Needs you", "Waiting", "Done": moves the shown conversation to the
    /// status with this raw value ("needs_you", "waiting", "done").
    Q_INVOKABLE void setStatus(const QString &status);

    // --- the main window ----------------------------------------------------
    /// The window appeared: starts the model's start-up (which runs once).
    Q_INVOKABLE void windowShown();
    /// The error alert closed: the message goes.
    Q_INVOKABLE void dismissError();
    /// The toolbar's "更新": a reload keeping the selection, then a triage pass.
    Q_INVOKABLE void refresh();
    /// The toolbar's "新しいAI Conversation".
    Q_INVOKABLE void newAIConversation();
    /// A status row of the sidebar, by raw value.
    Q_INVOKABLE void selectStatus(const QString &status);
    /// The sidebar's "People" row.
    Q_INVOKABLE void selectPeople();
    /// The sidebar's "AI" row.
    Q_INVOKABLE void selectAI();
    /// A row of the conversation list.
    Q_INVOKABLE void openConversation(const QString &id);
    /// A row of the people list.
    Q_INVOKABLE void openPerson(const QString &email);
    /// The setup screen's sign-in button: opens the sign-in page in the browser.
    Q_INVOKABLE void signInWithQuarn();
    /// The address setup screen's button, with the texts as typed.
    Q_INVOKABLE void claimAddress(const QString &localPart, const QString &displayName);

    // --- URLs -----------------------------------------------------------------
    /// A URL the desktop opened in the application (a sign-in callback or a
    /// conversation link); the model tells them apart.
    void openURL(const QUrl &url);

    /// Whether this build's model offers every operation the commands call.
    /// While one is missing its command does nothing (see appcommands.cpp).
    [[nodiscard]] static bool modelIsComplete();

Q_SIGNALS:
    void canRunAIChanged();
    void refreshLoopActiveChanged();

private:
    void updateCanRunAI();
    QCoro::Task<void> runRefreshLoop(quint64 generation);

    AppModel &m_model;
    std::chrono::milliseconds m_refreshInterval;
    bool m_canRunAI = false;
    bool m_refreshLoopActive = false;
    /// Bumped whenever the loop stops or starts: a loop that wakes up with an
    /// older generation ends there.
    quint64 m_loopGeneration = 0;
};

} // namespace quarn
