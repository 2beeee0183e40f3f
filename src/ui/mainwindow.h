#pragma once

class QProcessEnvironment;
class QQmlApplicationEngine;
class QQuickWindow;

namespace quarn {
class AppCommands;
class AppModel;
} // namespace quarn

namespace quarn::ui {

/// Makes the screens' C++ types known to QML (import Quarn.Rules): the
/// compose window's rules (ComposeSession) and the mail signature
/// preference (the MailSignature singleton), the setup screens' rules
/// (SetupRules). loadMainWindow calls it; once
/// per process is enough, more calls do nothing.
void registerScreenTypes();

/// Whether the windows should draw with Qt Quick's software renderer: on a
/// machine without a GPU (`hasRenderNode` false), where OpenGL would run on
/// a software rasterizer that draws the same pictures later and with more
/// memory, unless the user chose a renderer (QT_QUICK_BACKEND or
/// QSG_RHI_BACKEND in `environment`).
[[nodiscard]] bool prefersSoftwareRenderer(const QProcessEnvironment &environment, bool hasRenderNode);

/// Chooses the windows' renderer as prefersSoftwareRenderer() says, for this
/// process and machine. Before the first window is made.
void chooseRenderer();

/// Loads the main window (Main.qml of the Quarn.Ui module) into `engine`,
/// hands it the model, the commands and its command table (a CommandTable
/// owned by the engine, the window's `commandTable` property), shows it, and
/// starts the model's start-up each time the window appears. Answers the window, or nullptr when
/// the QML did not load (the engine's warnings say why).
///
/// The model and the commands must outlive the engine.
QQuickWindow *loadMainWindow(QQmlApplicationEngine &engine, AppModel &model, AppCommands &commands);

} // namespace quarn::ui
