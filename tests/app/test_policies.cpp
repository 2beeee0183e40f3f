#include "app/policies.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace quarn;

namespace {

QString repeated(const QString &unit, qsizetype times)
{
    QString s;
    for (qsizetype i = 0; i < times; ++i)
        s += unit;
    return s;
}

const QString kEllipsis = u"\u2026"_s;

using RetryMap = QHash<QString, qint64>;

ConversationListItem item(const QString &id, ConversationStatus status, std::optional<QString> summary = {})
{
    ConversationListItem c;
    c.id = id;
    c.status = status;
    c.aiSummary = std::move(summary);
    return c;
}

PersonTimelineMessage message(const QString &sender, const QStringList &recipients)
{
    PersonTimelineMessage m;
    m.id = u"m1"_s;
    m.senderEmail = sender;
    for (const QString &r : recipients)
        m.recipients.append(MessageRecipientView { r, r, u"to"_s });
    return m;
}

} // namespace

class TestPolicies : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void subjectFallback_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("subject");

        QTest::newRow("empty") << QString() << u"メッセージ"_s;
        QTest::newRow("only blanks and breaks") << u"  \t\n\r\n\u3000\u2028 "_s << u"メッセージ"_s;
        QTest::newRow("empty lines, inner and outer blanks")
            << u"\n\n   hello   world  \nsecond line"_s << u"hello world"_s;
        QTest::newRow("CR LF") << u"\r\n\r\n first\r\nsecond"_s << u"first"_s;
        QTest::newRow("lone CR") << u"first\rsecond"_s << u"first"_s;
        QTest::newRow("line separator") << u"first\u2028second"_s << u"first"_s;
        QTest::newRow("paragraph separator") << u"first\u2029second"_s << u"first"_s;
        QTest::newRow("next line") << u"first\u0085second"_s << u"first"_s;
        QTest::newRow("vertical tab and form feed") << u"\v\ffirst\vsecond"_s << u"first"_s;
        QTest::newRow("full-width spaces") << u"\u3000\u3000件名\u3000\u3000です\u3000\n次"_s << u"件名 です"_s;
        QTest::newRow("tabs and no-break space") << u"a\t\u00a0\tb"_s << u"a b"_s;
        QTest::newRow("blank line of full-width spaces skipped") << u"\u3000\u3000\n本文"_s << u"本文"_s;

        const QString sixty = repeated(u"a"_s, 60);
        QTest::newRow("60 characters whole") << sixty << sixty;
        QTest::newRow("61 characters cut") << repeated(u"a"_s, 61) << repeated(u"a"_s, 59) + kEllipsis;
        QTest::newRow("60 letters with combining marks whole")
            << repeated(u"e\u0301"_s, 60) << repeated(u"e\u0301"_s, 60);
        QTest::newRow("61 letters with combining marks cut")
            << repeated(u"e\u0301"_s, 61) << repeated(u"e\u0301"_s, 59) + kEllipsis;
        QTest::newRow("61 emoji cut between pairs")
            << repeated(u"\U0001F600"_s, 61) << repeated(u"\U0001F600"_s, 59) + kEllipsis;
        QTest::newRow("collapsing brings it to 60") << repeated(u"a"_s, 30) + u"     "_s + repeated(u"b"_s, 29)
                                                    << repeated(u"a"_s, 30) + u" "_s + repeated(u"b"_s, 29);
    }
    void subjectFallback()
    {
        QFETCH(QString, body);
        QFETCH(QString, subject);
        QCOMPARE(SubjectPolicy::fallback(body), subject);
    }

    void resolvedSubject_data()
    {
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("resolved");
        QTest::newRow("blanks fall back to body") << u"  \t "_s << u"\n本文の一行目\n二行目"_s << u"本文の一行目"_s;
        QTest::newRow("full-width blanks fall back") << u"\u3000\u3000"_s << u"body"_s << u"body"_s;
        QTest::newRow("surrounding blanks trimmed") << u"  件名  "_s << u"body"_s << u"件名"_s;
        QTest::newRow("inner blanks kept") << u"\u3000a  b\u2028"_s << u"body"_s << u"a  b"_s;
        QTest::newRow("nothing at all") << QString() << u"   "_s << u"メッセージ"_s;
    }
    void resolvedSubject()
    {
        QFETCH(QString, subject);
        QFETCH(QString, body);
        QFETCH(QString, resolved);
        QCOMPARE(ComposeSendPolicy::resolvedSubject(subject, body), resolved);
    }

    void canSend_data()
    {
        QTest::addColumn<QStringList>("recipients");
        QTest::addColumn<QStringList>("invalid");
        QTest::addColumn<QString>("body");
        QTest::addColumn<bool>("expected");
        const QStringList one { u"a@b.c"_s };
        QTest::newRow("ready") << one << QStringList() << u"hi"_s << true;
        QTest::newRow("no recipient") << QStringList() << QStringList() << u"hi"_s << false;
        QTest::newRow("an invalid fragment beside a valid one") << one << QStringList { u"x"_s } << u"hi"_s << false;
        QTest::newRow("blank body") << one << QStringList() << u" \n\t"_s << false;
        QTest::newRow("full-width blank body") << one << QStringList() << u"\u3000\u2028"_s << false;
    }
    void canSend()
    {
        QFETCH(QStringList, recipients);
        QFETCH(QStringList, invalid);
        QFETCH(QString, body);
        QFETCH(bool, expected);
        QCOMPARE(ComposeSendPolicy::canSend(recipients, invalid, body), expected);
    }

    void eligibleForTriage_data()
    {
        QTest::addColumn<QList<ConversationListItem>>("conversations");
        QTest::addColumn<RetryMap>("retryAfter");
        QTest::addColumn<QStringList>("eligible");
        const qint64 now = 1'000'000;
        using S = ConversationStatus;
        QTest::newRow("empty") << QList<ConversationListItem>() << RetryMap() << QStringList();
        QTest::newRow("status test, order kept") << QList<ConversationListItem> { item(u"w1"_s, S::waiting),
            item(u"n"_s, S::needsYou), item(u"i1"_s, S::inbox, u"already summarised"_s),
            item(u"w2"_s, S::waiting, u"summary"_s), item(u"a"_s, S::aiWorking), item(u"s"_s, S::scheduled),
            item(u"d"_s, S::done), item(u"i2"_s, S::inbox) }
                                                 << RetryMap() << QStringList { u"w1"_s, u"i1"_s, u"i2"_s };
        QTest::newRow("back-off in the future skipped, equal to now or past passes")
            << QList<ConversationListItem> { item(u"future"_s, S::inbox), item(u"equal"_s, S::inbox),
                   item(u"past"_s, S::waiting) }
            << RetryMap { { u"future"_s, now + 1 }, { u"equal"_s, now }, { u"past"_s, now - 300'000 } }
            << QStringList { u"equal"_s, u"past"_s };
        QTest::newRow("back-off of an ineligible id changes nothing")
            << QList<ConversationListItem> { item(u"d"_s, S::done) } << RetryMap { { u"d"_s, now - 1 } }
            << QStringList();
    }
    void eligibleForTriage()
    {
        QFETCH(QList<ConversationListItem>, conversations);
        QFETCH(RetryMap, retryAfter);
        QFETCH(QStringList, eligible);
        QCOMPARE(AutoTriagePolicy::eligibleConversationIDs(conversations, retryAfter, 1'000'000), eligible);
    }

    void isDirect_data()
    {
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QStringList>("recipients");
        QTest::addColumn<bool>("direct");
        // Owner "Me@Quarn.local", person "pat@example.com".
        QTest::newRow("from the person, cases differ")
            << u"PAT@EXAMPLE.COM"_s << QStringList { u"me@QUARN.local"_s } << true;
        QTest::newRow("to the person") << u"me@quarn.local"_s << QStringList { u"Pat@Example.com"_s } << true;
        QTest::newRow("duplicates do not matter")
            << u"pat@example.com"_s << QStringList { u"me@quarn.local"_s, u"PAT@example.com"_s } << true;
        QTest::newRow("copy to a third address")
            << u"pat@example.com"_s << QStringList { u"me@quarn.local"_s, u"kim@example.com"_s } << false;
        QTest::newRow("owner to himself only") << u"me@quarn.local"_s << QStringList { u"ME@quarn.local"_s } << false;
        QTest::newRow("no recipients, from the person") << u"pat@example.com"_s << QStringList() << true;
        QTest::newRow("third party only") << u"kim@example.com"_s << QStringList { u"pat@example.com"_s } << false;
        QTest::newRow("non-ASCII address lower-cased")
            << u"me@quarn.local"_s << QStringList { u"pat@example.com"_s, u"\u00c9LO@example.com"_s } << false;
    }
    void isDirect()
    {
        QFETCH(QString, sender);
        QFETCH(QStringList, recipients);
        QFETCH(bool, direct);
        QCOMPARE(PersonTimelinePolicy::isDirect(message(sender, recipients), u"Me@Quarn.local"_s, u"pat@example.com"_s),
            direct);
        // The same message seen from a person whose address is given in upper case.
        QCOMPARE(PersonTimelinePolicy::isDirect(message(sender, recipients), u"me@quarn.local"_s, u"PAT@EXAMPLE.COM"_s),
            direct);
    }

    void recipients_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("addresses");
        QTest::addColumn<QStringList>("invalid");

        QTest::newRow("empty") << QString() << QStringList() << QStringList();
        QTest::newRow("only separators") << u" ,;、\u3000\n"_s << QStringList() << QStringList();
        QTest::newRow("duplicates in two cases, semicolon, ideographic comma")
            << u"Bob@Example.com, bob@example.com; carol@example.org、nobody"_s
            << QStringList { u"bob@example.com"_s, u"carol@example.org"_s } << QStringList { u"nobody"_s };
        QTest::newRow("white-space separators")
            << u"a@b.c\u3000d@e.f\ng@h.i\tj@k.l\u2028m@n.o"_s
            << QStringList { u"a@b.c"_s, u"d@e.f"_s, u"g@h.i"_s, u"j@k.l"_s, u"m@n.o"_s } << QStringList();
        QTest::newRow("invalid kept as written, duplicates kept")
            << u"NoAt, NoAt"_s << QStringList() << QStringList { u"NoAt"_s, u"NoAt"_s };
        QTest::newRow("no full stop after at") << u"a@localhost"_s << QStringList() << QStringList { u"a@localhost"_s };
        QTest::newRow("full stop only before at") << u"a.b@c"_s << QStringList() << QStringList { u"a.b@c"_s };
        QTest::newRow("begins with at") << u"@b.c"_s << QStringList() << QStringList { u"@b.c"_s };
        QTest::newRow("two ats") << u"a@b@c.d"_s << QStringList() << QStringList { u"a@b@c.d"_s };
        QTest::newRow("double at") << u"a@@b.c"_s << QStringList() << QStringList { u"a@@b.c"_s };
        QTest::newRow("ends with at") << u"a.b@"_s << QStringList() << QStringList { u"a.b@"_s };
        QTest::newRow("order of first appearance")
            << u"z@z.z a@a.a Z@Z.Z"_s << QStringList { u"z@z.z"_s, u"a@a.a"_s } << QStringList();
        QTest::newRow("unicode local part lower-cased")
            << u"ÉLODIE@例え.jp"_s << QStringList { u"élodie@例え.jp"_s } << QStringList();

        // "@b.com" is six characters.
        const QString valid320 = repeated(u"x"_s, 314) + u"@b.com"_s;
        const QString invalid321 = repeated(u"x"_s, 315) + u"@b.com"_s;
        QTest::newRow("320 characters valid") << valid320 << QStringList { valid320 } << QStringList();
        QTest::newRow("321 characters invalid") << invalid321 << QStringList() << QStringList { invalid321 };
        // Counted in user-perceived characters: 640 code units, 320 characters.
        const QString marks320 = repeated(u"e\u0301"_s, 314) + u"@b.com"_s;
        const QString marks321 = repeated(u"e\u0301"_s, 315) + u"@b.com"_s;
        QTest::newRow("320 characters with combining marks valid")
            << marks320 << QStringList { marks320 } << QStringList();
        QTest::newRow("321 characters with combining marks invalid")
            << marks321 << QStringList() << QStringList { marks321 };
    }
    void recipients()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, addresses);
        QFETCH(QStringList, invalid);
        QCOMPARE(RecipientParser::addresses(text), addresses);
        QCOMPARE(RecipientParser::invalidFragments(text), invalid);
    }

    void deliveryLabel_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("label");
        QTest::newRow("queued") << u"queued"_s << u"配送中"_s;
        QTest::newRow("sending") << u"sending"_s << u"配送中"_s;
        QTest::newRow("delivered") << u"delivered"_s << u"配送済み"_s;
        QTest::newRow("failed") << u"failed"_s << u"送信失敗"_s;
        QTest::newRow("scheduled") << u"scheduled"_s << u"予約済み"_s;
        QTest::newRow("case-sensitive") << u"Delivered"_s << QString();
        QTest::newRow("unknown") << u"bounced"_s << QString();
        QTest::newRow("empty") << QString() << QString();
    }
    void deliveryLabel()
    {
        QFETCH(QString, status);
        QFETCH(QString, label);
        QCOMPARE(DeliveryPresentation::label(status), label);
    }

    void deepLink_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("id"); // null: no id

        QTest::newRow("plain") << u"quarn-mail://conversation/conv_abc"_s << u"conv_abc"_s;
        QTest::newRow("trailing slash") << u"quarn-mail://conversation/conv_abc/"_s << u"conv_abc"_s;
        QTest::newRow("several slashes") << u"quarn-mail://conversation//conv_abc//"_s << u"conv_abc"_s;
        QTest::newRow("query and fragment ignored")
            << u"quarn-mail://conversation/conv_a-B_9?x=1#top"_s << u"conv_a-B_9"_s;
        const QString longest = u"conv_"_s + repeated(u"a"_s, 180);
        QTest::newRow("180 after prefix") << u"quarn-mail://conversation/"_s + longest << longest;
        QTest::newRow("181 after prefix") << u"quarn-mail://conversation/conv_"_s + repeated(u"a"_s, 181) << QString();
        QTest::newRow("no prefix") << u"quarn-mail://conversation/abc"_s << QString();
        QTest::newRow("prefix only") << u"quarn-mail://conversation/conv_"_s << QString();
        QTest::newRow("other host") << u"quarn-mail://auth/conv_abc"_s << QString();
        QTest::newRow("host in upper case") << u"quarn-mail://Conversation/conv_abc"_s << QString();
        QTest::newRow("scheme in upper case") << u"QUARN-MAIL://conversation/conv_abc"_s << QString();
        QTest::newRow("other scheme") << u"https://conversation/conv_abc"_s << QString();
        QTest::newRow("no host") << u"quarn-mail:conversation/conv_abc"_s << QString();
        QTest::newRow("no scheme") << u"conv_abc"_s << QString();
        QTest::newRow("port") << u"quarn-mail://conversation:80/conv_abc"_s << QString();
        QTest::newRow("longer host") << u"quarn-mail://conversations/conv_abc"_s << QString();
        QTest::newRow("no path") << u"quarn-mail://conversation"_s << QString();
        QTest::newRow("inner slash") << u"quarn-mail://conversation/conv_a/b"_s << QString();
        QTest::newRow("encoded slash") << u"quarn-mail://conversation/conv_a%2Fb"_s << QString();
        QTest::newRow("full stop") << u"quarn-mail://conversation/conv_a.b"_s << QString();
        QTest::newRow("non-ASCII letter") << u"quarn-mail://conversation/conv_\u00e9"_s << QString();
        QTest::newRow("line break") << u"quarn-mail://conversation/conv_a\n"_s << QString();
        QTest::newRow("empty") << QString() << QString();
    }
    void deepLink()
    {
        QFETCH(QString, url);
        QFETCH(QString, id);
        const std::optional<QString> got = MailDeepLink::conversationID(url);
        if (id.isNull()) {
            QVERIFY2(!got.has_value(), qPrintable(got.value_or(QString())));
        } else {
            QVERIFY(got.has_value());
            QCOMPARE(*got, id);
        }
    }
};

QTEST_GUILESS_MAIN(TestPolicies)
#include "test_policies.moc"
