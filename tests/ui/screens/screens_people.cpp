// Renders the people and AI lenses in their states for a person to look at:
// people empty, found and not found, a timeline with recipient chips and the
// button for older mail, the AI lens empty and mid-answer.
//
//     screens_people <output folder> light|dark

#include "app/appcommands.h"
#include "app/appmodelharness.h"
#include "core/blocking.h"
#include "support/referenceservice.h"
#include "ui/mainwindow.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPalette>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>

#include <cstdio>

using namespace Qt::StringLiterals;
using namespace quarn;
using namespace quarn::testing;
using quarn::test::ReferenceService;

namespace {

QPalette darkPalette()
{
    QPalette p;
    const QColor window(0x1f, 0x20, 0x25);
    const QColor base(0x17, 0x18, 0x1c);
    const QColor text(0xe8, 0xe8, 0xec);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, QColor(0x2b, 0x2c, 0x32));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::Highlight, QColor(0x4f, 0x45, 0xb8));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::ToolTipBase, window);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, QColor(0x8a, 0x8b, 0x92));
    p.setColor(QPalette::Mid, QColor(0x3a, 0x3b, 0x42));
    p.setColor(QPalette::Light, QColor(0x44, 0x45, 0x4c));
    p.setColor(QPalette::Dark, QColor(0x10, 0x10, 0x14));
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x77, 0x78, 0x80));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x77, 0x78, 0x80));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x77, 0x78, 0x80));
    return p;
}

class Screen
{
public:
    Screen(AppModel &model, QString folder, QString scheme)
        : commands(model)
        , m_folder(std::move(folder))
        , m_scheme(std::move(scheme))
    {
        window = ui::loadMainWindow(engine, model, commands);
    }

    [[nodiscard]] QQuickItem *item(const QString &name) const { return find(window->contentItem(), name); }
    static QQuickItem *find(QQuickItem *item, const QString &name)
    {
        if (!item)
            return nullptr;
        if (item->objectName() == name && item->isVisible())
            return item;
        for (QQuickItem *child : item->childItems()) {
            if (QQuickItem *found = find(child, name))
                return found;
        }
        return nullptr;
    }
    void click(const QString &name) const
    {
        QQuickItem *target = item(name);
        if (!target) {
            std::fprintf(stderr, "screens_people: no %s\n", qPrintable(name));
            return;
        }
        const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
        QTest::mouseClick(window, Qt::LeftButton, {}, centre.toPoint());
    }
    void type(const QString &field, const QString &text) const
    {
        click(field);
        for (const QChar c : text)
            QTest::sendKeyEvent(QTest::Click, window, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
    /// Lets bindings, layouts and images settle, then writes the window.
    void shoot(const QString &state) const
    {
        QTest::qWait(400);
        const QString path = QDir(m_folder).filePath(u"people-%1-%2.png"_s.arg(state, m_scheme));
        if (window->grabWindow().save(path))
            std::printf("%s\n", qPrintable(path));
        else
            std::fprintf(stderr, "screens_people: cannot write %s\n", qPrintable(path));
    }

    AppCommands commands;
    QQmlApplicationEngine engine;
    QQuickWindow *window = nullptr;

private:
    QString m_folder;
    QString m_scheme;
};

/// Waits for `done` with a bound; false when it never came.
template<typename F> bool waitFor(F done, int ms = 20'000)
{
    return QTest::qWaitFor(done, ms);
}

std::unique_ptr<Harness> signedIn(
    const ReferenceService &service, const QString &token, Harness::Codex codex = Harness::Codex::none)
{
    auto h = std::make_unique<Harness>(service.baseUrl(), codex);
    if (!h->saveToken(token))
        return nullptr;
    blockOn(h->model->bootstrap(), std::chrono::seconds(60));
    return h;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 3 || (qstrcmp(argv[2], "light") != 0 && qstrcmp(argv[2], "dark") != 0)) {
        std::fprintf(stderr, "usage: screens_people <output folder> light|dark\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const QString scheme = QString::fromLatin1(argv[2]);
    QDir().mkpath(folder);
    if (scheme == u"dark"_s)
        QGuiApplication::setPalette(darkPalette());

    ReferenceService service;
    if (!service.start()) {
        std::fprintf(stderr, "screens_people: %s\n", qPrintable(service.errorString()));
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
        Screen s(*h->model, folder, scheme);
        s.click(u"peopleRow"_s);
        waitFor([&] { return h->model->lens() == MailLens::people && !h->model->isLoading(); });
        s.shoot(u"empty"_s);
    }
    {
        auto h = signedIn(service, service.token());
        if (!h)
            return 1;
        Screen s(*h->model, folder, scheme);
        s.click(u"peopleRow"_s);
        waitFor([&] { return !h->model->people().isEmpty() && !h->model->isLoading(); });
        s.click(u"personRow_ken.sato@example.co.jp"_s);
        waitFor([&] { return h->model->personTimeline().has_value() && !h->model->isLoading(); });
        s.shoot(u"found"_s);
        if (QQuickItem *view = s.item(u"personTimelineView"_s))
            QMetaObject::invokeMethod(view, "positionViewAtBeginning");
        s.shoot(u"timeline-older-mail"_s);

        s.type(u"peopleSearchField"_s, u"crowd"_s);
        waitFor([&] { return s.item(u"personRow_crowd@example.com"_s) != nullptr; });
        s.click(u"personRow_crowd@example.com"_s);
        waitFor([&] {
            return h->model->personTimeline() && h->model->personTimeline()->person.email == u"crowd@example.com"_s
                && !h->model->isLoading();
        });
        s.shoot(u"timeline-chips"_s);

        s.type(u"peopleSearchField"_s, u"-nobody"_s);
        waitFor([&] { return s.item(u"peopleEmptyState"_s) != nullptr; });
        s.shoot(u"not-found"_s);
    }
    {
        auto h = signedIn(service, service.token(), Harness::Codex::double_);
        if (!h)
            return 1;
        waitFor([&] { return h->model->isCodexReady(); });
        Screen s(*h->model, folder, scheme);
        s.click(u"aiRow"_s);
        waitFor([&] { return h->model->lens() == MailLens::ai; });
        s.shoot(u"ai-empty"_s);

        h->home.setAnswer(
            u"木曜の10時からが空いています。候補を三つ挙げると、木曜10時、金曜14時、来週月曜の9時です。"_s.toUtf8());
        s.click(u"startAIConversationButton"_s);
        waitFor([&] { return s.item(u"aiInput"_s) != nullptr; });
        s.type(u"aiInput"_s, u"佐藤さんとの打ち合わせ、いつが良さそう？"_s);
        s.click(u"aiSendButton"_s);
        waitFor(
            [&] { return !h->model->isSendingAIChat() && h->model->aiConversations().value(0).messages.size() == 2; });
        h->home.setControl(u"delay_ms=3000\n"_s);
        s.type(u"aiInput"_s, u"では木曜10時で返信の下書きを考えて。"_s);
        s.click(u"aiSendButton"_s);
        waitFor([&] { return h->model->isSendingAIChat(); });
        s.shoot(u"ai-mid-answer"_s);
        // The turn ends before the model goes.
        waitFor([&] { return !h->model->isSendingAIChat(); });
    }
    return 0;
}
