// The main window driven by the keyboard alone once it is on screen: where
// the focus is, the list keys, filing with its undo, compose, search, the
// command palette and the shortcut sheet, over the real model on the
// reference service's demo mailbox (a fresh one per test).

#include "support/referenceservice.h"
#include "ui/uiharness.h"

#include <QKeySequence>
#include <QQuickWindow>
#include <QSet>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;
using namespace quarn;
using namespace quarn::testing;
using quarn::test::ReferenceService;

class TestKeyboard : public QObject
{
    Q_OBJECT

private:
    struct Session
    {
        Session() = default;
        Session(Session &&) = default;
        ~Session()
        {
            if (h)
                waitUntilIdle(*h->model);
        }
        std::unique_ptr<ReferenceService> service;
        std::unique_ptr<Harness> h;
        std::unique_ptr<Window> w;
    };
    /// Signed in to a fresh demo mailbox, started, and the window on it; the
    /// window has the keyboard.
    static Session open()
    {
        Session s;
        s.service = std::make_unique<ReferenceService>(ReferenceService::Data::Demo);
        if (!s.service->start())
            qFatal("%s", qPrintable(s.service->errorString()));
        s.h = std::make_unique<Harness>(s.service->baseUrl(), Harness::Codex::double_);
        s.h->home.setAnswer(insightJson(u"整理済み"_s, u"inbox"_s));
        if (!s.h->saveToken(s.service->token()))
            qFatal("no token");
        run(s.h->model->bootstrap());
        (void)s.h->execRan();
        s.w = std::make_unique<Window>(*s.h->model);
        if (!s.w->window)
            qFatal("%s", qPrintable(UiWarnings::text()));
        if (!QTest::qWaitForWindowActive(s.w->window))
            qFatal("window not active");
        return s;
    }
    /// The ids of the list shown, in order.
    static QStringList listed(const AppModel &model)
    {
        QStringList ids;
        for (const ConversationListItem &c : model.filteredConversations())
            ids.append(c.id);
        return ids;
    }
    /// Whether the service lists conversation `id` under `status` now.
    static bool onService(AppModel &model, ConversationStatus status, const QString &id)
    {
        const std::optional<MailState> state = run(model.peekState(status));
        if (!state)
            return false;
        return std::any_of(state->conversations.cbegin(), state->conversations.cend(),
            [&](const ConversationListItem &c) { return c.id == id; });
    }
    static QString shownId(const AppModel &model) { return model.detail() ? model.detail()->id : QString(); }

private Q_SLOTS:
    void initTestCase()
    {
        QLocale::setDefault(QLocale(u"en_US"_s));
        QAccessible::setActive(true);
    }
    void init() { UiWarnings::clear(); }
    void cleanup() { QVERIFY2(UiWarnings::isEmpty(), qPrintable(UiWarnings::text())); }

    // Down opens the first conversation and then the next, as clicks would;
    // e files the shown one on the service and opens the one after it in the
    // same list; the note offers the undo, which puts it back.
    void listKeysOpenAndFileWithUndo()
    {
        Session s = open();
        AppModel &m = *s.h->model;
        QTRY_VERIFY(s.w->hasFocus(u"conversationListView"_s));
        const QStringList ids = listed(m);
        QVERIFY2(ids.size() >= 3, "the demo's needs-you list has three conversations or more");

        s.w->key(Qt::Key_Down);
        QTRY_COMPARE_WITH_TIMEOUT(shownId(m), ids.at(0), 20'000);
        s.w->key(Qt::Key_Down);
        QTRY_COMPARE_WITH_TIMEOUT(shownId(m), ids.at(1), 20'000);
        // The list's current row is the selection, and it is drawn as such.
        QQuickItem *view = s.w->item(u"conversationListView"_s);
        QCOMPARE(view->property("currentIndex").toInt(), 1);
        QVERIFY(s.w->item(u"conversationRow_"_s + ids.at(1))->property("current").toBool());

        s.w->key(Qt::Key_E);
        QTRY_COMPARE_WITH_TIMEOUT(shownId(m), ids.at(2), 20'000);
        QTRY_VERIFY_WITH_TIMEOUT(!listed(m).contains(ids.at(1)), 20'000);
        QCOMPARE(rawValue(m.selectedStatus()), u"needs_you"_s);
        QVERIFY(onService(m, ConversationStatus::done, ids.at(1)));
        QTRY_VERIFY(s.w->shown(u"undoNote"_s));
        QCOMPARE(s.w->text(u"undoNoteText"_s), u"Doneに移動しました"_s);
        QCOMPARE(Window::accessibleRole(s.w->item(u"undoNote"_s)), QAccessible::AlertMessage);
        QVERIFY(s.w->hasFocus(u"conversationListView"_s));
        QCOMPARE(view->property("currentIndex").toInt(), listed(m).indexOf(ids.at(2)));

        s.w->key(Qt::Key_Z, Qt::ControlModifier);
        QTRY_VERIFY_WITH_TIMEOUT(listed(m).contains(ids.at(1)), 20'000);
        QTRY_COMPARE_WITH_TIMEOUT(shownId(m), ids.at(1), 20'000);
        QVERIFY(onService(m, ConversationStatus::needsYou, ids.at(1)));
        QVERIFY(!s.w->shown(u"undoNote"_s));

        // Home, End and k move as well; Up from the top stays at the top.
        s.w->key(Qt::Key_End);
        QTRY_COMPARE_WITH_TIMEOUT(shownId(m), listed(m).last(), 20'000);
        s.w->key(Qt::Key_K);
        QTRY_COMPARE_WITH_TIMEOUT(shownId(m), listed(m).at(listed(m).size() - 2), 20'000);
        s.w->key(Qt::Key_Home);
        QTRY_COMPARE_WITH_TIMEOUT(shownId(m), listed(m).first(), 20'000);
        // The move is decided at once: nothing is opened from the top.
        s.w->key(Qt::Key_Up);
        QCOMPARE(m.selectedConversationID(), std::optional(listed(m).first()));
        QCOMPARE(shownId(m), listed(m).first());
    }

    // A number key switches the list and the lens; the list that comes has
    // the keyboard, and its current row follows the selection there too.
    void numberKeysSwitchListsAndTheFocusFollows()
    {
        Session s = open();
        AppModel &m = *s.h->model;
        QTRY_VERIFY(s.w->hasFocus(u"conversationListView"_s));

        s.w->key(Qt::Key_7);
        QTRY_COMPARE(rawValue(m.lens()), u"people"_s);
        QTRY_VERIFY(s.w->hasFocus(u"peopleListView"_s));
        QTRY_VERIFY_WITH_TIMEOUT(!m.filteredPeople().isEmpty(), 20'000);
        s.w->key(Qt::Key_Down);
        QTRY_COMPARE_WITH_TIMEOUT(m.selectedPersonEmail(), std::optional(m.filteredPeople().at(0).email), 20'000);
        QTRY_VERIFY_WITH_TIMEOUT(
            m.personTimeline() && m.personTimeline()->person.email == m.filteredPeople().at(0).email, 20'000);
        QCOMPARE(s.w->item(u"peopleListView"_s)->property("currentIndex").toInt(), 0);

        s.w->key(Qt::Key_6);
        QTRY_COMPARE(rawValue(m.selectedStatus()), u"done"_s);
        QCOMPARE(rawValue(m.lens()), u"work"_s);
        QTRY_VERIFY(s.w->hasFocus(u"conversationListView"_s));
        QTRY_VERIFY_WITH_TIMEOUT(!m.isLoading() && !listed(m).isEmpty(), 20'000);
        s.w->key(Qt::Key_J);
        QTRY_COMPARE_WITH_TIMEOUT(shownId(m), listed(m).first(), 20'000);

        // Back to the people: the remembered person is the current row again.
        s.w->key(Qt::Key_7);
        QTRY_VERIFY(s.w->hasFocus(u"peopleListView"_s));
        QTRY_VERIFY_WITH_TIMEOUT(m.selectedPersonEmail().has_value(), 20'000);
        const QList<PersonSummary> people = m.filteredPeople();
        const auto selected = std::find_if(people.cbegin(), people.cend(),
            [&](const PersonSummary &p) { return p.email == *m.selectedPersonEmail(); });
        QVERIFY(selected != people.cend());
        QTRY_COMPARE(s.w->item(u"peopleListView"_s)->property("currentIndex").toInt(), int(selected - people.cbegin()));

        s.w->key(Qt::Key_8);
        QTRY_COMPARE(rawValue(m.lens()), u"ai"_s);
        QTRY_VERIFY(s.w->hasFocus(u"aiConversationListView"_s));
    }

    // Space reads on in the shown conversation; Enter (or r) writes the reply;
    // Escape in the empty reply box returns to the list, and with text in it
    // leaves the text and the focus alone.
    void readingKeysReachTheReplyBoxAndBack()
    {
        Session s = open();
        AppModel &m = *s.h->model;
        QTRY_VERIFY(s.w->hasFocus(u"conversationListView"_s));
        s.w->key(Qt::Key_Down);
        QTRY_VERIFY_WITH_TIMEOUT(m.detail().has_value(), 20'000);

        // Space and Shift+Space read in the conversation while the list keeps the keyboard.
        const QString longest = u"Q3ロードマップレビュー"_s;
        while (m.detail()->subject != longest) {
            const QString before = shownId(m);
            s.w->key(Qt::Key_Down);
            QTRY_VERIFY_WITH_TIMEOUT(shownId(m) != before, 20'000);
        }
        QQuickItem *timeline = s.w->item(u"timeline"_s);
        // Opened at its end, so it can be read back and on again.
        QTRY_VERIFY(!timeline->property("atYBeginning").toBool());
        const qreal end = timeline->property("contentY").toReal();
        s.w->key(Qt::Key_Space, Qt::ShiftModifier);
        QTRY_VERIFY(timeline->property("contentY").toReal() < end);
        const qreal back = timeline->property("contentY").toReal();
        s.w->key(Qt::Key_Space);
        QTRY_VERIFY(timeline->property("contentY").toReal() > back);
        QVERIFY(s.w->hasFocus(u"conversationListView"_s));

        s.w->key(Qt::Key_Return);
        QTRY_VERIFY(s.w->hasFocus(u"replyEditor"_s));
        s.w->key(Qt::Key_Escape);
        QTRY_VERIFY(s.w->hasFocus(u"conversationListView"_s));

        s.w->key(Qt::Key_R);
        QTRY_VERIFY(s.w->hasFocus(u"replyEditor"_s));
        // Single keys are text here, not commands.
        s.w->typeText(u"ok e"_s);
        QTRY_COMPARE(m.replyText(), u"ok e"_s);
        QCOMPARE(rawValue(m.selectedStatus()), u"needs_you"_s);
        s.w->key(Qt::Key_Escape);
        QVERIFY(s.w->hasFocus(u"replyEditor"_s));
        QCOMPARE(m.replyText(), u"ok e"_s);
    }

    // Ctrl+F and / put the cursor in the search field; Escape clears the
    // search and gives the keyboard back to the list.
    // Message text is reached with Shift+Tab from the reply editor and
    // selected with Shift and the arrows, as in any text view.
    void messageTextIsSelectableByKeys()
    {
        Session s = open();
        AppModel &m = *s.h->model;
        QTRY_VERIFY(s.w->hasFocus(u"conversationListView"_s));
        s.w->key(Qt::Key_Down);
        QTRY_VERIFY_WITH_TIMEOUT(m.detail().has_value(), 20'000);
        s.w->key(Qt::Key_R);
        QTRY_VERIFY(s.w->hasFocus(u"replyEditor"_s));
        QQuickItem *body = nullptr;
        for (int step = 0; step < 40 && !body; ++step) {
            s.w->key(Qt::Key_Backtab, Qt::ShiftModifier);
            QQuickItem *focused = s.w->window->activeFocusItem();
            if (focused && focused->objectName() == u"messageBody"_s)
                body = focused;
        }
        QVERIFY2(body, "no message body on the way back from the reply editor");
        QVERIFY(body->property("cursorVisible").toBool());
        body->setProperty("cursorPosition", 0);
        for (int i = 0; i < 4; ++i)
            s.w->key(Qt::Key_Right, Qt::ShiftModifier);
        const QString text = body->property("text").toString();
        QCOMPARE(body->property("selectedText").toString(), text.left(4));
    }

    void searchKeys_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::newRow("Ctrl+F") << int(Qt::Key_F) << int(Qt::ControlModifier);
        QTest::newRow("/") << int(Qt::Key_Slash) << int(Qt::NoModifier);
    }
    void searchKeys()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        Session s = open();
        AppModel &m = *s.h->model;
        QTRY_VERIFY(s.w->hasFocus(u"conversationListView"_s));

        s.w->key(Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QTRY_VERIFY(s.w->hasFocus(u"searchField"_s));
        s.w->typeText(u"zzqx"_s);
        QTRY_COMPARE(m.searchText(), u"zzqx"_s);
        QTRY_VERIFY(s.w->shown(u"listEmptyState"_s));
        s.w->key(Qt::Key_Escape);
        QTRY_COMPARE(m.searchText(), QString());
        QVERIFY(s.w->hasFocus(u"conversationListView"_s));
    }

    // The single keys on the shown conversation: t and s open the Orro sheet
    // for a Todo or an event, u takes the AI's draft into the reply box,
    // Shift+K runs the AI.
    void singleKeysActOnTheShownConversation()
    {
        Session s = open();
        AppModel &m = *s.h->model;
        QTRY_VERIFY(s.w->hasFocus(u"conversationListView"_s));
        QTRY_VERIFY_WITH_TIMEOUT(!m.isLoading() && !listed(m).isEmpty(), 20'000);
        QString withDraft;
        for (const ConversationListItem &c : m.filteredConversations()) {
            if (c.aiDraft && withDraft.isEmpty())
                withDraft = c.id;
        }
        QVERIFY2(!withDraft.isEmpty(), "the demo has a conversation with a draft");
        while (shownId(m) != withDraft) {
            const QString before = shownId(m);
            s.w->key(Qt::Key_J);
            QTRY_VERIFY_WITH_TIMEOUT(shownId(m) != before, 20'000);
        }

        s.w->key(Qt::Key_T);
        QTRY_VERIFY(s.w->find(u"orroActionSheet"_s)->property("opened").toBool());
        QCOMPARE(s.w->text(u"orroSheetTitle"_s), u"OrroのTodoに追加"_s);
        s.w->key(Qt::Key_Escape);
        QTRY_VERIFY(!s.w->find(u"orroActionSheet"_s)->property("visible").toBool());
        QTRY_VERIFY(s.w->hasFocus(u"conversationListView"_s));
        s.w->key(Qt::Key_S);
        QTRY_VERIFY(s.w->find(u"orroActionSheet"_s)->property("opened").toBool());
        QCOMPARE(s.w->text(u"orroSheetTitle"_s), u"Orroの予定に追加"_s);
        s.w->key(Qt::Key_Escape);
        QTRY_VERIFY(!s.w->find(u"orroActionSheet"_s)->property("visible").toBool());

        s.w->key(Qt::Key_U);
        QTRY_COMPARE(m.replyText(), *m.detail()->aiDraft);

        s.h->home.setAnswer(insightJson(u"鍵で整理"_s, u"needs_you"_s));
        s.w->key(Qt::Key_K, Qt::ShiftModifier);
        QTRY_VERIFY_WITH_TIMEOUT(m.detail() && m.detail()->aiSummary == std::optional<QString>(u"鍵で整理"_s), 30'000);
        QVERIFY(s.h->execRan());
    }

    // Ctrl+N puts the cursor in the recipients; Tab goes on to the subject and
    // the body, Tab in the body leaves it (Ctrl+Tab types a tab), and
    // Ctrl+Return sends under the rule of "送信".
    void composeByKeys()
    {
        Session s = open();
        AppModel &m = *s.h->model;
        QTRY_VERIFY(s.w->hasFocus(u"conversationListView"_s));

        s.w->key(Qt::Key_N, Qt::ControlModifier);
        QTRY_VERIFY(s.w->hasFocus(u"recipientField"_s));
        s.w->typeText(u"kim@example.com"_s);
        s.w->key(Qt::Key_Tab);
        QTRY_VERIFY(s.w->hasFocus(u"subjectField"_s));
        s.w->typeText(u"Keys"_s);
        s.w->key(Qt::Key_Tab);
        QTRY_VERIFY(s.w->hasFocus(u"bodyEditor"_s));
        // Nothing to send yet: Ctrl+Return does nothing.
        s.w->key(Qt::Key_Return, Qt::ControlModifier);
        QVERIFY(m.composePresented());
        s.w->typeText(u"Hello"_s);
        s.w->key(Qt::Key_Tab, Qt::ControlModifier);
        s.w->typeText(u"there"_s);
        QCOMPARE(s.w->text(u"bodyEditor"_s), u"Hello\tthere"_s);
        s.w->key(Qt::Key_Tab);
        QTRY_VERIFY(!s.w->hasFocus(u"bodyEditor"_s));
        QCOMPARE(s.w->text(u"bodyEditor"_s), u"Hello\tthere"_s);
        s.w->key(Qt::Key_Backtab, Qt::ShiftModifier);
        s.w->key(Qt::Key_Backtab, Qt::ShiftModifier);
        QTRY_VERIFY(s.w->hasFocus(u"bodyEditor"_s) || s.w->hasFocus(u"subjectField"_s));

        s.w->key(Qt::Key_Return, Qt::ControlModifier);
        QTRY_VERIFY_WITH_TIMEOUT(!m.composePresented(), 20'000);
        QTRY_VERIFY_WITH_TIMEOUT(m.detail() && m.detail()->subject == u"Keys"_s, 20'000);
        QVERIFY(onService(m, m.detail()->status, m.detail()->id));
        // The keyboard is back in the list of the new conversation.
        QTRY_VERIFY(s.w->hasFocus(u"conversationListView"_s));
    }

    // Ctrl+K: typing narrows the commands, Enter runs the chosen one; a
    // command that cannot run is listed with the reason and Enter leaves it.
    void paletteRunsCommands()
    {
        Session s = open();
        AppModel &m = *s.h->model;
        QTRY_VERIFY(s.w->hasFocus(u"conversationListView"_s));

        s.w->key(Qt::Key_K, Qt::ControlModifier);
        QTRY_VERIFY(s.w->hasFocus(u"paletteField"_s));
        s.w->typeText(u"AIで整理"_s);
        QQuickItem *row = nullptr;
        QTRY_VERIFY((row = s.w->item(u"paletteRow_runAI"_s)) != nullptr);
        QVERIFY(!row->isEnabled());
        QCOMPARE(Window::accessibleName(row),
            u"AIで整理, "_s + QKeySequence(u"Ctrl+Shift+K"_s).toString(QKeySequence::NativeText) + u" / "_s
                + QKeySequence(u"Shift+K"_s).toString(QKeySequence::NativeText) + u", 使用できません"_s);
        // Qt 6.4 publishes no disabled state for a Quick item, so the name says it.
        QAccessibleInterface *a = QAccessible::queryAccessibleInterface(row);
        QVERIFY(a);
        QCOMPARE(a->text(QAccessible::Description), u"Conversationが開かれていません"_s);
        s.w->key(Qt::Key_Return);
        QVERIFY(s.w->find(u"commandPalette"_s)->property("opened").toBool());

        // Case and the place in the name do not matter.
        QMetaObject::invokeMethod(s.w->item(u"paletteField"_s), "selectAll");
        s.w->typeText(u"DONEの"_s);
        QTRY_VERIFY(s.w->item(u"paletteRow_show_done"_s));
        s.w->key(Qt::Key_Return);
        QTRY_COMPARE(rawValue(m.selectedStatus()), u"done"_s);
        QTRY_VERIFY(!s.w->find(u"commandPalette"_s)->property("visible").toBool());
        QTRY_VERIFY(s.w->hasFocus(u"conversationListView"_s));

        // A conversation of the loaded list, by its subject.
        QTRY_VERIFY_WITH_TIMEOUT(!m.isLoading() && !m.filteredConversations().isEmpty(), 20'000);
        const ConversationListItem last = m.filteredConversations().last();
        s.w->key(Qt::Key_K, Qt::ControlModifier);
        QTRY_VERIFY(s.w->hasFocus(u"paletteField"_s));
        s.w->typeText(last.subject);
        QTRY_VERIFY(s.w->item(u"paletteRow_conversation:"_s + last.id));
        s.w->key(Qt::Key_Down);
        while (s.w->item(u"paletteList"_s)->property("currentItem").value<QQuickItem *>()->objectName()
            != u"paletteRow_conversation:"_s + last.id) {
            const int before = s.w->item(u"paletteList"_s)->property("currentIndex").toInt();
            s.w->key(Qt::Key_Down);
            QVERIFY(s.w->item(u"paletteList"_s)->property("currentIndex").toInt() > before);
        }
        s.w->key(Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(shownId(m), last.id, 20'000);
    }

    // Every command of the table has keys of its own (none shared), an item
    // in a menu, a row in the palette, and, with keys, a line in the sheet
    // that ? (or F1) opens.
    void everyCommandIsInTheMenusThePaletteAndTheSheet()
    {
        Session s = open();
        ui::CommandTable *table = s.w->table();
        QVERIFY(table);
        QVERIFY(!table->all().isEmpty());

        QSet<QString> keys;
        QSet<QString> palette;
        for (const QVariant &row : table->paletteEntries(QString()))
            palette.insert(row.toMap().value(u"id"_s).toString());
        s.w->key(Qt::Key_F1);
        QTRY_VERIFY(s.w->find(u"shortcutSheet"_s)->property("opened").toBool());
        for (const ui::Command *command : table->all()) {
            const QString id = command->id();
            for (const QString &sequence : command->shortcuts()) {
                const QString normal = QKeySequence(sequence).toString(QKeySequence::PortableText);
                QVERIFY2(!normal.isEmpty(), qPrintable(id + u": "_s + sequence));
                QVERIFY2(!keys.contains(normal), qPrintable(id + u" shares "_s + normal));
                keys.insert(normal);
            }
            QObject *action = s.w->find(id + u"Action"_s);
            QVERIFY2(action, qPrintable(id));
            QCOMPARE(action->property("text").toString(), command->name());
            bool inMenu = false;
            for (QObject *p = action->parent(); p && !inMenu; p = p->parent())
                inMenu = p->inherits("QQuickMenu");
            QVERIFY2(inMenu, qPrintable(id));
            QVERIFY2(palette.contains(id), qPrintable(id));
            if (!command->shortcuts().isEmpty())
                QVERIFY2(s.w->shown(u"sheetRow_"_s + id), qPrintable(id));
        }
        s.w->key(Qt::Key_Escape);
        QTRY_VERIFY(!s.w->find(u"shortcutSheet"_s)->property("visible").toBool());
        QTRY_VERIFY(s.w->hasFocus(u"conversationListView"_s));

        // The command's second keys work as the first.
        QTest::sendKeyEvent(QTest::Click, s.w->window, Qt::Key_Question, u"?"_s, Qt::NoModifier);
        QTRY_VERIFY(s.w->find(u"shortcutSheet"_s)->property("opened").toBool());
        s.w->key(Qt::Key_Escape);
        QTRY_VERIFY(!s.w->find(u"shortcutSheet"_s)->property("visible").toBool());
    }

    // The settings window opens with the cursor in the signature; the token
    // setup screen has its sign-in button focused.
    void firstControlsHaveTheFocus()
    {
        Session s = open();
        s.w->key(Qt::Key_Comma, Qt::ControlModifier);
        QTRY_VERIFY(s.w->hasFocus(u"signatureEditor"_s));

        Harness unsigned_(s.service->baseUrl());
        run(unsigned_.model->bootstrap());
        Window w(*unsigned_.model);
        QVERIFY(w.item(u"tokenSetupView"_s));
        QTRY_VERIFY(w.hasFocus(u"signInButton"_s));
    }
};

QTEST_MAIN(TestKeyboard)
#include "test_keyboard.moc"
