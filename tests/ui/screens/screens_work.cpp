// Pictures of the work lens: the main window on the reference service's demo
// mailbox, one PNG per state. Arguments: output folder, "light" or "dark".

#include "support/referenceservice.h"
#include "ui/uiharness.h"

#include <QDir>
#include <QGuiApplication>
#include <QTextStream>

#include <functional>

using namespace Qt::StringLiterals;
using namespace quarn;
using namespace quarn::testing;
using quarn::test::ReferenceService;

namespace {

/// Lets bindings, layouts and image loads settle before a picture.
void settle()
{
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
        QTest::qWait(40);
    }
}

/// The id of the conversation with `subject` in `status`'s list.
QString conversationId(AppModel &model, ConversationStatus status, const QString &subject)
{
    run(model.selectStatus(status));
    for (const ConversationListItem &c : model.filteredConversations()) {
        if (c.subject == subject)
            return c.id;
    }
    return {};
}

/// Shows `subject` from `status`'s list in the pane.
void show(AppModel &model, ConversationStatus status, const QString &subject)
{
    const QString id = conversationId(model, status, subject);
    if (id.isEmpty()) {
        QTextStream(stderr) << "screens_work: no conversation " << subject << '\n';
        return;
    }
    run(model.openConversation(id));
    settle();
}

/// Pictures of an account whose lists are all empty.
bool renderEmptyMailbox(Pictures &pictures)
{
    ReferenceService service(ReferenceService::Data::Empty);
    if (!service.start())
        return false;
    const auto account = service.addUser(u"Kim Lee"_s, u"kim@example.com"_s, u"kim"_s);
    if (!account)
        return false;
    Harness h(service.baseUrl());
    if (!h.saveToken(account->token))
        return false;
    run(h.model->bootstrap());
    Window w(*h.model);
    if (!w.window)
        return false;
    settle();
    pictures.save(w, u"list-empty"_s);
    return true;
}

/// A message whose sender wrote markup, entities, a remote image, a link and
/// a direction override into every field: the list and the pane show it as
/// written (nothing is fetched; 127.0.0.1:9 is the discard port).
bool renderHostileMail(Pictures &pictures)
{
    ReferenceService service;
    if (!service.start())
        return false;
    const QString image = u"<img src=\"http://127.0.0.1:9/beacon.png\">"_s;
    const auto delivered = service.deliver({ .from = u"billing@example.com"_s,
        .fromName = u"Billing "_s + image + u" <b>Support</b> \u202Egnp.exe"_s,
        .subject = u"<font size=40>Invoice</font> &lt;b&gt; "_s + image,
        .body = u"Hello <b>Kim</b> &amp; team,\n"_s + image + u"\n<a href=\"http://127.0.0.1:9/pay\">Pay now</a>\n"_s
            + u"Terms: https://example.com/terms."_s });
    if (!delivered)
        return false;
    Harness h(service.baseUrl());
    if (!h.saveToken(service.token()))
        return false;
    run(h.model->bootstrap());
    Window w(*h.model);
    if (!w.window)
        return false;
    run(h.model->selectStatus(ConversationStatus::inbox));
    run(h.model->openConversation(delivered->conversationId));
    settle();
    pictures.save(w, u"pane-hostile-mail"_s);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3 || (args[2] != u"light"_s && args[2] != u"dark"_s)) {
        QTextStream(stderr) << "usage: screens_work <output folder> light|dark\n";
        return 2;
    }
    QDir().mkpath(args[1]);
    useScheme(args[2] == u"dark"_s);
    Pictures pictures(u"work"_s, args[1], args[2]);
    UiWarnings warnings;

    ReferenceService service;
    if (!service.start()) {
        QTextStream(stderr) << "screens_work: " << service.errorString() << '\n';
        return 1;
    }
    // Without the Codex CLI the demo mailbox stays as seeded (no triage pass
    // moves its inbox), so every AI shape is there to be shown.
    Harness h(service.baseUrl());
    if (!h.saveToken(service.token()))
        return 1;
    run(h.model->bootstrap());

    Window w(*h.model);
    if (!w.window) {
        QTextStream(stderr) << "screens_work: the window did not load\n" << UiWarnings::text() << '\n';
        return 1;
    }
    AppModel &model = *h.model;
    settle();
    pictures.save(w, u"workspace"_s);

    // The list: unread and AI rows, then a search without a match.
    run(model.selectStatus(ConversationStatus::inbox));
    settle();
    pictures.save(w, u"list-inbox"_s);
    model.setSearchText(u"zzqx"_s);
    settle();
    pictures.save(w, u"list-no-match"_s);
    model.setSearchText(QString());

    // The pane, one per shape of the AI block and of the messages.
    show(model, ConversationStatus::needsYou, u"来週の打ち合わせ日程について"_s);
    pictures.save(w, u"pane-needs-you"_s);
    show(model, ConversationStatus::aiWorking, u"請求書 #2024-118 の確認"_s);
    pictures.save(w, u"pane-ai-working"_s);
    show(model, ConversationStatus::inbox, u"写真を共有しました"_s);
    pictures.save(w, u"pane-no-summary"_s);
    show(model, ConversationStatus::waiting, u"オフィス移転のお知らせ"_s);
    pictures.save(w, u"pane-own-and-other"_s);
    show(model, ConversationStatus::waiting, u"Conference badge pickup"_s);
    pictures.save(w, u"pane-failed-delivery"_s);
    show(model, ConversationStatus::waiting, u"ランチどうする？"_s);
    model.setReplyText(u"了解です！"_s);
    settle();
    pictures.save(w, u"pane-chat-reply"_s);
    model.setReplyText(QString());

    // The status menu and the Orro sheet, opened by their buttons.
    show(model, ConversationStatus::needsYou, u"Contract renewal — signature needed by Friday"_s);
    w.click(u"statusMenuButton"_s);
    settle();
    pictures.save(w, u"status-menu"_s);
    w.key(Qt::Key_Escape);
    settle();
    w.click(u"todoButton"_s);
    settle();
    pictures.save(w, u"orro-task"_s);
    w.key(Qt::Key_Escape);
    settle();
    w.click(u"eventButton"_s);
    settle();
    pictures.save(w, u"orro-event"_s);
    w.key(Qt::Key_Escape);
    settle();

    model.setErrorMessage(u"送信できませんでした。ネットワーク接続を確認してください。"_s);
    settle();
    pictures.save(w, u"alert"_s);
    w.key(Qt::Key_Escape);
    settle();

    if (!renderHostileMail(pictures)) {
        QTextStream(stderr) << "screens_work: the hostile mail could not be shown\n";
        return 1;
    }
    if (!renderEmptyMailbox(pictures)) {
        QTextStream(stderr) << "screens_work: the empty mailbox could not be shown\n";
        return 1;
    }
    if (!UiWarnings::isEmpty())
        QTextStream(stderr) << UiWarnings::text() << '\n';
    return pictures.failed() ? 1 : 0;
}
