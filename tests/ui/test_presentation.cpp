// The rules the people and AI screens show their data by: avatar initials,
// the activity suffix, which recipients get chips, the side of a message,
// the AI row preview, the send button's rule and relative times.

#include "ui/mainwindow.h"
#include "ui/presentation.h"

#include <QProcessEnvironment>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace quarn;
using namespace quarn::ui;

namespace {

MessageRecipientView recipient(const QString &name, const QString &role)
{
    return { name.toLower() + u"@example.com"_s, name, role };
}

QVariantList asMaps(const QList<MessageRecipientView> &list)
{
    QVariantList out;
    for (const MessageRecipientView &r : list)
        out.append(QVariantMap { { u"email"_s, r.email }, { u"displayName"_s, r.displayName }, { u"role"_s, r.role } });
    return out;
}

} // namespace

class TestPresentation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void avatarInitial_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("initial");
        QTest::newRow("latin") << u"kim Lee"_s << u"K"_s;
        QTest::newRow("combining mark counts once") << u"e\u0301mile"_s << u"E\u0301"_s;
        QTest::newRow("japanese") << u"佐藤"_s << u"佐"_s;
        QTest::newRow("emoji pair") << u"\U0001F469\u200D\U0001F4BB dev"_s << u"\U0001F469\u200D\U0001F4BB"_s;
        QTest::newRow("empty") << QString() << QString();
    }
    void avatarInitial()
    {
        QFETCH(QString, name);
        QFETCH(QString, initial);
        QCOMPARE(presentation::avatarInitial(name), initial);
    }

    void activitySuffix_data()
    {
        QTest::addColumn<qint64>("needsYou");
        QTest::addColumn<qint64>("waiting");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("warm");
        QTest::newRow("waiting only") << qint64(0) << qint64(1) << u"Waiting 1"_s << false;
        QTest::newRow("both: needs you wins") << qint64(2) << qint64(3) << u"Needs you 2"_s << true;
        QTest::newRow("needs you only") << qint64(1) << qint64(0) << u"Needs you 1"_s << true;
        QTest::newRow("neither") << qint64(0) << qint64(0) << QString() << false;
    }
    void activitySuffix()
    {
        QFETCH(qint64, needsYou);
        QFETCH(qint64, waiting);
        QFETCH(QString, text);
        QFETCH(bool, warm);
        QCOMPARE(presentation::activitySuffix(needsYou, waiting), (presentation::ActivitySuffix { text, warm }));
        QCOMPARE(presentation::activityLine(3, 12), u"3 threads · 12 messages"_s);
    }

    void recipientChips_data()
    {
        QTest::addColumn<QVariantList>("recipients");
        QTest::addColumn<QStringList>("labels");
        QTest::addColumn<QString>("overflow");
        QTest::newRow("lone envelope recipient is shown")
            << asMaps({ recipient(u"Kim"_s, u"envelope_to"_s) }) << QStringList { u"ENVELOPE_TO Kim"_s } << QString();
        QTest::newRow("envelope recipient hidden among two")
            << asMaps({ recipient(u"Kim"_s, u"envelope_to"_s), recipient(u"Ana"_s, u"cc"_s) })
            << QStringList { u"CC Ana"_s } << QString();
        QList<MessageRecipientView> six;
        for (const QString &name : { u"A"_s, u"B"_s, u"C"_s, u"D"_s, u"E"_s, u"F"_s })
            six.append(recipient(name, u"to"_s));
        QTest::newRow("six: four chips and +2")
            << asMaps(six) << QStringList { u"TO A"_s, u"TO B"_s, u"TO C"_s, u"TO D"_s } << u"+2"_s;
        six.insert(2, recipient(u"X"_s, u"envelope_to"_s));
        QTest::newRow("envelope recipients do not count towards +N")
            << asMaps(six) << QStringList { u"TO A"_s, u"TO B"_s, u"TO C"_s, u"TO D"_s } << u"+2"_s;
        QTest::newRow("nameless recipient shows the address") << asMaps({ { u"x@example.com"_s, QString(), u"to"_s } })
                                                              << QStringList { u"TO x@example.com"_s } << QString();
        QTest::newRow("none") << QVariantList() << QStringList() << QString();
    }
    void recipientChips()
    {
        QFETCH(QVariantList, recipients);
        QFETCH(QStringList, labels);
        QFETCH(QString, overflow);
        const QVariantMap chips = Presenter().recipientChips(recipients);
        QCOMPARE(chips.value(u"labels"_s).toStringList(), labels);
        QCOMPARE(chips.value(u"overflow"_s).toString(), overflow);
    }

    void outgoingAndWording()
    {
        Presenter presenter;
        QVERIFY(presenter.isOutgoing(u"usr_1"_s, u"usr_1"_s));
        QVERIFY(!presenter.isOutgoing(u"usr_2"_s, u"usr_1"_s));
        QVERIFY(!presenter.isOutgoing(QVariant(), u"usr_1"_s));
        // Two absent ids are equal.
        QVERIFY(presenter.isOutgoing(QVariant(), QVariant::fromValue(nullptr)));
        QCOMPARE(presenter.statusWording(u"ai_working"_s), u"AI working"_s);
        QCOMPARE(presenter.statusWording(u"needs_you"_s), u"Needs you"_s);
        QCOMPARE(presenter.statusWording(u"nonsense"_s), QString());
        QCOMPARE(presenter.aiPreview(0, QString()), u"新しい対話"_s);
        QCOMPARE(presenter.aiPreview(2, u"了解"_s), u"了解"_s);
    }

    void canSendAIChat_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<bool>("sending");
        QTest::addColumn<bool>("ready");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("text, ready") << u"こんにちは"_s << false << true << true;
        QTest::newRow("blanks and line breaks") << u" \n\t\u3000\r\n"_s << false << true << false;
        QTest::newRow("codex not ready") << u"こんにちは"_s << false << false << false;
        QTest::newRow("sending") << u"こんにちは"_s << true << true << false;
    }
    void canSendAIChat()
    {
        QFETCH(QString, input);
        QFETCH(bool, sending);
        QFETCH(bool, ready);
        QFETCH(bool, enabled);
        QCOMPARE(presentation::canSendAIChat(input, sending, ready), enabled);
    }

    // A field with a direction control or right-to-left letters becomes its
    // own run without the controls; anything else stays exactly as written.
    void isolatedText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        const QString fsi(QChar(0x2068)), pdi(QChar(0x2069));
        QTest::newRow("latin and japanese") << u"Kim Lee 様 <b>"_s << u"Kim Lee 様 <b>"_s;
        QTest::newRow("empty") << QString() << QString();
        QTest::newRow("override reverses a file name")
            << u"invoice \u202Egnp.exe"_s << fsi + u"invoice gnp.exe"_s + pdi;
        QTest::newRow("every embedding, override and isolate")
            << u"a\u202Ab\u202Bc\u202Cd\u202De\u2066f\u2067g\u2068h\u2069i"_s << fsi + u"abcdefghi"_s + pdi;
        QTest::newRow("a stray pop cannot close the run early") << u"x\u2069 y"_s << fsi + u"x y"_s + pdi;
        QTest::newRow("hebrew name") << u"\u05D3\u05E0\u05D4"_s << fsi + u"\u05D3\u05E0\u05D4"_s + pdi;
        QTest::newRow("marks stay") << u"a\u200Fb\u202E"_s << fsi + u"a\u200Fb"_s + pdi;
    }
    void isolatedText()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        QCOMPARE(presentation::isolatedText(text), shown);
    }

    // Addresses in a body: where they start and end, and what is left text.
    void bodyPieces_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<QStringList>("links");
        QTest::newRow("no address") << u"Call me at 10:30. http:/ is not one"_s << QStringList();
        QTest::newRow("sentence end") << u"See https://example.com/a?b=1&c=2."_s
                                      << QStringList { u"https://example.com/a?b=1&c=2"_s };
        QTest::newRow("brackets") << u"(https://example.com/wiki/A_(b)) and [http://example.org]"_s
                                  << QStringList { u"https://example.com/wiki/A_(b)"_s, u"http://example.org"_s };
        QTest::newRow("japanese right after")
            << u"詳細はhttps://example.jp/x。よろしく"_s << QStringList { u"https://example.jp/x"_s };
        QTest::newRow("mailto and case") << u"Write to MAILTO:kim@example.com, or HTTPS://EXAMPLE.COM"_s
                                         << QStringList { u"MAILTO:kim@example.com"_s, u"HTTPS://EXAMPLE.COM"_s };
        QTest::newRow("inside markup") << u"<a href=\"http://127.0.0.1:9/x\">pay</a>"_s
                                       << QStringList { u"http://127.0.0.1:9/x"_s };
        QTest::newRow("not at a word start") << u"xhttp://example.com"_s << QStringList();
        QTest::newRow("other schemes") << u"javascript:alert(1) file:///etc/passwd ftp://example.com"_s
                                       << QStringList();
        QTest::newRow("no host") << u"https:// and mailto: alone"_s << QStringList();
    }
    void bodyPieces()
    {
        QFETCH(QString, body);
        QFETCH(QStringList, links);
        const QList<presentation::BodyPiece> pieces = presentation::bodyPieces(body);
        QString joined;
        QStringList found;
        for (const presentation::BodyPiece &piece : pieces) {
            joined += piece.text;
            if (!piece.link.isEmpty()) {
                QCOMPARE(piece.link, piece.text);
                found.append(piece.link);
            }
        }
        QCOMPARE(joined, body);
        QCOMPARE(found, links);
    }

    // The rich text of a body is made of escaped pieces only: the markup a
    // sender wrote comes out as characters, and a body without an address
    // has none.
    // Without a GPU the windows draw with the software renderer, unless the
    // user chose one; an empty choice is none.
    void rendererChoice_data()
    {
        QTest::addColumn<QString>("quickBackend");
        QTest::addColumn<QString>("rhiBackend");
        QTest::addColumn<bool>("renderNode");
        QTest::addColumn<bool>("software");
        QTest::newRow("no GPU") << QString() << QString() << false << true;
        QTest::newRow("a GPU") << QString() << QString() << true << false;
        QTest::newRow("no GPU, OpenGL chosen") << QString() << u"opengl"_s << false << false;
        QTest::newRow("no GPU, backend chosen") << u"rhi"_s << QString() << false << false;
        QTest::newRow("no GPU, empty choices") << u""_s << u""_s << false << true;
    }
    void rendererChoice()
    {
        QFETCH(QString, quickBackend);
        QFETCH(QString, rhiBackend);
        QFETCH(bool, renderNode);
        QFETCH(bool, software);
        QProcessEnvironment environment;
        environment.insert(u"PATH"_s, u"/usr/bin"_s);
        if (!quickBackend.isNull())
            environment.insert(u"QT_QUICK_BACKEND"_s, quickBackend);
        if (!rhiBackend.isNull())
            environment.insert(u"QSG_RHI_BACKEND"_s, rhiBackend);
        QCOMPARE(ui::prefersSoftwareRenderer(environment, renderNode), software);
    }

    void linkedBodyHtml()
    {
        QCOMPARE(presentation::linkedBodyHtml(u"<img src=\"//x/y.png\"> no address"_s), QString());
        const QString html = presentation::linkedBodyHtml(
            u"<b>hi</b> &amp; <img src=\"https://example.com/y.png\">\nhttps://example.com/\"onmouseover=x"_s);
        QVERIFY(!html.contains(u"<b>"_s));
        QVERIFY(!html.contains(u"<img"_s));
        QVERIFY(html.contains(u"&lt;b&gt;hi&lt;/b&gt; &amp;amp; &lt;img src=&quot;"_s));
        QVERIFY(html.contains(u"<br>"_s));
        QVERIFY(html.contains(u"<a href=\"https://example.com/\">https://example.com/</a>&quot;onmouseover=x"_s));
    }
};

QTEST_GUILESS_MAIN(TestPresentation)
#include "test_presentation.moc"
