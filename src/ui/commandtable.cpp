#include "ui/commandtable.h"

#include "app/appcommands.h"
#include "app/appmodel.h"
#include "ui/presentation.h"

#include <algorithm>

#include <QCoroTask>
#include <QHash>
#include <QKeySequence>
#include <QPointer>
#include <QVariantMap>

using namespace Qt::StringLiterals;

namespace quarn::ui {

namespace {

/// Lets a started operation run on by itself (the model's operations never throw).
void start(QCoro::Task<void> task)
{
    (void)task;
}

const QString kFile = u"ファイル"_s;
const QString kConversation = u"Conversation"_s;
const QString kGo = u"移動"_s;
const QString kLists = u"一覧の中で"_s;

const QString kNoConversation = u"Conversationが開かれていません"_s;

/// Files a conversation, then tells the table so, unless the table is gone.
QCoro::Task<void> fileAndReport(
    AppModel &model, QPointer<CommandTable> table, ConversationStatus status, std::function<void(bool)> done)
{
    const bool filed = co_await model.fileAndOpenNext(status);
    if (table)
        done(filed);
}

QCoro::Task<void> restore(AppModel &model, QString id, ConversationStatus status)
{
    (void)co_await model.restoreStatus(std::move(id), status);
}

} // namespace

// --- Command -------------------------------------------------------------------

Command::Command(QString id, QString name, QString group, QStringList shortcuts, Rule rule,
    std::function<void()> action, QObject *parent)
    : QObject(parent)
    , m_id(std::move(id))
    , m_name(std::move(name))
    , m_group(std::move(group))
    , m_shortcuts(std::move(shortcuts))
    , m_rule(std::move(rule))
    , m_action(std::move(action))
{
    setObjectName(m_id + u"Command"_s);
    if (m_rule)
        m_reason = m_rule();
}

QString Command::shortcutText() const
{
    QStringList read;
    for (const QString &keys : m_shortcuts)
        read.append(QKeySequence(keys).toString(QKeySequence::NativeText));
    return read.join(u" / "_s);
}

void Command::trigger()
{
    update();
    if (isEnabled() && m_action)
        m_action();
}

void Command::update()
{
    const QString reason = m_rule ? m_rule() : QString();
    if (reason == m_reason)
        return;
    m_reason = reason;
    Q_EMIT enabledChanged();
}

// --- CommandTable --------------------------------------------------------------

CommandTable::CommandTable(AppModel &model, AppCommands &commands, QObject *parent)
    : QObject(parent)
    , m_model(model)
    , m_appCommands(commands)
{
    m_noteTimer.setSingleShot(true);
    m_noteTimer.setInterval(kNoteDuration);
    connect(&m_noteTimer, &QTimer::timeout, this, &CommandTable::dismissNote);

    const auto noConversation = [this] { return conversationReason(); };

    // The file menu.
    add(u"newMessage"_s, u"新規メッセージ"_s, kFile, { u"Ctrl+N"_s }, {}, [this] { m_appCommands.newMessage(); });
    add(
        u"refresh"_s, u"更新"_s, kFile, { u"F5"_s, u"Ctrl+R"_s },
        [this] { return m_model.isLoading() ? u"読み込み中です"_s : QString(); }, [this] { m_appCommands.refresh(); });
    addScreenCommand(u"settings"_s, u"設定…"_s, kFile, { u"Ctrl+,"_s });
    addScreenCommand(u"palette"_s, u"コマンドパレット"_s, kFile, { u"Ctrl+K"_s });
    addScreenCommand(u"shortcuts"_s, u"ショートカット一覧"_s, kFile, { u"F1"_s, u"?"_s });
    addScreenCommand(u"quit"_s, u"終了"_s, kFile, { u"Ctrl+Q"_s });

    // The conversation menu: first the application's own commands, as they
    // have always been (the status items show that status's list), then the
    // keys for working through a list.
    add(
        u"runAI"_s, u"AIで整理"_s, kConversation, { u"Ctrl+Shift+K"_s, u"Shift+K"_s },
        [this] {
            if (!m_model.detail())
                return kNoConversation;
            if (m_model.isRunningAI())
                return u"AIが整理しています"_s;
            if (!m_model.isCodexReady())
                return presentation::codexNotReadyExplanation(m_model.isCheckingCodex(), m_model.codexProblem(),
                    m_model.codexRemedy(), m_model.codexFixCommand());
            // The automatic pass looks at the lists before it triages: a
            // triage started meanwhile would be turned away without a word.
            if (m_model.isAutoTriaging())
                return u"自動の整理が終わるまでお待ちください"_s;
            return QString();
        },
        [this] { m_appCommands.runAI(); });
    add(u"needsYou"_s, u"Needs you"_s, kConversation, {}, {}, [this] { m_appCommands.setStatus(u"needs_you"_s); });
    add(u"waiting"_s, u"Waiting"_s, kConversation, {}, {}, [this] { m_appCommands.setStatus(u"waiting"_s); });
    add(u"done"_s, u"Done"_s, kConversation, {}, {}, [this] { m_appCommands.setStatus(u"done"_s); });
    const struct
    {
        const char16_t *id;
        ConversationStatus status;
        const char16_t *key;
    } filings[] = {
        { u"fileNeedsYou", ConversationStatus::needsYou, u"N" },
        { u"fileWaiting", ConversationStatus::waiting, u"W" },
        { u"fileInbox", ConversationStatus::inbox, u"I" },
        { u"fileDone", ConversationStatus::done, u"E" },
    };
    for (const auto &filing : filings) {
        const ConversationStatus status = filing.status;
        add(QString::fromUtf16(filing.id), presentation::statusWording(status) + u"に移して次へ"_s, kConversation,
            { QString::fromUtf16(filing.key) }, noConversation, [this, status] { file(status); });
    }
    add(
        u"undo"_s, u"元に戻す"_s, kConversation, { u"Ctrl+Z"_s },
        [this] { return m_undo ? QString() : u"元に戻せる操作がありません"_s; }, [this] { undo(); });
    addScreenCommand(u"reply"_s, u"返信"_s, kConversation, { u"R"_s }, noConversation);
    add(
        u"useDraft"_s, u"返信案を使う"_s, kConversation, { u"U"_s },
        [this] {
            const QString reason = conversationReason();
            if (!reason.isEmpty())
                return reason;
            return m_model.detail()->aiDraft ? QString() : u"返信案がありません"_s;
        },
        [this] { m_model.useDraft(); });
    const auto orroReason = [this] {
        if (m_model.lens() == MailLens::ai)
            return m_model.selectedAIConversation() ? QString() : u"AI Conversationが選ばれていません"_s;
        return conversationReason();
    };
    addScreenCommand(u"todo"_s, u"OrroのTodoに追加"_s, kConversation, { u"T"_s }, orroReason);
    addScreenCommand(u"event"_s, u"Orroの予定に追加"_s, kConversation, { u"S"_s }, orroReason);
    const auto aiConversationReason = [this] {
        if (m_model.lens() != MailLens::ai || !m_model.selectedAIConversation())
            return u"AI Conversationが選ばれていません"_s;
        if (m_model.isReadingAIConversations())
            return u"AI Conversationを読み込んでいます"_s;
        return QString();
    };
    addScreenCommand(
        u"renameAIConversation"_s, u"AI Conversationの名前を変更…"_s, kConversation, { u"F2"_s }, aiConversationReason);
    addScreenCommand(
        u"deleteAIConversation"_s, u"AI Conversationを削除…"_s, kConversation, { u"Delete"_s }, aiConversationReason);

    // Going places: the six status lists, People and AI, the rows, the search.
    int number = 1;
    for (ConversationStatus status : allCases<ConversationStatus>()) {
        add(u"show_"_s + rawValue(status), presentation::statusWording(status) + u"の一覧"_s, kGo,
            { QString::number(number++) }, {}, [this, status] { start(m_model.selectStatus(status)); });
    }
    add(u"showPeople"_s, u"People"_s, kGo, { QString::number(number++) }, {},
        [this] { start(m_model.selectPeople()); });
    add(u"showAI"_s, u"AI"_s, kGo, { QString::number(number++) }, {}, [this] { start(m_model.selectAI()); });
    add(u"next"_s, u"次へ"_s, kGo, { u"J"_s }, {}, [this] { moveSelection(1); });
    add(u"previous"_s, u"前へ"_s, kGo, { u"K"_s }, {}, [this] { moveSelection(-1); });
    addScreenCommand(u"search"_s, u"検索"_s, kGo, { u"Ctrl+F"_s, u"/"_s },
        [this] { return m_model.lens() == MailLens::ai ? u"AIの一覧には検索がありません"_s : QString(); });

    // Whatever an enabling rule reads.
    for (auto signal : { &AppModel::detailChanged, &AppModel::isRunningAIChanged, &AppModel::isCodexReadyChanged,
             &AppModel::codexReadinessChanged, &AppModel::isAutoTriagingChanged, &AppModel::isLoadingChanged,
             &AppModel::lensChanged, &AppModel::selectedAIConversationIDChanged, &AppModel::aiConversationsChanged,
             &AppModel::isReadingAIConversationsChanged })
        connect(&m_model, signal, this, &CommandTable::updateAll);
    connect(this, &CommandTable::noteChanged, this, &CommandTable::updateAll);
}

CommandTable::~CommandTable() = default;

Command *CommandTable::add(const QString &id, const QString &name, const QString &group, const QStringList &shortcuts,
    Command::Rule rule, std::function<void()> action)
{
    auto *command = new Command(id, name, group, shortcuts, std::move(rule), std::move(action), this);
    m_commands.append(command);
    return command;
}

void CommandTable::addScreenCommand(
    const QString &id, const QString &name, const QString &group, const QStringList &shortcuts, Command::Rule rule)
{
    add(id, name, group, shortcuts, std::move(rule), [this, id] { Q_EMIT screenCommand(id); });
}

QList<QObject *> CommandTable::commandObjects() const
{
    QList<QObject *> objects;
    objects.reserve(m_commands.size());
    for (Command *command : m_commands)
        objects.append(command);
    return objects;
}

void CommandTable::updateAll()
{
    for (Command *command : std::as_const(m_commands))
        command->update();
}

QString CommandTable::conversationReason() const
{
    if (m_model.lens() != MailLens::work || !m_model.detail())
        return kNoConversation;
    return {};
}

Command *CommandTable::command(const QString &id) const
{
    for (Command *command : m_commands) {
        if (command->id() == id)
            return command;
    }
    return nullptr;
}

void CommandTable::trigger(const QString &id)
{
    if (id.startsWith(u"person:"_s)) {
        start(m_model.openPerson(id.mid(7)));
        return;
    }
    if (id.startsWith(u"conversation:"_s)) {
        const QString conversation = id.mid(13);
        // The loaded list is the one of the selected status: shown in the
        // work lens it opens in place, from elsewhere the work lens comes back.
        if (m_model.lens() == MailLens::work)
            start(m_model.openConversation(conversation));
        else
            start(m_model.openTimelineConversation(conversation));
        return;
    }
    if (Command *found = command(id))
        found->trigger();
}

QVariantList CommandTable::paletteEntries(const QString &filter) const
{
    const QString wanted = filter.trimmed();
    const auto matches
        = [&wanted](const QString &text) { return wanted.isEmpty() || text.contains(wanted, Qt::CaseInsensitive); };
    QVariantList rows;
    for (Command *command : m_commands) {
        command->update();
        if (!matches(command->name()) && !matches(command->group() + u' ' + command->name()))
            continue;
        rows.append(QVariantMap {
            { u"id"_s, command->id() },
            { u"name"_s, command->name() },
            { u"group"_s, command->group() },
            { u"shortcut"_s, command->shortcutText() },
            { u"enabled"_s, command->isEnabled() },
            { u"reason"_s, command->reason() },
        });
    }
    int records = 0;
    for (const PersonSummary &person : m_model.people()) {
        if (records >= kPaletteRecordLimit)
            break;
        if (!matches(person.displayName) && !matches(person.email))
            continue;
        ++records;
        rows.append(QVariantMap {
            { u"id"_s, QString(u"person:"_s + person.email) },
            { u"name"_s, person.displayName },
            { u"group"_s, u"People"_s },
            { u"shortcut"_s, person.email },
            { u"enabled"_s, true },
            { u"reason"_s, QString() },
        });
    }
    if (m_model.state()) {
        records = 0;
        for (const ConversationListItem &conversation : m_model.state()->conversations) {
            if (records >= kPaletteRecordLimit)
                break;
            if (!matches(conversation.subject))
                continue;
            ++records;
            rows.append(QVariantMap {
                { u"id"_s, QString(u"conversation:"_s + conversation.id) },
                { u"name"_s, conversation.subject },
                { u"group"_s, presentation::statusWording(m_model.state()->status) },
                { u"shortcut"_s, conversation.participantName },
                { u"enabled"_s, true },
                { u"reason"_s, QString() },
            });
        }
    }
    return rows;
}

QVariantList CommandTable::shortcutSheet() const
{
    QVariantList groups;
    QStringList order;
    QHash<QString, QVariantList> byGroup;
    for (Command *command : m_commands) {
        if (command->shortcuts().isEmpty())
            continue;
        if (!order.contains(command->group()))
            order.append(command->group());
        byGroup[command->group()].append(QVariantMap {
            { u"id"_s, command->id() },
            { u"name"_s, command->name() },
            { u"keys"_s, command->shortcutText() },
        });
    }
    for (const QString &group : std::as_const(order))
        groups.append(QVariantMap { { u"group"_s, group }, { u"rows"_s, byGroup.value(group) } });

    // The keys the lists and the reply box take while they have the focus.
    const auto row = [](const QString &name, const QString &keys) {
        return QVariantMap { { u"id"_s, QString() }, { u"name"_s, name }, { u"keys"_s, keys } };
    };
    const QVariantList listKeys {
        row(u"前へ / 次へ（開きます）"_s, u"↑ / ↓"_s),
        row(u"最初へ / 最後へ"_s, u"Home / End"_s),
        row(u"1ページ前へ / 次へ"_s, u"Page Up / Page Down"_s),
        row(u"表示中の会話を読み進める / 戻る"_s, u"Space / Shift+Space"_s),
        row(u"返信を書く"_s, u"Enter"_s),
        row(u"空の返信から一覧へ戻る・検索を消す"_s, u"Esc"_s),
        row(u"送信"_s, QKeySequence(u"Ctrl+Return"_s).toString(QKeySequence::NativeText)),
    };
    groups.append(QVariantMap { { u"group"_s, kLists }, { u"rows"_s, listKeys } });
    return groups;
}

QStringList CommandTable::rowKeys() const
{
    QStringList keys;
    switch (m_model.lens()) {
    case MailLens::work:
        for (const ConversationListItem &c : m_model.filteredConversations())
            keys.append(c.id);
        break;
    case MailLens::people:
        for (const PersonSummary &p : m_model.filteredPeople())
            keys.append(p.email);
        break;
    case MailLens::ai:
        for (const AIConversation &c : m_model.aiConversations())
            keys.append(c.id);
        break;
    }
    return keys;
}

std::optional<QString> CommandTable::selectedKey() const
{
    switch (m_model.lens()) {
    case MailLens::work:
        return m_model.selectedConversationID();
    case MailLens::people:
        return m_model.selectedPersonEmail();
    case MailLens::ai:
        return m_model.selectedAIConversationID();
    }
    return std::nullopt;
}

void CommandTable::openKey(const QString &key)
{
    // As a click on the row: nothing is loaded again for the row on screen.
    switch (m_model.lens()) {
    case MailLens::work:
        if (!m_model.detail() || m_model.detail()->id != key || m_model.selectedConversationID() != key)
            start(m_model.openConversation(key));
        break;
    case MailLens::people:
        if (!m_model.personTimeline() || m_model.personTimeline()->person.email != key
            || m_model.selectedPersonEmail() != key)
            start(m_model.openPerson(key));
        break;
    case MailLens::ai:
        m_model.setSelectedAIConversationID(key);
        break;
    }
}

void CommandTable::moveSelection(int step)
{
    const QStringList keys = rowKeys();
    if (keys.isEmpty() || step == 0)
        return;
    const std::optional<QString> selected = selectedKey();
    const qsizetype at = selected ? keys.indexOf(*selected) : -1;
    qsizetype row = 0;
    if (at < 0)
        row = step > 0 ? 0 : keys.size() - 1;
    else
        row = std::clamp<qsizetype>(at + step, 0, keys.size() - 1);
    openKey(keys.at(row));
}

void CommandTable::selectRow(int row)
{
    const QStringList keys = rowKeys();
    if (keys.isEmpty())
        return;
    openKey(keys.at(std::clamp<qsizetype>(row, 0, keys.size() - 1)));
}

void CommandTable::file(ConversationStatus status)
{
    if (!m_model.detail() || m_model.lens() != MailLens::work)
        return;
    const QString id = m_model.detail()->id;
    const ConversationStatus previous = m_model.detail()->status;
    const QPointer<CommandTable> self(this);
    auto report = [self, id, previous, status](bool filed) {
        if (!filed)
            return;
        // A status the user may not choose (AI working, scheduled) cannot be
        // put back by hand: the note then only tells.
        std::optional<std::pair<QString, ConversationStatus>> undo;
        if (isUserSelectable(previous) && previous != status)
            undo = std::pair(id, previous);
        self->showNote(presentation::statusWording(status) + u"に移動しました"_s, undo);
    };
    auto task = fileAndReport(m_model, self, status, std::move(report));
    start(std::move(task));
}

void CommandTable::showNote(const QString &text, std::optional<std::pair<QString, ConversationStatus>> undo)
{
    m_note = text;
    m_undo = std::move(undo);
    m_noteTimer.start();
    Q_EMIT noteChanged();
}

void CommandTable::undo()
{
    if (!m_undo)
        return;
    const auto [id, status] = *m_undo;
    dismissNote();
    start(restore(m_model, id, status));
}

void CommandTable::dismissNote()
{
    m_noteTimer.stop();
    if (m_note.isEmpty() && !m_undo)
        return;
    m_note.clear();
    m_undo.reset();
    Q_EMIT noteChanged();
}

} // namespace quarn::ui
