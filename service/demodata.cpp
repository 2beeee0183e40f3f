#include "demodata.h"

#include "mailstore.h"

#include <utility>
#include <vector>

namespace quarn::service {

namespace {

constexpr std::int64_t kMinute = 60'000;
constexpr std::int64_t kHour = 60 * kMinute;
constexpr std::int64_t kDay = 24 * kHour;

struct Party
{
    std::string email;
    std::string name;
};

/// Builds one conversation message by message, from the demo user's point of view.
class Thread
{
public:
    Thread(const User &me, Party self, std::string domain)
        : m_me(me)
        , m_self(std::move(self))
        , m_domain(std::move(domain))
    { }

    Thread &conversation(std::string subject, std::string status, std::string transport, const Party &participant)
    {
        m_c = Conversation {};
        m_c.subject = std::move(subject);
        m_c.status = std::move(status);
        m_c.transport = std::move(transport);
        m_c.participantName = participant.name;
        m_c.participantAddress = participant.email;
        return *this;
    }

    /// A message from someone else to the demo user (and `cc`).
    Thread &in(
        const Party &from, std::int64_t at, std::string body, std::vector<Party> cc = {}, std::string selfRole = "to")
    {
        Message m;
        m.senderEmail = from.email;
        m.senderName = from.name;
        m.channel = channelFor(from.email);
        m.bodyText = std::move(body);
        m.deliveryStatus = "delivered";
        m.createdAt = at;
        m.recipients.push_back({ m_self.email, m_self.name, std::move(selfRole) });
        for (const auto &p : cc)
            m.recipients.push_back({ p.email, p.name, "cc" });
        m_c.messages.push_back(std::move(m));
        return *this;
    }

    /// A message the demo user sent.
    Thread &out(std::vector<Party> to, std::int64_t at, std::string body, std::string delivery = "delivered",
        std::optional<std::int64_t> scheduledFor = std::nullopt, std::vector<Party> cc = {})
    {
        Message m;
        m.senderUserId = m_me.id;
        m.senderEmail = m_self.email;
        m.senderName = m_self.name;
        m.channel = channelFor(to.front().email);
        m.bodyText = std::move(body);
        m.deliveryStatus = std::move(delivery);
        m.createdAt = at;
        m.scheduledFor = scheduledFor;
        for (const auto &p : to)
            m.recipients.push_back({ p.email, p.name, "to" });
        for (const auto &p : cc)
            m.recipients.push_back({ p.email, p.name, "cc" });
        m_c.messages.push_back(std::move(m));
        return *this;
    }

    Thread &unread()
    {
        m_c.unread = true;
        return *this;
    }

    Thread &insight(std::string summary, std::optional<std::string> request, std::optional<std::string> deadline,
        std::optional<std::string> draft, std::string risk)
    {
        m_c.ai = Insight { std::move(summary), std::move(request), std::move(deadline), std::move(draft),
            std::move(risk) };
        return *this;
    }

    std::string save(MailStore &store) { return store.importConversation(m_me.id, m_c); }

private:
    std::string channelFor(const std::string &email) const
    {
        return email.ends_with("@" + m_domain) ? "chat" : "email";
    }

    const User &m_me;
    Party m_self;
    std::string m_domain;
    Conversation m_c;
};

} // namespace

std::string seedDemoData(MailStore &store, std::int64_t now)
{
    const User me = store.createUser("山田 葵", "aoi.yamada@example.jp");
    store.setMailbox(me.id, "aoi", "山田 葵");
    const std::string domain = store.mailDomain();
    const Party self { "aoi@" + domain, "山田 葵" };

    const Party sato { "ken.sato@example.co.jp", "佐藤 健" };
    const Party tanaka { "misaki.tanaka@example.co.jp", "田中 美咲" };
    const Party emily { "emily.carter@example.com", "Emily Carter" };
    const Party daniel { "daniel.kim@example.com", "Daniel Kim" };
    const Party billing { "billing@example.net", "株式会社サンプル 経理部" };
    const Party nakamura { "nakamura@example.jp", "中村 大輔" };
    const Party ren { "ren@" + domain, "鈴木 蓮" };
    const Party team { "team@" + domain, "Quarn チーム" };
    const Party news { "news@example.org", "週刊テックニュース" };
    const Party subscribers { "subscribers@example.org", "購読者各位" };
    const Party hanako { "hanako.yamada@example.jp", "山田 花子" };
    const Party priya { "priya.nair@example.com", "Priya Nair" };
    const Party summit { "registration@summit.invalid", "Tokyo Dev Summit" };

    Thread t(me, self, domain);

    // needs_you
    t.conversation("来週の打ち合わせ日程について", "needs_you", "email", sato)
        .in(sato, now - 3 * kHour,
            "山田さん\n\nお疲れさまです。佐藤です。\n来週の定例の件、以下の候補でご都合いかがでしょうか。\n\n"
            "・6月10日（月）14:00〜15:00\n・6月11日（火）10:00〜11:00\n・6月12日（水）16:00〜17:00\n\n"
            "金曜日までにご返信いただけると助かります。\nよろしくお願いします。")
        .unread()
        .insight("佐藤さんから来週の定例の候補日が3つ届いています。", "都合の良い日時を1つ選んで返信する", "金曜日まで",
            "佐藤さん\n\nご連絡ありがとうございます。6月11日（火）10:00〜11:00でお願いできますでしょうか。\n\n山田",
            "low")
        .save(store);
    t.conversation("Contract renewal — signature needed by Friday", "needs_you", "email", emily)
        .in(emily, now - 26 * kHour,
            "Hi Aoi,\n\nAttached is the renewal agreement for next year. Legal has already approved the changes we "
            "discussed (section 4.2 and the new SLA annex).\n\nCould you sign and send it back by "
            "Friday?\n\nBest,\nEmily")
        .out({ emily }, now - 25 * kHour, "Thanks Emily, I'll review it today and get back to you.")
        .in(emily, now - 5 * kHour,
            "Just a gentle reminder — our finance team needs the signed copy before the end of the week.")
        .insight("The renewal agreement is ready; Emily needs the signed copy by Friday.",
            "Sign the renewal agreement and return it", "Friday",
            "Hi Emily,\n\nThanks for the reminder. I'll send the signed copy by Thursday.\n\nBest,\nAoi", "medium")
        .save(store);
    t.conversation("Q3ロードマップレビュー", "needs_you", "email", tanaka)
        .in(tanaka, now - 2 * kDay,
            "皆さん\n\nQ3ロードマップのドラフトを共有します。木曜日のレビューまでにコメントをお願いします。",
            { sato, emily })
        .in(sato, now - 2 * kDay + 2 * kHour,
            "田中さん、ありがとうございます。検索機能の優先度は上げたほうが良いと思います。", { tanaka, emily })
        .in(emily, now - 1 * kDay, "Looks good overall. Can we add the data export item to the July milestone?",
            { tanaka, sato })
        .in(tanaka, now - 4 * kHour,
            "山田さん、デザイン面の見積もりだけまだいただけていません。明日までにお願いできますか？", { sato, emily })
        .insight("Q3ロードマップのレビューで、デザインの見積もりが山田さんに求められています。",
            "デザイン作業の見積もりを共有する", "明日", std::nullopt, "medium")
        .save(store);

    // ai_working: a triage in progress (the open job expires if nobody completes it)
    const std::string invoice
        = t.conversation("請求書 #2024-118 の確認", "inbox", "email", billing)
              .in(billing, now - 40 * kMinute,
                  "山田様\n\nいつもお世話になっております。5月分のご請求書（#2024-118）をお送りします。\n"
                  "金額：132,000円（税込）\nお支払期限：6月30日\n\nご確認のほどよろしくお願いいたします。")
              .unread()
              .save(store);
    store.startAI(me.id, invoice);

    // waiting
    t.conversation("オフィス移転のお知らせ", "waiting", "email", nakamura)
        .in(nakamura, now - 3 * kDay,
            "山田様\n\n弊社は7月1日より下記住所に移転いたします。お手数ですが登録情報の更新をお願いいたします。")
        .out({ nakamura }, now - 3 * kDay + 3 * kHour,
            "中村様\n\nご連絡ありがとうございます。登録情報を更新しました。新しい請求先もこちらでよろしいでしょうか。")
        .insight("中村さんの会社が7月1日に移転します。請求先の確認を返信待ちです。", std::nullopt, std::nullopt,
            std::nullopt, "low")
        .save(store);
    t.conversation("ランチどうする？", "waiting", "chat", ren)
        .in(ren, now - 90 * kMinute, "今日のランチ、新しくできたカレー屋さん行きませんか？")
        .out({ ren }, now - 85 * kMinute, "いいですね！12時半でどうでしょう？")
        .save(store);
    t.conversation("Conference badge pickup", "waiting", "email", summit)
        .out({ summit }, now - 6 * kHour,
            "Hello,\n\nCould you tell me where to pick up speaker badges on the first day?\n\nThanks,\nAoi Yamada",
            "failed")
        .save(store);

    // scheduled
    t.conversation("Happy birthday!", "scheduled", "email", priya)
        .out({ priya }, now - 2 * kHour, "Happy birthday, Priya! Hope you have a wonderful day. 🎂", "scheduled",
            now + 2 * kDay)
        .save(store);
    t.conversation("明日の朝会リマインド", "scheduled", "chat", ren)
        .out({ ren }, now - 30 * kMinute, "明日の朝会は9時からです。資料の共有をお願いします！", "scheduled",
            now + 16 * kHour)
        .save(store);

    // inbox
    t.conversation("Partnership inquiry", "inbox", "email", daniel)
        .in(daniel, now - 20 * kMinute,
            "Hi Aoi,\n\nI'm the partnerships lead at Northwind Labs. We'd love to explore an integration with your "
            "team's product. Would you have 30 minutes next week for an intro call?\n\nCheers,\nDaniel")
        .unread()
        .save(store);
    t.conversation("【週刊テックニュース】今週の注目トピック", "inbox", "email", news)
        .in(news, now - 10 * kHour,
            "今週の注目トピック：\n1. 新しいブラウザAPIの標準化\n2. 国内クラウド市場の動向\n3. 生成AIと著作権",
            { subscribers }, "envelope_to")
        .save(store);
    t.conversation("写真を共有しました", "inbox", "email", hanako)
        .in(hanako, now - 7 * kHour,
            "葵へ\n\n週末の旅行の写真をアルバムにまとめたよ。時間があるときに見てね。\n\n母より")
        .unread()
        .save(store);

    // done
    t.conversation("領収書の送付", "done", "email", billing)
        .in(billing, now - 12 * kDay, "山田様\n\n4月分の領収書をお送りします。")
        .out({ billing }, now - 12 * kDay + kHour, "受領しました。ありがとうございます。")
        .insight("4月分の領収書を受領済み。対応は不要です。", std::nullopt, std::nullopt, std::nullopt, "low")
        .save(store);
    t.conversation("Quarn Mail へようこそ", "done", "chat", team)
        .in(team, now - 30 * kDay,
            "Quarn Mail へようこそ！届いたメールはAIが整理し、「あなたの番」「返信待ち」などに分けて表示します。")
        .save(store);

    // A colleague with a long history: weekly reports over many weeks, long
    // enough for several timeline pages. One week's messages were imported in
    // a batch and share one time, so a page boundary falls inside a run of
    // equal times.
    const std::int64_t weeksStart = now - 40 * 7 * kDay;
    for (int week = 1; week <= 36; ++week) {
        const std::int64_t at = weeksStart + static_cast<std::int64_t>(week) * 7 * kDay;
        t.conversation("週次報告（第" + std::to_string(week) + "週）", "done", "email", sato);
        if (week == 22) {
            // Four messages, one timestamp (a batch import from the old system);
            // with the newer mail above, the first page ends inside this run.
            t.in(sato, at, "第22週の報告です。リリース準備は順調です。")
                .out({ sato }, at, "確認しました。ありがとうございます。")
                .in(sato, at, "補足：テスト環境の更新は来週です。")
                .out({ sato }, at, "了解です。");
        } else {
            t.in(sato, at, "第" + std::to_string(week) + "週の報告です。\n・進捗：予定どおり\n・課題：特になし")
                .out({ sato }, at + 2 * kHour, "ありがとうございます。確認しました。")
                .in(sato, at + 3 * kHour, "よろしくお願いします。");
        }
        t.save(store);
    }
    return me.id;
}

} // namespace quarn::service
