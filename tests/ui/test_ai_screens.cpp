// The AI lens as a user works it: reading a long transcript (where it opens,
// the reading place while an answer arrives, the way back to the newest),
// which conversation shows a turn in progress, what the screens say while
// the Codex CLI is not ready, and renaming and deleting conversations by
// menu and keys. Every step goes through the window; the model behind it is
// the real one on the reference service with the Codex CLI double.

#include "ai/aiconversationstore.h"
#include "support/referenceservice.h"
#include "ui/uiharness.h"

#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;
using namespace quarn;
using namespace quarn::testing;
using quarn::test::ReferenceService;

namespace {

constexpr int kLoadWait = 20'000;

/// The first item named `name` that is on screen.
QQuickItem *visible(const Window &w, const QString &name)
{
    return w.findAll(name).value(0);
}

/// A conversation of `count` messages, long enough together to need
/// scrolling, the user and the AI taking turns.
AIConversation longConversation(const QString &id, const QString &title, qint64 updatedAt, int count = 24)
{
    AIConversation c;
    c.id = id;
    c.title = title;
    c.createdAt = updatedAt - count;
    c.updatedAt = updatedAt;
    for (int i = 0; i < count; ++i) {
        AIChatMessage m;
        m.id = u"msg_%1_%2"_s.arg(id).arg(i);
        m.role = i % 2 == 0 ? AIChatRole::user : AIChatRole::assistant;
        m.content = u"%1 の %2 番目。\n続きの行。\nもう一行。"_s.arg(title).arg(i + 1);
        m.createdAt = c.createdAt + i;
        c.messages.append(m);
    }
    return c;
}

QList<AIConversation> stored(const Harness &h)
{
    AIConversationStore store(h.aiFile());
    return blockOn(store.load(), std::chrono::seconds(20));
}

} // namespace

class TestAIScreens : public QObject
{
    Q_OBJECT

    struct Session
    {
        Session() = default;
        Session(Session &&) = default;
        ~Session()
        {
            if (h) {
                // A turn held by the double is let go before the model goes.
                h->home.release();
                waitUntilIdle(*h->model);
            }
        }
        std::unique_ptr<Harness> h;
        std::unique_ptr<Window> w;
    };
    /// Signed in to the demo mailbox, with `conversations` stored
    /// beforehand, started (its triage pass over); the window on it, and the
    /// double steered by `control` from then on.
    Session open(Harness::Codex codex, const QList<AIConversation> &conversations = {}, const QString &control = {})
    {
        Session s;
        s.h = std::make_unique<Harness>(m_service.baseUrl(), codex);
        // Start-up triages the inbox: it leaves it for good.
        s.h->home.setAnswer(insightJson(u"整理済み"_s, u"needs_you"_s));
        if (!conversations.isEmpty())
            run(AIConversationStore(s.h->aiFile()).save(conversations));
        if (!s.h->saveToken(m_service.token()))
            qFatal("no token");
        run(s.h->model->bootstrap());
        s.h->home.setAnswer(QByteArrayLiteral("承知しました。"));
        s.h->home.setControl(control);
        s.w = std::make_unique<Window>(*s.h->model);
        if (!s.w->window)
            qFatal("%s", qPrintable(UiWarnings::text()));
        return s;
    }
    static void enterAILens(Session &s)
    {
        s.w->click(u"aiRow"_s);
        QTRY_COMPARE_WITH_TIMEOUT(s.h->model->lens(), MailLens::ai, kLoadWait);
    }
    static bool atEnd(const Window &w)
    {
        QQuickItem *transcript = visible(w, u"aiTranscript"_s);
        return transcript && QQuickTest::qWaitForPolish(w.window) && transcript->property("atYEnd").toBool();
    }
    /// The message at the top of the transcript's view.
    static int topMessage(const Window &w)
    {
        QQuickItem *transcript = visible(w, u"aiTranscript"_s);
        int index = -1;
        QMetaObject::invokeMethod(transcript, "indexAt", Q_RETURN_ARG(int, index), Q_ARG(qreal, 40),
            Q_ARG(qreal, transcript->property("contentY").toReal() + 30));
        return index;
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_service.start(), qPrintable(m_service.errorString())); }
    void init() { UiWarnings::clear(); }
    void cleanup() { QVERIFY2(UiWarnings::isEmpty(), qPrintable(UiWarnings::text())); }

    // The lens and each conversation open at the newest message, also when
    // the next one has as many messages as the last. Scrolled up, an answer
    // that arrives leaves the reading place alone and "最新へ" leads back.
    void transcriptOpensAtTheNewestAndKeepsTheReadingPlace()
    {
        const AIConversation first = longConversation(u"ai_first"_s, u"旅行の計画"_s, 2'000);
        const AIConversation second = longConversation(u"ai_second"_s, u"本の感想"_s, 1'000);
        Session s = open(Harness::Codex::double_, { first, second }, u"hold=1\n"_s);
        Window &w = *s.w;
        AppModel &model = *s.h->model;
        QTRY_VERIFY_WITH_TIMEOUT(model.isCodexReady(), kLoadWait);

        enterAILens(s);
        QTRY_COMPARE(model.selectedAIConversationID(), std::optional(first.id));
        QTRY_VERIFY(atEnd(w));
        QVERIFY(!w.shown(u"aiJumpToLatestButton"_s));

        w.click(visible(w, u"aiRow_"_s + second.id));
        QTRY_COMPARE(w.text(u"aiTitle"_s), second.title);
        QTRY_VERIFY(atEnd(w));

        // Back from another lens: the end again.
        w.click(u"statusRow_needs_you"_s);
        QTRY_COMPARE(model.lens(), MailLens::work);
        enterAILens(s);
        QTRY_VERIFY(atEnd(w));

        // The user asks; their message and the thinking row are in sight.
        w.type(u"aiInput"_s, u"要点をまとめて"_s);
        w.key(Qt::Key_Return, Qt::ControlModifier);
        QTRY_VERIFY(model.isSendingAIChat());
        QTRY_VERIFY(w.shown(u"aiThinkingRow"_s));
        QTRY_VERIFY(atEnd(w));

        // While the AI thinks the user reads back a page (Shift+Space in the list).
        w.click(visible(w, u"aiRow_"_s + second.id));
        QTRY_VERIFY(w.hasFocus(u"aiConversationListView"_s));
        w.key(Qt::Key_Space, Qt::ShiftModifier);
        QTRY_VERIFY(!atEnd(w));
        QTRY_VERIFY(w.shown(u"aiJumpToLatestButton"_s));
        QCOMPARE(w.text(u"aiJumpToLatestButton"_s), u"最新へ"_s);
        const int reading = topMessage(w);
        QVERIFY(reading >= 0);

        s.h->home.release();
        QTRY_VERIFY_WITH_TIMEOUT(!model.isSendingAIChat(), kLoadWait);
        QCOMPARE(model.selectedAIConversation()->messages.size(), second.messages.size() + 2);
        QVERIFY(QQuickTest::qWaitForPolish(w.window));
        QTest::qWait(100);
        QVERIFY(!atEnd(w));
        QCOMPARE(topMessage(w), reading);
        QVERIFY(w.shown(u"aiJumpToLatestButton"_s));

        w.click(u"aiJumpToLatestButton"_s);
        QTRY_VERIFY(atEnd(w));
        QTRY_VERIFY(!w.shown(u"aiJumpToLatestButton"_s));
    }

    // A turn shows only in its own conversation: a new one started
    // meanwhile is quiet, and coming back shows the turn still running.
    void onlyTheConversationWhoseTurnRunsShowsIt()
    {
        Session s = open(Harness::Codex::double_, {}, u"hold=1\n"_s);
        Window &w = *s.w;
        AppModel &model = *s.h->model;
        QTRY_VERIFY_WITH_TIMEOUT(model.isCodexReady(), kLoadWait);
        enterAILens(s);
        w.click(u"startAIConversationButton"_s);
        QTRY_VERIFY(w.shown(u"aiInput"_s));
        const QString asked = model.aiConversations().constFirst().id;
        w.type(u"aiInput"_s, u"明日の天気は？"_s);
        w.key(Qt::Key_Return, Qt::ControlModifier);
        QTRY_VERIFY(w.shown(u"aiThinkingRow"_s));
        QCOMPARE(w.text(u"aiSendButton"_s), u"応答中…"_s);

        w.click(u"newAIConversationButton"_s);
        QTRY_COMPARE(model.aiConversations().size(), 2);
        QTRY_COMPARE(w.text(u"aiTitle"_s), u"新しい会話"_s);
        QVERIFY(model.isSendingAIChat());
        QVERIFY(!w.shown(u"aiThinkingRow"_s));
        QCOMPARE(w.text(u"aiSendButton"_s), u"送る"_s);
        // Nothing can be sent until that answer is in, and the pane says why.
        w.type(u"aiInput"_s, u"別の質問"_s);
        QVERIFY(!w.isEnabled(u"aiSendButton"_s));
        QVERIFY(w.shown(u"aiBusyElsewhere"_s));

        w.click(visible(w, u"aiRow_"_s + asked));
        QTRY_VERIFY(w.shown(u"aiThinkingRow"_s));
        QCOMPARE(w.text(u"aiSendButton"_s), u"応答中…"_s);
        QVERIFY(!w.shown(u"aiBusyElsewhere"_s));

        s.h->home.release();
        QTRY_VERIFY_WITH_TIMEOUT(!model.isSendingAIChat(), kLoadWait);
        QVERIFY(!w.shown(u"aiThinkingRow"_s));
        QCOMPARE(w.text(u"aiSendButton"_s), u"送る"_s);
        QVERIFY(w.isEnabled(u"aiSendButton"_s));
    }

    void codexNotReadyIsExplained_data()
    {
        QTest::addColumn<bool>("installed");
        QTest::addColumn<QString>("problem");
        QTest::addColumn<QString>("command");
        QTest::newRow("not installed") << false << u"Codex CLI 0.147.0が見つかりません。"_s
                                       << u"sudo npm install -g @openai/codex@0.147.0"_s;
        QTest::newRow("not logged in") << true << u"Codex CLIへログインしてください。"_s << u"codex login"_s;
    }

    // The AI pane says why the AI cannot answer and what to do, in the empty
    // lens and beside the input; "AIで整理" is disabled and its tooltip says
    // the same. Once the cause is gone, "もう一度確認" makes it usable.
    void codexNotReadyIsExplained()
    {
        QFETCH(bool, installed);
        QFETCH(QString, problem);
        QFETCH(QString, command);
        Session s = open(installed ? Harness::Codex::double_ : Harness::Codex::none);
        if (installed) {
            // Logged out after start-up: the user asks again and is told why.
            s.h->home.setControl(u"login_exit=1\n"_s);
            run(s.h->model->checkCodex());
        }
        Window &w = *s.w;
        AppModel &model = *s.h->model;
        QTRY_VERIFY_WITH_TIMEOUT(!model.isCheckingCodex(), kLoadWait);
        QVERIFY(!model.isCodexReady());

        // The header of an open conversation.
        QTRY_VERIFY_WITH_TIMEOUT(!model.filteredConversations().isEmpty(), kLoadWait);
        w.click(visible(w, u"conversationRow_"_s + model.filteredConversations().constFirst().id));
        QTRY_VERIFY_WITH_TIMEOUT(model.detail(), kLoadWait);
        QTRY_VERIFY(w.shown(u"runAIButton"_s));
        QVERIFY(!w.isEnabled(u"runAIButton"_s));
        w.hover(u"runAIButtonArea"_s);
        QObject *tip = w.find(u"runAIToolTip"_s);
        QVERIFY(tip);
        QTRY_VERIFY(tip->property("visible").toBool());
        const QString tooltip = tip->property("text").toString();
        QVERIFY2(tooltip.startsWith(u"Codex CLIの準備ができていません。"_s), qPrintable(tooltip));
        QVERIFY2(tooltip.contains(problem) && tooltip.contains(command), qPrintable(tooltip));
        w.click(u"runAIButtonArea"_s);
        QVERIFY(!model.isRunningAI());
        QVERIFY(!model.errorMessage());
        // The keyboard reaches it in the button's place and hears the same.
        w.hover(u"conversationHeader"_s);
        QTRY_VERIFY(!tip->property("visible").toBool());
        w.click(u"statusMenuButton"_s);
        w.key(Qt::Key_Escape);
        QTRY_VERIFY(w.hasFocus(u"statusMenuButton"_s));
        w.key(Qt::Key_Tab);
        QTRY_VERIFY(w.hasFocus(u"runAIButtonArea"_s));
        QTRY_VERIFY(tip->property("visible").toBool());
        QCOMPARE(Window::accessibleName(w.item(u"runAIButtonArea"_s)), u"AIで整理"_s);

        // The AI lens, empty, and then beside the input.
        enterAILens(s);
        QTRY_VERIFY(w.shown(u"codexNotReadyNoticeEmpty"_s));
        w.click(u"startAIConversationButton"_s);
        QTRY_VERIFY(w.shown(u"aiInput"_s));
        QTRY_VERIFY(w.shown(u"codexNotReadyNotice"_s));
        QCOMPARE(
            visible(w, u"codexNotReadyTitle"_s)->property("text").toString(), u"Codex CLIの準備ができていません"_s);
        QCOMPARE(visible(w, u"codexProblemText"_s)->property("text").toString(), problem);
        QVERIFY(!visible(w, u"codexRemedyText"_s)->property("text").toString().isEmpty());
        QCOMPARE(visible(w, u"codexFixCommand"_s)->property("text").toString(), command);
        w.type(u"aiInput"_s, u"こんにちは"_s);
        QVERIFY(!w.isEnabled(u"aiSendButton"_s));

        if (!installed)
            return;
        // The user logs in and checks again.
        s.h->home.setControl(QString());
        w.click(visible(w, u"recheckCodexButton"_s));
        QTRY_VERIFY_WITH_TIMEOUT(model.isCodexReady(), kLoadWait);
        QTRY_VERIFY(!w.shown(u"codexNotReadyNotice"_s));
        QTRY_VERIFY(w.isEnabled(u"aiSendButton"_s));
    }

    // While an automatic pass runs, "AIで整理" is disabled and says why,
    // rather than doing nothing.
    void runAIWaitsForTheAutomaticPass()
    {
        Session s = open(Harness::Codex::double_);
        Window &w = *s.w;
        AppModel &model = *s.h->model;
        QTRY_VERIFY_WITH_TIMEOUT(model.isCodexReady(), kLoadWait);
        QTRY_VERIFY_WITH_TIMEOUT(!model.filteredConversations().isEmpty(), kLoadWait);
        w.click(visible(w, u"conversationRow_"_s + model.filteredConversations().constFirst().id));
        QTRY_VERIFY_WITH_TIMEOUT(model.detail(), kLoadWait);
        QTRY_VERIFY(w.isEnabled(u"runAIButton"_s));

        // New mail arrives; the reload's pass triages it, held by the double.
        s.h->home.setAnswer(insightJson(u"確認待ち"_s, u"needs_you"_s));
        s.h->home.setControl(u"hold=1\n"_s);
        QVERIFY(m_service.deliver({ .from = u"new.sender@example.com"_s,
            .fromName = u"New Sender"_s,
            .subject = u"届いたばかり"_s,
            .body = u"確認をお願いします。"_s }));
        w.key(Qt::Key_F5);
        QTRY_VERIFY_WITH_TIMEOUT(model.isAutoTriaging() && model.isRunningAI(), kLoadWait);
        QTRY_VERIFY(!w.isEnabled(u"runAIButton"_s));
        w.hover(u"runAIButtonArea"_s);
        QObject *tip = w.find(u"runAIToolTip"_s);
        QTRY_VERIFY(tip->property("visible").toBool());
        QCOMPARE(tip->property("text").toString(), u"AIが整理しています"_s);

        s.h->home.release();
        QTRY_VERIFY_WITH_TIMEOUT(!model.isAutoTriaging(), kLoadWait);
        QTRY_VERIFY_WITH_TIMEOUT(model.detail(), kLoadWait);
        QTRY_VERIFY(w.isEnabled(u"runAIButton"_s));
    }

    // Renamed from the row's menu and with F2, deleted with Delete after a
    // confirmation that names the conversation; each change is in the file
    // at once, and deleting the shown one shows its neighbour.
    void renameAndDeleteByMenuAndKeys()
    {
        const AIConversation first = longConversation(u"ai_first"_s, u"旅行の計画"_s, 3'000, 2);
        const AIConversation second = longConversation(u"ai_second"_s, u"本の感想"_s, 2'000, 2);
        const AIConversation third = longConversation(u"ai_third"_s, u"引っ越し"_s, 1'000, 2);
        Session s = open(Harness::Codex::double_, { first, second, third });
        Window &w = *s.w;
        AppModel &model = *s.h->model;
        enterAILens(s);
        QTRY_COMPARE(model.selectedAIConversationID(), std::optional(first.id));

        // The secondary button on a row: its menu, "名前を変更…".
        QQuickItem *row = visible(w, u"aiRow_"_s + second.id);
        QVERIFY(row);
        QVERIFY(QQuickTest::qWaitForPolish(w.window));
        QTest::mouseClick(
            w.window, Qt::RightButton, {}, row->mapToScene(QPointF(row->width() / 2, row->height() / 2)).toPoint());
        QTRY_COMPARE(model.selectedAIConversationID(), std::optional(second.id));
        QTRY_VERIFY(w.find(u"aiRowMenu"_s)->property("opened").toBool());
        w.click(u"aiRenameMenuItem"_s);
        QObject *rename = w.find(u"aiRenameDialog"_s);
        QTRY_VERIFY(rename->property("opened").toBool());
        QCOMPARE(w.text(u"aiRenameField"_s), second.title);
        QTRY_VERIFY(w.hasFocus(u"aiRenameField"_s));
        // The title is selected: typing replaces it.
        w.typeText(u"  読書会のメモ "_s);
        w.key(Qt::Key_Return);
        QTRY_VERIFY(!rename->property("visible").toBool());
        QTRY_COMPARE(model.aiConversations().at(1).title, u"読書会のメモ"_s);
        QTRY_COMPARE(stored(*s.h).at(1).title, u"読書会のメモ"_s);
        // A new name is no new activity: the order stays.
        QCOMPARE(model.aiConversations().at(1).updatedAt, second.updatedAt);
        QCOMPARE(w.text(u"aiTitle"_s), u"読書会のメモ"_s);

        // F2 in the list, then Escape: nothing changes. A name of blanks cannot be given.
        QTRY_VERIFY(w.hasFocus(u"aiConversationListView"_s));
        w.key(Qt::Key_F2);
        QTRY_VERIFY(rename->property("opened").toBool());
        QTRY_VERIFY(w.hasFocus(u"aiRenameField"_s));
        w.typeText(u"   "_s);
        QVERIFY(!w.isEnabled(u"aiRenameConfirmButton"_s));
        w.key(Qt::Key_Escape);
        QTRY_VERIFY(!rename->property("visible").toBool());
        QCOMPARE(model.aiConversations().at(1).title, u"読書会のメモ"_s);

        // Delete asks first, naming the conversation; "キャンセル" keeps it.
        QTRY_VERIFY(w.hasFocus(u"aiConversationListView"_s));
        w.key(Qt::Key_Delete);
        QObject *confirm = w.find(u"aiDeleteDialog"_s);
        QTRY_VERIFY(confirm->property("opened").toBool());
        QVERIFY2(w.text(u"aiDeleteQuestion"_s).contains(u"「読書会のメモ」を削除しますか？"_s),
            qPrintable(w.text(u"aiDeleteQuestion"_s)));
        w.click(u"aiDeleteCancelButton"_s);
        QTRY_VERIFY(!confirm->property("visible").toBool());
        QCOMPARE(model.aiConversations().size(), 3);

        // Confirmed with Enter: gone from the list and the file; the next one is shown.
        QTRY_VERIFY(w.hasFocus(u"aiConversationListView"_s));
        w.key(Qt::Key_Delete);
        QTRY_VERIFY(confirm->property("opened").toBool());
        w.key(Qt::Key_Return);
        QTRY_VERIFY(!confirm->property("visible").toBool());
        QTRY_COMPARE(model.aiConversations().size(), 2);
        QCOMPARE(model.selectedAIConversationID(), std::optional(third.id));
        QTRY_COMPARE(stored(*s.h).size(), 2);
        QCOMPARE(stored(*s.h).at(1).id, third.id);
        QTRY_COMPARE(w.text(u"aiTitle"_s), third.title);
        // (A row the list keeps aside for reuse has no index.)
        QTRY_VERIFY(
            !visible(w, u"aiRow_"_s + second.id) || visible(w, u"aiRow_"_s + second.id)->property("index").toInt() < 0);

        // The last one of the list: the one before it is shown.
        QTRY_VERIFY(w.hasFocus(u"aiConversationListView"_s));
        w.key(Qt::Key_Delete);
        QTRY_VERIFY(confirm->property("opened").toBool());
        w.click(u"aiDeleteConfirmButton"_s);
        QTRY_COMPARE(model.aiConversations().size(), 1);
        QCOMPARE(model.selectedAIConversationID(), std::optional(first.id));
        QTRY_COMPARE(stored(*s.h), model.aiConversations());
        QVERIFY(!model.errorMessage());
    }

private:
    ReferenceService m_service;
};

QTEST_MAIN(TestAIScreens)
#include "test_ai_screens.moc"
