#pragma once

#include "model/enums.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantList>

#include <chrono>
#include <functional>
#include <optional>

namespace quarn {
class AppCommands;
class AppModel;
} // namespace quarn

namespace quarn::ui {

/// One thing the user can do from the menus, a key or the command palette:
/// its name, the keys that run it, whether it can run now and, when not, why.
/// The menus, the window's shortcuts, the palette and the shortcut sheet all
/// read the same object, so a name or a key is written once.
class Command : public QObject
{
    Q_OBJECT

    /// Stable name of the command ("newMessage"); the menu item is `<id>Action`.
    Q_PROPERTY(QString id READ id CONSTANT)
    /// The name shown in the menu, the palette and the sheet.
    Q_PROPERTY(QString name READ name CONSTANT)
    /// The group of the shortcut sheet and the palette ("ファイル", "Conversation", "移動").
    Q_PROPERTY(QString group READ group CONSTANT)
    /// The key sequences that run it, portable text ("Ctrl+Shift+K"); the
    /// first is the one the menu shows. Empty for a command without keys.
    Q_PROPERTY(QStringList shortcuts READ shortcuts CONSTANT)
    /// The first of `shortcuts`, or empty.
    Q_PROPERTY(QString shortcut READ shortcut CONSTANT)
    /// `shortcuts` after the first.
    Q_PROPERTY(QStringList alternateShortcuts READ alternateShortcuts CONSTANT)
    /// The keys as a person reads them, in this desktop's words ("Ctrl+Shift+K / Shift+K").
    Q_PROPERTY(QString shortcutText READ shortcutText CONSTANT)
    /// Whether it can run now.
    Q_PROPERTY(bool enabled READ isEnabled NOTIFY enabledChanged)
    /// Why it cannot run now, or empty while it can.
    Q_PROPERTY(QString reason READ reason NOTIFY enabledChanged)

public:
    /// Why the command cannot run, or empty when it can.
    using Rule = std::function<QString()>;

    Command(QString id, QString name, QString group, QStringList shortcuts, Rule rule, std::function<void()> action,
        QObject *parent);

    [[nodiscard]] const QString &id() const { return m_id; }
    [[nodiscard]] const QString &name() const { return m_name; }
    [[nodiscard]] const QString &group() const { return m_group; }
    [[nodiscard]] const QStringList &shortcuts() const { return m_shortcuts; }
    [[nodiscard]] QString shortcut() const { return m_shortcuts.value(0); }
    [[nodiscard]] QStringList alternateShortcuts() const { return m_shortcuts.mid(1); }
    [[nodiscard]] QString shortcutText() const;
    [[nodiscard]] bool isEnabled() const { return m_reason.isEmpty(); }
    [[nodiscard]] const QString &reason() const { return m_reason; }

    /// Runs the command; nothing while it is disabled (a key of a disabled
    /// menu item does nothing either).
    Q_INVOKABLE void trigger();
    /// Evaluates the enabling rule again.
    void update();

Q_SIGNALS:
    void enabledChanged();

private:
    QString m_id;
    QString m_name;
    QString m_group;
    QStringList m_shortcuts;
    Rule m_rule;
    std::function<void()> m_action;
    QString m_reason;
};

/// Every command of the main window, with the work the keyboard does beyond
/// the model's operations: moving through the list of the lens, filing the
/// shown conversation and going on to the next, and the short note that
/// offers to undo that.
///
/// Commands that only the screens can carry out (putting the focus
/// somewhere, opening a sheet or a window) are announced by `screenCommand`;
/// the main window routes them.
///
/// The model and the commands must outlive the table.
class CommandTable : public QObject
{
    Q_OBJECT

    /// Every command, in menu order.
    Q_PROPERTY(QList<QObject *> commands READ commandObjects CONSTANT)
    /// What the last filing did ("Doneに移動しました"), shown for a few
    /// seconds; empty when there is nothing to say.
    Q_PROPERTY(QString note READ note NOTIFY noteChanged)
    /// Whether the change the note tells of can still be undone.
    Q_PROPERTY(bool canUndo READ canUndo NOTIFY noteChanged)

public:
    /// How long the note stays.
    static constexpr std::chrono::milliseconds kNoteDuration = std::chrono::seconds(6);

    CommandTable(AppModel &model, AppCommands &commands, QObject *parent = nullptr);
    ~CommandTable() override;

    [[nodiscard]] QList<QObject *> commandObjects() const;
    [[nodiscard]] const QList<Command *> &all() const { return m_commands; }
    [[nodiscard]] const QString &note() const { return m_note; }
    [[nodiscard]] bool canUndo() const { return m_undo.has_value(); }
    void setNoteDuration(std::chrono::milliseconds duration) { m_noteTimer.setInterval(duration); }

    /// The command named `id`, or nullptr.
    Q_INVOKABLE [[nodiscard]] quarn::ui::Command *command(const QString &id) const;
    /// Runs the command or palette entry named `id` (a command's id,
    /// "person:<email>" or "conversation:<id>").
    Q_INVOKABLE void trigger(const QString &id);

    /// The palette's rows for `filter`: every command, then the people and the
    /// conversations of the loaded lists, whose name holds `filter` (case
    /// ignored, anywhere in the name). Each row is a map of id, name, group,
    /// shortcut (as read), enabled and reason.
    Q_INVOKABLE [[nodiscard]] QVariantList paletteEntries(const QString &filter) const;
    /// The shortcut sheet: a list of {group, rows: [{name, keys}]}, the
    /// commands with keys by group, then the keys of the lists.
    Q_INVOKABLE [[nodiscard]] QVariantList shortcutSheet() const;

    /// Selects, and opens, the row `step` rows below (above, when negative)
    /// the selected one in the list of the lens; from nothing, a step down
    /// starts at the first row and a step up at the last.
    Q_INVOKABLE void moveSelection(int step);
    /// Selects, and opens, row `row` of the list of the lens (clamped).
    Q_INVOKABLE void selectRow(int row);

    /// Undoes the change the note tells of, and the note goes.
    Q_INVOKABLE void undo();
    /// The note goes; its change stays.
    Q_INVOKABLE void dismissNote();

    /// The palette's limit on conversation and person rows, so that a long
    /// list never makes typing slow.
    static constexpr int kPaletteRecordLimit = 200;

Q_SIGNALS:
    /// A command the screens carry out: "settings", "palette", "shortcuts",
    /// "quit", "search", "reply", "todo", "event", "renameAIConversation",
    /// "deleteAIConversation".
    void screenCommand(const QString &id);
    void noteChanged();

private:
    Command *add(const QString &id, const QString &name, const QString &group, const QStringList &shortcuts,
        Command::Rule rule, std::function<void()> action);
    void addScreenCommand(const QString &id, const QString &name, const QString &group, const QStringList &shortcuts,
        Command::Rule rule = {});
    void updateAll();
    [[nodiscard]] QString conversationReason() const;
    void file(ConversationStatus status);
    void showNote(const QString &text, std::optional<std::pair<QString, ConversationStatus>> undo);
    /// The keys of the rows of the lens's list, in order.
    [[nodiscard]] QStringList rowKeys() const;
    [[nodiscard]] std::optional<QString> selectedKey() const;
    void openKey(const QString &key);

    AppModel &m_model;
    AppCommands &m_appCommands;
    QList<Command *> m_commands;
    QString m_note;
    /// The conversation and the status it had before the filing the note tells of.
    std::optional<std::pair<QString, ConversationStatus>> m_undo;
    QTimer m_noteTimer;
};

} // namespace quarn::ui
