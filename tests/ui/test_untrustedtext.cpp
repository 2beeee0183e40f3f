// Text a sender, the service or the AI wrote is data. Mail that holds markup
// (remote images, links, fonts, entities) and direction overrides is shown
// literally on every screen, the screens never reach the network, and no
// screen file can bring back a label that interprets markup.

#include "support/referenceservice.h"
#include "ui/offlinenetwork.h"
#include "ui/uiharness.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QQmlComponent>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;
using namespace quarn;
using namespace quarn::testing;
using quarn::test::ReferenceService;

namespace {

constexpr int kLoadWait = 20'000;
constexpr char16_t kOverride = 0x202E;
constexpr char16_t kIsolate = 0x2068;
constexpr char16_t kPopIsolate = 0x2069;

/// What only the hostile texts hold; an item showing one of them shows
/// text from outside.
const QStringList kMarkers = { u"<img"_s, u"<b>"_s, u"<font"_s, u"&lt;"_s, u"<a href"_s };

bool hasMarker(const QString &text)
{
    return std::any_of(kMarkers.begin(), kMarkers.end(), [&](const QString &m) { return text.contains(m); });
}

/// A field as a row or header shows it: the override dropped, the rest its
/// own isolated run.
QString isolatedForm(QString text)
{
    text.remove(QChar(kOverride));
    return QChar(kIsolate) + text + QChar(kPopIsolate);
}

/// The characters a text item draws: its text when plain, the text of its
/// document otherwise (line and paragraph separators read as line breaks).
QString drawnText(QQuickItem *item)
{
    // Only a text edit has a document to ask; a label's text is what it
    // was given (and a label that is not plain fails the check anyway).
    if (item->property("textFormat").toInt() == 0 || !item->inherits("QQuickTextEdit"))
        return item->property("text").toString();
    QString plain;
    const int length = item->property("length").toInt();
    QMetaObject::invokeMethod(item, "getText", Q_RETURN_ARG(QString, plain), Q_ARG(int, 0), Q_ARG(int, length));
    plain.replace(QChar(QChar::LineSeparator), u'\n');
    plain.replace(QChar(QChar::ParagraphSeparator), u'\n');
    return plain;
}

void collectTextItems(QQuickItem *item, QList<QQuickItem *> &out)
{
    if (!item || !item->isVisible())
        return;
    if (item->inherits("QQuickText") || item->inherits("QQuickTextEdit") || item->inherits("QQuickTextInput"))
        out.append(item);
    const QList<QQuickItem *> children = item->childItems();
    for (QQuickItem *child : children)
        collectTextItems(child, out);
}

} // namespace

class TestUntrustedText : public QObject
{
    Q_OBJECT

    /// Every visible text item showing text from outside draws it as
    /// written (markup and entities as characters), and only a message body
    /// is laid out from rich text, the one built from its escaped pieces.
    /// Answers how many such items there were.
    static int checkEveryShownText(const Window &w, const QStringList &bodies)
    {
        QList<QQuickItem *> items;
        collectTextItems(w.window->contentItem(), items);
        int shown = 0;
        for (QQuickItem *item : std::as_const(items)) {
            const QString drawn = drawnText(item);
            if (!hasMarker(drawn))
                continue;
            ++shown;
            const QString where = item->objectName() + u": "_s + drawn;
            if (item->property("textFormat").toInt() != 0) {
                // Rich text only for a body, and it draws the body exactly.
                if (!bodies.contains(drawn)) {
                    QTest::qFail(
                        qPrintable(u"rich text that is not a body as written: "_s + where), __FILE__, __LINE__);
                    return -1;
                }
            }
            if (drawn.contains(QChar(kOverride)) && !bodies.contains(drawn)) {
                QTest::qFail(qPrintable(u"a direction override outside a body: "_s + where), __FILE__, __LINE__);
                return -1;
            }
        }
        return shown;
    }

private Q_SLOTS:
    void initTestCase() { QLocale::setDefault(QLocale(u"en_US"_s)); }
    void init() { UiWarnings::clear(); }
    void cleanup() { QVERIFY2(UiWarnings::isEmpty(), qPrintable(UiWarnings::text())); }

    // No screen file declares a label, text edit or text area of its own:
    // they use the shared plain-text components, and no file but the message
    // body's asks for any format other than plain text.
    void screensUseOnlyPlainTextComponents()
    {
        const QString folder = qEnvironmentVariable("QUARN_SOURCE_DIR") + u"/src/ui/qml"_s;
        QVERIFY2(QDir(folder).exists(), qPrintable(folder));
        // The one file allowed to declare each base type.
        const QHash<QString, QString> owners = { { u"Text"_s, u"PlainLabel.qml"_s },
            { u"Label"_s, u"PlainLabel.qml"_s }, { u"TextEdit"_s, u"SelectableText.qml MessageBody.qml"_s },
            { u"TextArea"_s, u"PlainTextArea.qml"_s } };
        const QRegularExpression declaration(uR"((?:^|[\s:])(Text|Label|TextEdit|TextArea)\s*\{)"_s);
        const QRegularExpression format(uR"(\btextFormat\s*:\s*([^\n]*))"_s);
        const QRegularExpression nonPlain(uR"(\b(Text|TextEdit)\.(RichText|StyledText|AutoText|MarkdownText)\b)"_s);
        QStringList faults;
        int files = 0;
        QDirIterator it(folder, { u"*.qml"_s }, QDir::Files);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString name = QFileInfo(path).fileName();
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QString source = QString::fromUtf8(file.readAll());
            ++files;
            for (auto m = declaration.globalMatch(source); m.hasNext();) {
                const QString type = m.next().captured(1);
                if (!owners.value(type).split(u' ').contains(name))
                    faults.append(name + u": declares a "_s + type);
            }
            for (auto m = format.globalMatch(source); m.hasNext();) {
                const QString value = m.next().captured(1);
                if (nonPlain.match(value).hasMatch() && name != u"MessageBody.qml"_s)
                    faults.append(name + u": textFormat: "_s + value);
            }
            if (name != u"MessageBody.qml"_s && nonPlain.match(source).hasMatch())
                faults.append(name + u": names a markup format"_s);
        }
        QVERIFY(files > 20);
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(u'\n')));
    }

    // Rich text with a remote image, in a window of an engine with the
    // screens' network policy, opens no connection; without the policy the
    // same window does (so the listener would have seen one).
    void remoteResourcesAreNeverFetched_data()
    {
        QTest::addColumn<bool>("offline");
        QTest::newRow("without the policy") << false;
        QTest::newRow("the screens' engine") << true;
    }
    void remoteResourcesAreNeverFetched()
    {
        QFETCH(bool, offline);
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost));
        QSignalSpy connections(&listener, &QTcpServer::newConnection);
        const QString origin = u"http://127.0.0.1:"_s + QString::number(listener.serverPort());

        QQmlEngine engine;
        if (offline)
            ui::installOfflineNetwork(engine);
        QQmlComponent component(&engine);
        component.setData(uR"(
            import QtQuick
            Window {
                width: 300; height: 200; visible: true
                property alias imageStatus: image.status
                Text { textFormat: Text.RichText; text: '<img src="%1/rich.png">' }
                Image { id: image; y: 100; source: "%1/image.png" }
            }
        )"_s.arg(origin)
                              .toUtf8(),
            QUrl::fromLocalFile(QDir::tempPath() + u"/window.qml"_s));
        std::unique_ptr<QObject> window(component.create());
        QVERIFY2(window, qPrintable(u"%1 %2"_s.arg(int(component.status())).arg(component.errorString())));
        if (!offline) {
            QTRY_VERIFY_WITH_TIMEOUT(connections.size() >= 1, 10'000);
            return;
        }
        // The refused request has ended for the image; whatever the rich
        // text asked for at the same time has too.
        constexpr int imageError = 3; // Image.Error
        QTRY_COMPARE_WITH_TIMEOUT(window->property("imageStatus").toInt(), imageError, 10'000);
        QCoreApplication::processEvents();
        QVERIFY(!listener.waitForNewConnection(200));
        QCOMPARE(connections.size(), 0);
    }

    // One hostile message through the service, and an AI answer and a chat
    // answer that quote it: every screen shows them as written and nothing
    // reaches the sender's server.
    void hostileTextIsShownAsWritten()
    {
        QTcpServer beacon;
        QVERIFY(beacon.listen(QHostAddress::LocalHost));
        QSignalSpy fetched(&beacon, &QTcpServer::newConnection);
        const QString origin = u"http://127.0.0.1:"_s + QString::number(beacon.serverPort());
        auto image = [&](const QString &name) { return u"<img src=\""_s + origin + u"/"_s + name + u".png\">"_s; };

        const QString email = u"billing@example.com"_s;
        const QString name = u"Billing "_s + image(u"name"_s) + u" <b>B</b> "_s + QChar(kOverride) + u"gnp.exe"_s;
        const QString subject = u"Invoice "_s + image(u"subject"_s) + u" <font size=40>BIG</font> &lt;b&gt; "_s
            + QChar(kOverride) + u"fdp.exe"_s;
        const QString body = u"Hello "_s + image(u"body"_s) + u"\n<b>bold</b> &amp; &lt;b&gt; <a href=\""_s + origin
            + u"/link\">pay</a>\nSee "_s + origin + u"/terms."_s;
        const QString summary = u"<b>Pay</b> "_s + image(u"summary"_s);
        const QString request = u"<font size=40>Pay now</font> &lt;"_s;

        ReferenceService service;
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        const auto delivered = service.deliver({ .from = email, .fromName = name, .subject = subject, .body = body });
        QVERIFY(delivered);

        Harness h(service.baseUrl(), Harness::Codex::double_);
        AiInsight insight;
        insight.summary = summary;
        insight.request = request;
        insight.suggestedStatus = ConversationStatus::needsYou;
        insight.draft = u"<img src=\""_s + origin + u"/draft.png\">"_s;
        insight.risk = u"low"_s;
        h.home.setAnswer(encodeJson(insight));
        QVERIFY(h.saveToken(service.token()));
        run(h.model->bootstrap());
        Window w(*h.model);
        QVERIFY(w.window);
        QTRY_VERIFY_WITH_TIMEOUT(h.model->isCodexReady(), kLoadWait);
        AppModel &model = *h.model;
        const QString id = delivered->conversationId;
        const QStringList bodies = { body };

        // The work lens: the row, then the opened conversation.
        w.click(u"statusRow_needs_you"_s);
        QTRY_VERIFY_WITH_TIMEOUT(w.shown(u"conversationRow_"_s + id), kLoadWait);
        QQuickItem *row = w.item(u"conversationRow_"_s + id);
        QCOMPARE(Window::findItem(row, u"rowName"_s)->property("text").toString(), isolatedForm(name));
        QCOMPARE(Window::findItem(row, u"rowSubject"_s)->property("text").toString(), isolatedForm(subject));
        QCOMPARE(Window::findItem(row, u"rowSummary"_s)->property("text").toString(), summary);
        QVERIFY(checkEveryShownText(w, bodies) >= 3);
        w.click(row);
        QTRY_VERIFY_WITH_TIMEOUT(model.detail() && model.detail()->id == id, kLoadWait);
        QTRY_COMPARE(w.text(u"detailSubject"_s), isolatedForm(subject));
        QCOMPARE(w.text(u"personButton"_s), isolatedForm(name) + u" · "_s + email);
        QCOMPARE(w.text(u"aiSummary"_s), summary);
        QVERIFY(w.text(u"aiRequest"_s).contains(request));
        QTRY_VERIFY(w.shown(u"messageBody"_s));
        QCOMPARE(drawnText(w.item(u"messageBody"_s)), body);
        QVERIFY(checkEveryShownText(w, bodies) >= 8);

        // The body's address opens only when chosen (Enter with the text
        // cursor on it), and only through the desktop's handler; the markup
        // around the other one is text.
        QVERIFY(h.opened.isEmpty());
        QQuickItem *shownBody = w.item(u"messageBody"_s);
        shownBody->forceActiveFocus();
        shownBody->setProperty("cursorPosition", int(body.lastIndexOf(u"/terms"_s)) + 2);
        w.key(Qt::Key_Return);
        QCOMPARE(h.opened, QList<QUrl>({ QUrl(origin + u"/terms"_s) }));

        // The people lens: the sender's row and timeline.
        w.click(u"peopleRow"_s);
        QTRY_COMPARE_WITH_TIMEOUT(model.lens(), MailLens::people, kLoadWait);
        QTRY_VERIFY_WITH_TIMEOUT(!model.isLoading(), kLoadWait);
        w.type(u"peopleSearchField"_s, email);
        QTRY_COMPARE(model.filteredPeople().size(), 1);
        QTRY_VERIFY(w.shown(u"personRow_"_s + email));
        w.click(u"personRow_"_s + email);
        QTRY_VERIFY_WITH_TIMEOUT(model.personTimeline() && model.personTimeline()->person.email == email, kLoadWait);
        QTRY_COMPARE(w.text(u"timelineName"_s), isolatedForm(name));
        QTRY_VERIFY(w.shown(u"bodyText"_s));
        QCOMPARE(drawnText(w.item(u"bodyText"_s)), body);
        QVERIFY(checkEveryShownText(w, bodies) >= 3);

        // The AI lens: a question and an answer that quote the mail.
        const QString question = u"What is <b>this</b> "_s + image(u"question"_s);
        const QString answer = u"It is <font size=40>spam</font> "_s + image(u"answer"_s);
        h.home.setAnswer(answer.toUtf8());
        w.click(u"aiRow"_s);
        QTRY_VERIFY(w.shown(u"startAIConversationButton"_s));
        w.click(u"startAIConversationButton"_s);
        QTRY_VERIFY(w.shown(u"aiInput"_s));
        w.type(u"aiInput"_s, question);
        QTRY_COMPARE(model.aiInput(), question);
        w.key(Qt::Key_Return, Qt::ControlModifier);
        QTRY_COMPARE_WITH_TIMEOUT(w.findAll(u"bubbleContent"_s).size(), 2, kLoadWait);
        QCOMPARE(w.findAll(u"bubbleContent"_s).at(0)->property("text").toString(), question);
        QCOMPARE(w.findAll(u"bubbleContent"_s).at(1)->property("text").toString(), answer);
        QVERIFY(checkEveryShownText(w, bodies) >= 2);

        // An error text that quotes what the service said.
        model.setErrorMessage(u"送信できませんでした: "_s + image(u"error"_s));
        QTRY_VERIFY(w.shown(u"errorText"_s));
        QCOMPARE(w.text(u"errorText"_s), u"送信できませんでした: "_s + image(u"error"_s));
        QVERIFY(checkEveryShownText(w, bodies) >= 1);

        QCoreApplication::processEvents();
        QVERIFY(!beacon.waitForNewConnection(200));
        QCOMPARE(fetched.size(), 0);
        waitUntilIdle(model);
    }
};

QTEST_MAIN(TestUntrustedText)
#include "test_untrustedtext.moc"
