// Pictures of what is on its way: a status list that has not answered, a
// conversation and a person chosen while their answers are held back, and a
// person whose timeline failed to load. A scripted service holds the answers
// (the reference service always answers at once). Arguments: output folder,
// "light" or "dark".

#include "ui/uiharness.h"

#include <QDateTime>
#include <QDir>
#include <QGuiApplication>
#include <QTextStream>

#include <functional>

using namespace Qt::StringLiterals;
using namespace quarn;
using namespace quarn::testing;

namespace {

/// Lets bindings, layouts and image loads settle before a picture.
void settle()
{
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
        QTest::qWait(40);
    }
}

/// Waits (20 s at most) until `done` holds.
bool waitFor(const std::function<bool()> &done)
{
    return QTest::qWaitFor(done, 20'000);
}

PersonTimeline timelineOf(const PersonSummary &person, const QString &subject, const QString &body)
{
    PersonTimeline timeline;
    timeline.person = person;
    PersonTimelineMessage m;
    m.id = u"msg_"_s + person.displayName;
    m.conversationId = u"conv_"_s + person.displayName;
    m.subject = subject;
    m.conversationStatus = ConversationStatus::needsYou;
    m.senderEmail = person.email;
    m.senderName = person.displayName;
    m.channel = u"email"_s;
    m.bodyText = body;
    m.createdAt = QDateTime::currentMSecsSinceEpoch() - 3'600'000;
    timeline.messages = { m };
    return timeline;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3 || (args[2] != u"light"_s && args[2] != u"dark"_s)) {
        QTextStream(stderr) << "usage: screens_loading <output folder> light|dark\n";
        return 2;
    }
    QDir().mkpath(args[1]);
    useScheme(args[2] == u"dark"_s);
    Pictures pictures(u"loading"_s, args[1], args[2]);
    UiWarnings warnings;

    FakeService service;
    ConversationListItem first = item(u"conv_first"_s, ConversationStatus::needsYou, u"来週の打ち合わせ日程について"_s,
        u"佐藤 健"_s, u"ken.sato@example.co.jp"_s, u"候補日を3つお送りします。"_s);
    ConversationListItem second = item(u"conv_second"_s, ConversationStatus::needsYou, u"Q3ロードマップレビュー"_s,
        u"Maria Lopez"_s, u"maria@example.com"_s, u"Slides attached for Thursday."_s);
    first.lastMessageAt = second.lastMessageAt = QDateTime::currentMSecsSinceEpoch() - 7'200'000;
    for (ConversationStatus status : allCases<ConversationStatus>())
        service.route("GET", stateTarget(status),
            mailState(status,
                status == ConversationStatus::needsYou ? QList<ConversationListItem> { first, second }
                                                       : QList<ConversationListItem>()));
    service.route("GET", "/api/conversations/conv_first", detailOf(first));
    const PersonSummary ken { u"ken.sato@example.co.jp"_s, u"佐藤 健"_s, 3, 12, first.lastMessageAt, 1, 0 };
    const PersonSummary maria { u"maria@example.com"_s, u"Maria Lopez"_s, 2, 5, second.lastMessageAt, 0, 1 };
    service.route("GET", "/api/people", PeopleResponse { { ken, maria } });
    service.route("GET", "/api/people/ken.sato@example.co.jp/timeline",
        timelineOf(ken, first.subject, u"候補日を3つお送りします。"_s));
    service.route("GET", "/api/people/maria@example.com/timeline", 500, R"({"error":"server_error"})");

    Harness h(service.baseUrl());
    if (!h.saveToken(u"tok_mail_"_s + QString(43, u's')))
        return 1;
    run(h.model->bootstrap());
    Window w(*h.model);
    if (!w.window) {
        QTextStream(stderr) << "screens_loading: the window did not load\n" << UiWarnings::text() << '\n';
        return 1;
    }
    AppModel &model = *h.model;
    settle();

    // A conversation chosen while the previous one is shown.
    run(model.openConversation(first.id));
    const std::shared_ptr<Gate> detail = service.hold("GET", "/api/conversations/conv_second");
    w.click(u"conversationRow_conv_second"_s);
    if (!waitFor([&] { return detail->arrived() == 1 && w.shown(u"openingConversationState"_s); }))
        return 1;
    settle();
    pictures.save(w, u"conversation-on-its-way"_s);
    detail->open();

    // A status whose list has not answered yet.
    const std::shared_ptr<Gate> list = service.hold("GET", stateTarget(ConversationStatus::done));
    w.click(u"statusRow_done"_s);
    if (!waitFor([&] { return list->arrived() == 1 && w.shown(u"listLoadingState"_s); }))
        return 1;
    settle();
    pictures.save(w, u"list-on-its-way"_s);
    list->open();
    if (!waitFor([&] { return !model.isLoading(); }))
        return 1;

    // A person chosen while their timeline is on its way, then one whose
    // timeline failed.
    run(model.selectPeople());
    const std::shared_ptr<Gate> person = service.hold("GET", "/api/people/ken.sato@example.co.jp/timeline");
    auto opening = model.openPerson(ken.email);
    if (!waitFor([&] { return person->arrived() == 1 && w.shown(u"openingPersonState"_s); }))
        return 1;
    settle();
    pictures.save(w, u"person-on-its-way"_s);
    person->open();
    run(std::move(opening));
    run(model.openPerson(maria.email));
    model.setErrorMessage(std::nullopt);
    settle();
    pictures.save(w, u"person-failed"_s);

    if (!UiWarnings::isEmpty())
        QTextStream(stderr) << UiWarnings::text() << '\n';
    return pictures.failed() ? 1 : 0;
}
