// Renders the people and AI lenses in their states for a person to look at:
// people empty, found and not found, a timeline with recipient chips and the
// button for older mail, the AI lens empty and mid-answer, and the Orro sheet
// opened from an AI conversation.
//
//     screens_people <output folder> light|dark

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

/// A model signed in with `token` and loaded; null when that failed.
std::unique_ptr<Harness> signedIn(
    const ReferenceService &service, const QString &token, Harness::Codex codex = Harness::Codex::none)
{
    auto h = std::make_unique<Harness>(service.baseUrl(), codex);
    // The pictures show times relative to the real clock, as the application does.
    h->now = QDateTime::currentMSecsSinceEpoch();
    if (!h->saveToken(token))
        return nullptr;
    run(h->model->bootstrap());
    return h;
}

/// The first visible item named `name`, or null.
QQuickItem *shownItem(const Window &w, const QString &name)
{
    return w.findAll(name).value(0);
}

/// Clicks the visible item named `name` once it is inside the window.
void clickShown(const Window &w, const QString &name)
{
    waitFor([&] {
        QQuickItem *item = shownItem(w, name);
        if (!item)
            return false;
        const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
        return QRectF(0, 0, w.window->width(), w.window->height()).contains(centre);
    });
    if (QQuickItem *item = shownItem(w, name))
        w.click(item);
    else
        QTextStream(stderr) << "screens_people: no " << name << '\n';
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3 || (args[2] != u"light"_s && args[2] != u"dark"_s)) {
        QTextStream(stderr) << "usage: screens_people <output folder> light|dark\n";
        return 2;
    }
    QDir().mkpath(args[1]);
    useScheme(args[2] == u"dark"_s);
    Pictures pictures(u"people"_s, args[1], args[2]);
    UiWarnings warnings;

    ReferenceService service;
    if (!service.start()) {
        QTextStream(stderr) << "screens_people: " << service.errorString() << '\n';
        return 1;
    }
    service.deliver({ .from = u"crowd@example.com"_s,
        .fromName = u"Crowd Host"_s,
        .subject = u"Offsite planning"_s,
        .body
        = u"Hello all — a first list of dates for the offsite is below. Please mark the ones that do not work for "
          u"you by Friday."_s,
        .cc = { u"mika@example.com"_s, u"jonas@example.com"_s, u"li.wei@example.com"_s, u"sara@example.com"_s,
            u"omar@example.com"_s } });

    {
        const auto solo = service.addUser(u"Solo"_s, u"solo@example.com"_s, u"solo"_s);
        auto h = solo ? signedIn(service, solo->token) : nullptr;
        if (!h)
            return 1;
        Window w(*h->model);
        if (!w.window)
            return 1;
        w.click(u"peopleRow"_s);
        waitFor([&] { return h->model->lens() == MailLens::people && !h->model->isLoading(); });
        pictures.save(w, u"empty"_s, 400ms);
    }
    {
        auto h = signedIn(service, service.token());
        if (!h)
            return 1;
        Window w(*h->model);
        if (!w.window)
            return 1;
        w.click(u"peopleRow"_s);
        waitFor([&] { return !h->model->people().isEmpty() && !h->model->isLoading(); });
        clickShown(w, u"personRow_ken.sato@example.co.jp"_s);
        waitFor([&] { return h->model->personTimeline().has_value() && !h->model->isLoading(); });
        pictures.save(w, u"found"_s, 400ms);
        if (QQuickItem *view = shownItem(w, u"personTimelineView"_s))
            QMetaObject::invokeMethod(view, "positionViewAtBeginning");
        pictures.save(w, u"timeline-older-mail"_s, 400ms);

        w.type(u"peopleSearchField"_s, u"crowd"_s);
        clickShown(w, u"personRow_crowd@example.com"_s);
        waitFor([&] {
            return h->model->personTimeline() && h->model->personTimeline()->person.email == u"crowd@example.com"_s
                && !h->model->isLoading();
        });
        pictures.save(w, u"timeline-chips"_s, 400ms);

        w.type(u"peopleSearchField"_s, u"-nobody"_s);
        waitFor([&] { return shownItem(w, u"peopleEmptyState"_s) != nullptr; });
        pictures.save(w, u"not-found"_s, 400ms);
    }
    {
        auto h = signedIn(service, service.token(), Harness::Codex::double_);
        if (!h)
            return 1;
        waitFor([&] { return h->model->isCodexReady(); });
        Window w(*h->model);
        if (!w.window)
            return 1;
        w.click(u"aiRow"_s);
        waitFor([&] { return h->model->lens() == MailLens::ai; });
        pictures.save(w, u"ai-empty"_s, 400ms);

        h->home.setAnswer(
            u"木曜の10時からが空いています。候補を三つ挙げると、木曜10時、金曜14時、来週月曜の9時です。"_s.toUtf8());
        clickShown(w, u"startAIConversationButton"_s);
        waitFor([&] { return shownItem(w, u"aiInput"_s) != nullptr; });
        w.type(u"aiInput"_s, u"佐藤さんとの打ち合わせ、いつが良さそう？"_s);
        w.click(u"aiSendButton"_s);
        waitFor(
            [&] { return !h->model->isSendingAIChat() && h->model->aiConversations().value(0).messages.size() == 2; });
        h->home.setControl(u"delay_ms=3000\n"_s);
        w.type(u"aiInput"_s, u"では木曜10時で返信の下書きを考えて。"_s);
        w.click(u"aiSendButton"_s);
        waitFor([&] { return h->model->isSendingAIChat(); });
        pictures.save(w, u"ai-mid-answer"_s, 400ms);
        // The turn ends before the sheet opens and before the model goes.
        waitFor([&] { return !h->model->isSendingAIChat(); });

        w.click(u"aiTodoButton"_s);
        pictures.save(w, u"ai-orro-task"_s, 400ms);
        w.key(Qt::Key_Escape);
        w.click(u"aiEventButton"_s);
        pictures.save(w, u"ai-orro-event"_s, 400ms);
        w.key(Qt::Key_Escape);
    }
    if (!UiWarnings::isEmpty())
        QTextStream(stderr) << "screens_people: warnings\n" << UiWarnings::text() << '\n';
    return pictures.failed() ? 1 : 0;
}
