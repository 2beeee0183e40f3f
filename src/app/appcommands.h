#pragma once

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>

namespace quarn {

class AppModel;

/// What the application's menus, its URL handler and the main window itself
/// start on the model: the menu commands with their enabling rule, the URLs
/// the desktop opens, the window's start (the model's start-up when the window
/// appears), its error alert, the toolbar's reload, and the background refresh
/// loop while the workspace is on screen. (The screens' own controls call the
/// model through `AppModel::operations`.)
///
/// Each command starts a task on the main thread and returns at once; several
/// may be outstanding, and the model's busy flags decide what happens. No
/// command fails: every failure ends in the model's `errorMessage`.
///
/// The model must outlive the commands and every task they start (the
/// application's model lives until the process ends).
class AppCommands : public QObject
{
    Q_OBJECT

    /// Whether "AIで整理" is enabled: a conversation detail is shown, no AI run
    /// or automatic pass is in progress and the Codex CLI is ready.
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

    [[nodiscard]] bool canRunAI() const { return m_canRunAI; }
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
    /// The error alert closed, however: the message goes.
    Q_INVOKABLE void dismissError();
    /// The toolbar's "更新": a reload keeping the selection, then a triage pass.
    Q_INVOKABLE void refresh();

    // --- URLs -----------------------------------------------------------------
    /// A URL the desktop opened in the application, as written (a sign-in
    /// callback or a conversation link; the model tells them apart).
    void openURL(const QString &url);

Q_SIGNALS:
    void canRunAIChanged();
    void refreshLoopActiveChanged();
    /// A reload started by the toolbar or the background loop, with its
    /// triage pass, has finished (whether or not it succeeded).
    void refreshFinished();

private:
    void updateCanRunAI();
    QCoro::Task<void> refreshOnce(quint64 generation);
    QCoro::Task<void> refreshAndTell();

    AppModel &m_model;
    std::chrono::milliseconds m_refreshInterval;
    bool m_canRunAI = false;
    bool m_refreshLoopActive = false;
    /// Bumped whenever the loop stops or starts: a reload that finishes with an
    /// older generation does not arm the next one.
    quint64 m_loopGeneration = 0;
    /// The pause before the next reload. A timer rather than a sleeping
    /// coroutine, so that a stopped loop leaves nothing suspended behind.
    QTimer m_refreshTimer;
};

} // namespace quarn
