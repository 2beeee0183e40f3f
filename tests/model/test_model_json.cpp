#include "model/json.h"
#include "model/mailtime.h"

#include <QSet>
#include <QTest>

#include <cmath>

using namespace quarn;
using nlohmann::json;
using namespace Qt::StringLiterals;

namespace {

json listItem(const std::string &id = "conv_1", const std::string &status = "inbox")
{
    return json { { "id", id }, { "subject", "見積もりのお願い" }, { "status", status }, { "transport", "email" },
        { "participantName", "山田 花子" }, { "participantAddress", "hanako@example.jp" },
        { "preview", "来週までにお願いします 🙏" }, { "lastMessageAt", 1700000000123 }, { "unread", true } };
}

json mailState()
{
    return json { { "viewer", { { "id", "usr_1" }, { "name", "佐藤" }, { "email", "sato@quarn.local" } } },
        { "status", "inbox" }, { "counts", { { "inbox", 2 }, { "needs_you", 0 } } },
        { "conversations", json::array({ listItem("conv_1"), listItem("conv_2") }) } };
}

json message(const std::string &id)
{
    return json { { "id", id }, { "senderEmail", "hanako@example.jp" }, { "senderName", "山田 花子" },
        { "channel", "email" }, { "bodyText", "よろしくお願いします。" }, { "deliveryStatus", "delivered" },
        { "createdAt", 1700000000000 },
        { "recipients",
            json::array({ { { "email", "sato@quarn.local" }, { "displayName", "佐藤" }, { "role", "to" } } }) } };
}

QByteArray bytes(const json &j)
{
    const std::string s = j.dump();
    return QByteArray(s.data(), qsizetype(s.size()));
}

// Applies "key=<json>" or "-key" to a copy of `base`.
json mutated(json base, const QString &key, const QByteArray &value)
{
    if (value.isNull())
        base.erase(key.toStdString());
    else
        base[key.toStdString()] = json::parse(value.toStdString());
    return base;
}

template<typename T> QString decodeFailure(const QByteArray &text)
{
    try {
        (void)decodeJson<T>(text);
    } catch (const DecodeError &e) {
        return e.description();
    }
    return {};
}

} // namespace

class TestModelJson : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void enumerations()
    {
        QCOMPARE(allCases<ConversationStatus>(),
            (QList<ConversationStatus> { ConversationStatus::needsYou, ConversationStatus::aiWorking,
                ConversationStatus::waiting, ConversationStatus::scheduled, ConversationStatus::inbox,
                ConversationStatus::done }));
        QStringList raws;
        QList<bool> selectable;
        for (auto s : allCases<ConversationStatus>()) {
            raws << rawValue(s);
            selectable << isUserSelectable(s);
            QCOMPARE(fromRawValue<ConversationStatus>(QStringView(rawValue(s))), s);
        }
        QCOMPARE(raws,
            (QStringList { u"needs_you"_s, u"ai_working"_s, u"waiting"_s, u"scheduled"_s, u"inbox"_s, u"done"_s }));
        QCOMPARE(selectable, (QList<bool> { true, false, true, false, true, true }));
        QCOMPARE(fromRawValue<ConversationStatus>(u"Needs_You"), std::nullopt);
        QCOMPARE(rawValue(ConversationTransport::mixed), u"mixed"_s);
        QCOMPARE(rawValue(MailLens::people), u"people"_s);
        QCOMPARE(rawValue(OrroActionKind::event), u"event"_s);
        QCOMPARE(rawValue(AIChatMessage::Role::assistant), u"assistant"_s);
        QSet<ConversationStatus> set;
        for (auto s : allCases<ConversationStatus>())
            set.insert(s);
        QCOMPARE(set.size(), 6);
    }

    void listItemFields_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("value"); // null: key removed
        QTest::addColumn<bool>("decodes");

        QTest::newRow("time as integer") << u"lastMessageAt"_s << QByteArray("1000") << true;
        QTest::newRow("time negative") << u"lastMessageAt"_s << QByteArray("-5") << true;
        QTest::newRow("time int64 max") << u"lastMessageAt"_s << QByteArray("9223372036854775807") << true;
        QTest::newRow("time int64 min") << u"lastMessageAt"_s << QByteArray("-9223372036854775808") << true;
        QTest::newRow("time as digit string") << u"lastMessageAt"_s << QByteArray("\"1000\"") << false;
        QTest::newRow("time as float") << u"lastMessageAt"_s << QByteArray("1000.0") << false;
        QTest::newRow("time with exponent") << u"lastMessageAt"_s << QByteArray("1e3") << false;
        QTest::newRow("time above int64") << u"lastMessageAt"_s << QByteArray("9223372036854775808") << false;
        QTest::newRow("time above uint64") << u"lastMessageAt"_s << QByteArray("18446744073709551616") << false;
        QTest::newRow("time below int64") << u"lastMessageAt"_s << QByteArray("-9223372036854775809") << false;
        QTest::newRow("time null") << u"lastMessageAt"_s << QByteArray("null") << false;
        QTest::newRow("time missing") << u"lastMessageAt"_s << QByteArray() << false;
        QTest::newRow("status other word") << u"status"_s << QByteArray("\"archived\"") << false;
        QTest::newRow("status other case") << u"status"_s << QByteArray("\"Inbox\"") << false;
        QTest::newRow("status as number") << u"status"_s << QByteArray("4") << false;
        QTest::newRow("transport unknown") << u"transport"_s << QByteArray("\"fax\"") << false;
        QTest::newRow("flag as number") << u"unread"_s << QByteArray("1") << false;
        QTest::newRow("flag as text") << u"unread"_s << QByteArray("\"true\"") << false;
        QTest::newRow("text as number") << u"subject"_s << QByteArray("12") << false;
        QTest::newRow("text empty") << u"subject"_s << QByteArray("\"\"") << true;
        QTest::newRow("text missing") << u"id"_s << QByteArray() << false;
        QTest::newRow("text null") << u"preview"_s << QByteArray("null") << false;
        QTest::newRow("optional absent") << u"aiSummary"_s << QByteArray() << true;
        QTest::newRow("optional null") << u"aiSummary"_s << QByteArray("null") << true;
        QTest::newRow("optional wrong type") << u"aiSummary"_s << QByteArray("false") << false;
        QTest::newRow("unknown key") << u"somethingNew"_s << QByteArray("[1,{}]") << true;
    }

    void listItemFields()
    {
        QFETCH(QString, key);
        QFETCH(QByteArray, value);
        QFETCH(bool, decodes);
        const QByteArray text = bytes(mutated(listItem(), key, value));
        const QString failure = decodeFailure<ConversationListItem>(text);
        if (decodes)
            QVERIFY2(failure.isEmpty(), qPrintable(failure));
        else
            QVERIFY2(failure.startsWith(key + u':'), qPrintable(failure));
    }

    void integerValuesAreExact()
    {
        auto item
            = decodeJson<ConversationListItem>(bytes(mutated(listItem(), u"lastMessageAt"_s, "-9223372036854775808")));
        QCOMPARE(item.lastMessageAt, std::numeric_limits<qint64>::min());
        item = decodeJson<ConversationListItem>(bytes(mutated(listItem(), u"lastMessageAt"_s, "9223372036854775807")));
        QCOMPARE(item.lastMessageAt, std::numeric_limits<qint64>::max());
    }

    void oneBadConversationFailsTheWholeState_data()
    {
        QTest::addColumn<QByteArray>("status");
        QTest::newRow("other word") << QByteArray("archived");
        QTest::newRow("other case") << QByteArray("DONE");
        QTest::newRow("raw value with space") << QByteArray("done ");
    }

    void oneBadConversationFailsTheWholeState()
    {
        QFETCH(QByteArray, status);
        json doc = mailState();
        doc["conversations"][1]["status"] = status.toStdString();
        const QString failure = decodeFailure<MailState>(bytes(doc));
        QVERIFY2(failure.startsWith(u"conversations[1].status: "_s), qPrintable(failure));
    }

    void malformedDocuments_data()
    {
        QTest::addColumn<QByteArray>("text");
        const QByteArray good = bytes(json { { "ok", true } });
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("whitespace") << QByteArray(" \n");
        QTest::newRow("truncated") << good.left(good.size() - 1);
        QTest::newRow("trailing garbage") << good + "x";
        QTest::newRow("two documents") << good + good;
        QTest::newRow("not an object") << QByteArray("[true]");
        QTest::newRow("bare true") << QByteArray("true");
        QTest::newRow("invalid UTF-8 in string") << QByteArray("{\"ok\":true,\"x\":\"\xC3\x28\"}");
        QTest::newRow("overlong UTF-8") << QByteArray("{\"ok\":true,\"x\":\"\xC0\xAF\"}");
        QTest::newRow("UTF-16 surrogate as UTF-8") << QByteArray("{\"ok\":true,\"x\":\"\xED\xA0\x80\"}");
        QTest::newRow("lone high surrogate escape") << QByteArray(R"({"ok":true,"x":"\ud83d"})");
        QTest::newRow("lone low surrogate escape") << QByteArray(R"({"ok":true,"x":"\ude00"})");
        QTest::newRow("single quotes") << QByteArray("{'ok':true}");
        QTest::newRow("comment") << QByteArray("{\"ok\":true /* c */}");
        QTest::newRow("NaN") << QByteArray("{\"ok\":true,\"x\":NaN}");
        QTest::newRow("deep nesting in ignored key")
            << QByteArray("{\"ok\":true,\"x\":" + QByteArray(200, '[') + QByteArray(200, ']') + "}");
        QTest::newRow("very deep unterminated") << QByteArray(100000, '[');
        QTest::newRow("ok missing") << QByteArray("{}");
        QTest::newRow("ok null") << QByteArray("{\"ok\":null}");
    }

    void malformedDocuments()
    {
        QFETCH(QByteArray, text);
        QVERIFY(!decodeFailure<OkResponse>(text).isEmpty());
    }

    void textIsConvertedFromUtf8()
    {
        const QByteArray text = R"({"subject":"件名 \u00e9\ud83d\ude00 \u0000end","extra":1})";
        const auto suggestion = decodeJson<SubjectSuggestion>(text);
        QCOMPARE(suggestion.subject, QString(u"件名 é😀 "_s + QChar(u'\0') + u"end"_s));
        const auto raw = decodeJson<SubjectSuggestion>("{\"subject\":\"\xF0\x9F\x98\x80\xE6\x97\xA5\"}");
        QCOMPARE(raw.subject, u"😀日"_s);
    }

    void okResponseIgnoresUnknownKeys()
    {
        QCOMPARE(decodeJson<OkResponse>(R"({"ok":true,"note":"x"})").ok, true);
        QCOMPARE(decodeJson<OkResponse>(R"({"ok":false})").ok, false);
    }

    void optionalAndRequiredRecords()
    {
        json doc = mailState();
        QCOMPARE(decodeJson<MailState>(bytes(doc)).mailbox, std::nullopt);
        doc["mailbox"] = { { "address", "sato@quarn.local" }, { "displayName", "佐藤" } };
        QCOMPARE(decodeJson<MailState>(bytes(doc)).mailbox, (Mailbox { u"sato@quarn.local"_s, u"佐藤"_s }));
        doc["mailbox"] = { { "address", "sato@quarn.local" } };
        QCOMPARE(decodeFailure<MailState>(bytes(doc)), u"mailbox.displayName: missing required key"_s);

        QVERIFY(!decodeFailure<MailboxResponse>(R"({"ok":true})").isEmpty());
        QVERIFY(!decodeFailure<MailboxResponse>(R"({"ok":true,"mailbox":null})").isEmpty());
    }

    void countsHoldAnyKeys()
    {
        json doc = mailState();
        doc["counts"] = { { "needs_you", 3 }, { "future_status", 7 } };
        const auto state = decodeJson<MailState>(bytes(doc));
        QCOMPARE(state.counts, (QMap<QString, qint64> { { u"needs_you"_s, 3 }, { u"future_status"_s, 7 } }));
        QVERIFY(!state.counts.contains(u"inbox"_s));
        doc["counts"] = { { "inbox", 1.5 } };
        QCOMPARE(decodeFailure<MailState>(bytes(doc)), u"counts.inbox: expected integer, found float"_s);
        doc["counts"] = json::array();
        QVERIFY(!decodeFailure<MailState>(bytes(doc)).isEmpty());
    }

    void personTimelineCursor()
    {
        json person { { "email", "hanako@example.jp" }, { "displayName", "山田 花子" }, { "conversationCount", 2 },
            { "messageCount", 5 }, { "lastMessageAt", 1 }, { "needsYouCount", 1 }, { "waitingCount", 0 } };
        json msg = message("msg_1");
        msg.update({ { "conversationId", "conv_1" }, { "subject", "件名" }, { "conversationStatus", "waiting" } });
        json doc { { "person", person }, { "messages", json::array({ msg }) }, { "hasMore", false } };
        auto timeline = decodeJson<PersonTimeline>(bytes(doc));
        QCOMPARE(timeline.nextBefore, std::nullopt);
        QCOMPARE(timeline.messages.size(), 1);
        QCOMPARE(timeline.messages[0].conversationStatus, ConversationStatus::waiting);
        doc["hasMore"] = true;
        doc["nextBefore"] = 1699999999000;
        timeline = decodeJson<PersonTimeline>(bytes(doc));
        QCOMPARE(timeline.nextBefore, 1699999999000);
        doc["messages"][0].erase("conversationStatus");
        QCOMPARE(decodeFailure<PersonTimeline>(bytes(doc)), u"messages[0].conversationStatus: missing required key"_s);
    }

    void roundTrips()
    {
        // Decoding, encoding and decoding again gives the same value, and
        // optionals that hold none are left out rather than written as null.
        json doc = mailState();
        doc["conversations"][0]["aiSummary"] = nullptr;
        doc["conversations"][1]["aiSummary"] = "要約";
        doc["conversations"][1]["aiRisk"] = "high";
        const auto state = decodeJson<MailState>(bytes(doc));
        QCOMPARE(state.conversations[0].aiSummary, std::nullopt);
        const QByteArray encoded = encodeJson(state);
        QVERIFY(!encoded.contains("null"));
        QVERIFY(!encoded.contains("mailbox"));
        const json reparsed = json::parse(encoded.toStdString());
        QVERIFY(!reparsed["conversations"][0].contains("aiSummary"));
        QCOMPARE(reparsed["conversations"][1]["aiSummary"].get<std::string>(), std::string("要約"));
        QCOMPARE(decodeJson<MailState>(encoded), state);

        json detailDoc = listItem();
        detailDoc["messages"] = json::array({ message("m1"), message("m2") });
        detailDoc["messages"][1]["scheduledFor"] = 1800000000000;
        detailDoc["messages"][1]["senderUserId"] = "usr_9";
        const auto detail = decodeJson<ConversationDetail>(bytes(detailDoc));
        QCOMPARE(detail.messages.size(), 2);
        QCOMPARE(detail.messages[1].scheduledFor, 1800000000000);
        const auto again = decodeJson<ConversationDetail>(encodeJson(detail));
        QCOMPARE(again.messages, detail.messages);
        QCOMPARE(again.subject, detail.subject);
        QVERIFY(json::parse(encodeJson(detail).toStdString()) == detailDoc);

        const AIConversation ai { u"ai_1"_s, u"旅行の計画"_s,
            { { u"msg_1"_s, AIChatMessage::Role::user, u"こんにちは"_s, 10 },
                { u"msg_2"_s, AIChatMessage::Role::assistant, u"はい"_s, 20 } },
            10, 20 };
        const QList<AIConversation> list { ai };
        QCOMPARE(decodeJson<QList<AIConversation>>(encodeJson(list)), list);
        QCOMPARE(encodeJson(AIChatMessage { u"m"_s, AIChatMessage::Role::user, u"x"_s, 1 }),
            QByteArray(R"({"id":"m","role":"user","content":"x","createdAt":1})"));
    }

    void aiConversationTextMatchesTheGeneralEncoder_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("plain") << u"hello"_s;
        QTest::newRow("empty") << QString();
        QTest::newRow("quotes and backslashes") << u"say \"hi\" \\ C:\\path /x"_s;
        QTest::newRow("named control characters") << u"a\bb\tc\nd\fe\rf"_s;
        QTest::newRow("other control characters")
            << (QString(QChar(u'\0')) + QChar(0x01) + QChar(0x1F) + QChar(0x7F) + u"end"_s);
        QTest::newRow("Japanese and emoji") << u"打ち合わせ 🍻 é"_s;
        QTest::newRow("lone surrogate") << (u"x"_s + QChar(0xD83D) + u"y"_s);
    }

    void aiConversationTextMatchesTheGeneralEncoder()
    {
        // The AI conversation file is written without building a JSON tree;
        // it must be byte for byte what the general encoder writes, and read
        // back to the same list.
        QFETCH(QString, text);
        const AIConversation conversation { u"ai_1"_s, text,
            { { u"m1"_s, AIChatMessage::Role::user, text, -5 },
                { u"m2"_s, AIChatMessage::Role::assistant, u"ok"_s, std::numeric_limits<qint64>::max() } },
            std::numeric_limits<qint64>::min(), 0 };
        const QList<AIConversation> list { conversation, conversation };
        QCOMPARE(encodeJson(list), dumpJson(toJson(list)));
        QCOMPARE(encodeJson(conversation), dumpJson(toJson(conversation)));
        QCOMPARE(encodeJson(QList<AIConversation>()), QByteArray("[]"));
        if (!text.contains(QChar(0xD83D)))
            QCOMPARE(decodeJson<QList<AIConversation>>(encodeJson(list)), list);
    }

    void insightEncodesInFieldOrder()
    {
        AiInsight insight { u"要約"_s, std::nullopt, u"金曜"_s, ConversationStatus::needsYou, std::nullopt, u"low"_s };
        QCOMPARE(encodeJson(insight),
            QByteArray(R"({"summary":"要約","deadline":"金曜","suggestedStatus":"needs_you","risk":"low"})"));
        QCOMPARE(decodeJson<AiInsight>(encodeJson(insight)), insight);
    }

    void errorBodyAllOptional()
    {
        QCOMPARE(decodeJson<APIErrorBody>("{}"), APIErrorBody {});
        QCOMPARE(decodeJson<APIErrorBody>(R"({"error":null,"reason":"r","message":""})"),
            (APIErrorBody { std::nullopt, u"r"_s, u""_s }));
        QVERIFY(!decodeFailure<APIErrorBody>(R"({"message":5})").isEmpty());
        QVERIFY(!decodeFailure<APIErrorBody>("null").isEmpty());
    }

    void mutationResponseStatus()
    {
        auto r = decodeJson<ConversationMutationResponse>(R"({"ok":true,"conversationId":"conv_1"})");
        QCOMPARE(r.status, std::nullopt);
        QCOMPARE(r.conversationId, u"conv_1"_s);
        r = decodeJson<ConversationMutationResponse>(R"({"ok":true,"status":"scheduled"})");
        QCOMPARE(r.status, ConversationStatus::scheduled);
        QVERIFY(!decodeFailure<ConversationMutationResponse>(R"({"ok":true,"status":"later"})").isEmpty());
    }

    void timeConversions()
    {
        QCOMPARE(dateFromTime(1000), QDateTime(QDate(1970, 1, 1), QTime(0, 0, 1), Qt::UTC));
        QCOMPARE(secondsFromTime(1000), 1.0);
        QCOMPARE(secondsFromTime(-1500), -1.5);
        QCOMPARE(timeFromDate(QDateTime(QDate(1970, 1, 1), QTime(0, 0, 1), Qt::UTC)), 1000);
        QCOMPARE(timeFromDate(dateFromTime(1700000000123)), 1700000000123);
        // 0.9 ms past a whole millisecond is truncated, not rounded, in both directions.
        QCOMPARE(timeFromSeconds(1700000000.1239), 1700000000123);
        QCOMPARE(timeFromSeconds(1.0009), 1000);
        QCOMPARE(timeFromSeconds(-1.0009), -1000);
        QCOMPARE(timeFromSeconds(0.0), 0);
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, (void)timeFromSeconds(1e17));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, (void)timeFromSeconds(std::nan("")));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, (void)timeFromSeconds(-INFINITY));
    }

    void equalityAndHashCoverEveryField()
    {
        const auto a = decodeJson<ConversationListItem>(bytes(listItem()));
        auto b = a;
        QCOMPARE(a, b);
        QCOMPARE(qHash(a), qHash(b));
        b.aiRisk = u""_s; // present but empty differs from none
        QVERIFY(a != b);
        QVERIFY(qHash(a) != qHash(b));
        b = a;
        b.unread = false;
        QVERIFY(a != b);

        MessageView m = decodeJson<MessageView>(bytes(message("m1")));
        MessageView n = m;
        n.recipients[0].role = u"cc"_s;
        QVERIFY(m != n);
        QVERIFY(qHash(m) != qHash(n));
        QSet<MessageView> set { m, n, m };
        QCOMPARE(set.size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestModelJson)
#include "test_model_json.moc"
