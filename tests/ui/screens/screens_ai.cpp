// Renders the AI lens's states for a person to look at: what it says while
// the Codex CLI is not ready (empty lens, beside the input, the tooltip of
// "AIで整理"), a long transcript read back with "最新へ", and renaming and
// deleting a conversation (the row's menu, the name dialog, the
// confirmation).
//
//     screens_ai <output folder> light|dark

#include "ai/aiconversationstore.h"
#include "support/referenceservice.h"
#include "ui/uiharness.h"

#include <QDir>
#include <QGuiApplication>
#include <QTextStream>

using namespace Qt::StringLiterals;
using namespace quarn;
using namespace quarn::testing;
using quarn::test::ReferenceService;

namespace {

/// Waits for `done` with a bound; false when it never came.
template<typename F> bool waitFor(F done, int ms = 20'000)
{
    return QTest::qWaitFor(done, ms);
}

QQuickItem *shownItem(const Window &w, const QString &name)
{
    return w.findAll(name).value(0);
}

/// A few conversations kept on this PC, the first one long.
QList<AIConversation> conversations(qint64 now)
{
    const struct
    {
        const char16_t *id;
        const char16_t *title;
        int messages;
    } plan[] = {
        { u"ai_trip", u"京都出張の段取り", 16 },
        { u"ai_book", u"読書会のメモ", 2 },
        { u"ai_move", u"引っ越しの手続き", 4 },
    };
    const QString user = u"来週の京都出張、移動と宿の段取りを一緒に考えて。会議は火曜の午後です。"_s;
    const QString ai = u"火曜午後の会議なら、月曜の夕方に移動して駅の近くに一泊するのが楽です。"
                       u"帰りは水曜の午前の便にすると、会議が延びても慌てずに済みます。"_s;
    QList<AIConversation> list;
    qint64 at = now;
    for (const auto &p : plan) {
        AIConversation c;
        c.id = QString::fromUtf16(p.id);
        c.title = QString::fromUtf16(p.title);
        c.updatedAt = at;
        c.createdAt = at - 3'600'000;
        for (int i = 0; i < p.messages; ++i) {
            AIChatMessage m;
            m.id = c.id + u"_m"_s + QString::number(i);
            m.role = i % 2 == 0 ? AIChatRole::user : AIChatRole::assistant;
            m.content = i % 2 == 0 ? user : ai;
            m.createdAt = c.createdAt + i * 60'000;
            c.messages.append(m);
        }
        list.append(c);
        at -= 86'400'000;
    }
    return list;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3 || (args[2] != u"light"_s && args[2] != u"dark"_s)) {
        QTextStream(stderr) << "usage: screens_ai <output folder> light|dark\n";
        return 2;
    }
    QDir().mkpath(args[1]);
    useScheme(args[2] == u"dark"_s);
    Pictures pictures(u"ai"_s, args[1], args[2]);
    UiWarnings warnings;

    ReferenceService service;
    if (!service.start()) {
        QTextStream(stderr) << "screens_ai: " << service.errorString() << '\n';
        return 1;
    }

    {
        // No Codex CLI on this machine.
        auto h = std::make_unique<Harness>(service.baseUrl(), Harness::Codex::none);
        h->now = QDateTime::currentMSecsSinceEpoch();
        if (!h->saveToken(service.token()))
            return 1;
        run(h->model->bootstrap());
        Window w(*h->model);
        if (!w.window)
            return 1;
        waitFor([&] { return !h->model->filteredConversations().isEmpty(); });
        if (QQuickItem *row = shownItem(w, u"conversationRow_"_s + h->model->filteredConversations().constFirst().id))
            w.click(row);
        waitFor([&] { return h->model->detail().has_value() && shownItem(w, u"runAIButtonArea"_s); });
        w.hover(u"runAIButtonArea"_s);
        waitFor([&] {
            QObject *tip = w.find(u"runAIToolTip"_s);
            return tip && tip->property("opened").toBool();
        });
        pictures.save(w, u"run-ai-not-ready"_s, 400ms);

        w.click(u"aiRow"_s);
        waitFor([&] { return h->model->lens() == MailLens::ai; });
        pictures.save(w, u"codex-not-ready-empty"_s, 400ms);
        if (QQuickItem *start = shownItem(w, u"startAIConversationButton"_s))
            w.click(start);
        waitFor([&] { return shownItem(w, u"aiInput"_s) != nullptr; });
        w.type(u"aiInput"_s, u"明日の予定を整理して"_s);
        pictures.save(w, u"codex-not-ready"_s, 400ms);
    }
    {
        auto h = std::make_unique<Harness>(service.baseUrl(), Harness::Codex::double_);
        h->now = QDateTime::currentMSecsSinceEpoch();
        h->home.setAnswer(insightJson(u"整理済み"_s, u"needs_you"_s));
        run(AIConversationStore(h->aiFile()).save(conversations(h->now)));
        if (!h->saveToken(service.token()))
            return 1;
        run(h->model->bootstrap());
        Window w(*h->model);
        if (!w.window)
            return 1;
        w.click(u"aiRow"_s);
        waitFor([&] { return h->model->lens() == MailLens::ai && h->model->selectedAIConversation().has_value(); });
        // Read back a little: the way to the newest shows.
        if (QQuickItem *row = shownItem(w, u"aiRow_ai_trip"_s))
            w.click(row);
        w.key(Qt::Key_Space, Qt::ShiftModifier);
        waitFor([&] { return shownItem(w, u"aiJumpToLatestButton"_s) != nullptr; });
        pictures.save(w, u"read-back"_s, 400ms);

        // The row's menu.
        if (QQuickItem *row = shownItem(w, u"aiRow_ai_book"_s)) {
            QTest::mouseClick(
                w.window, Qt::RightButton, {}, row->mapToScene(QPointF(row->width() / 2, row->height() / 2)).toPoint());
        }
        waitFor([&] { return w.find(u"aiRowMenu"_s)->property("opened").toBool(); });
        pictures.save(w, u"row-menu"_s, 400ms);
        w.key(Qt::Key_Escape);
        waitFor([&] { return !w.find(u"aiRowMenu"_s)->property("visible").toBool(); });

        w.key(Qt::Key_F2);
        waitFor([&] { return w.find(u"aiRenameDialog"_s)->property("opened").toBool(); });
        pictures.save(w, u"rename"_s, 400ms);
        w.key(Qt::Key_Escape);
        waitFor([&] { return !w.find(u"aiRenameDialog"_s)->property("visible").toBool(); });

        w.key(Qt::Key_Delete);
        waitFor([&] { return w.find(u"aiDeleteDialog"_s)->property("opened").toBool(); });
        pictures.save(w, u"delete-confirm"_s, 400ms);
        w.key(Qt::Key_Escape);
        waitUntilIdle(*h->model);
    }
    if (!UiWarnings::isEmpty())
        QTextStream(stderr) << "screens_ai: warnings\n" << UiWarnings::text() << '\n';
    return pictures.failed() ? 1 : 0;
}
