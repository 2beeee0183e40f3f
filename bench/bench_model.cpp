// Typed decoding of a large state answer (10,000 conversations, Japanese
// text, every optional AI field on half of them) against a plain
// nlohmann::json::parse of the same bytes, measured alternately in the same
// iteration. The counters report the times and their ratio (typed / parse),
// and beside them a bare simdjson DOM parse of the same bytes, the floor of
// the typed decoder. Times are the thread's CPU time, which other work on a
// shared machine disturbs less than the wall clock.
#include "model/json.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <simdjson.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>

using namespace Qt::StringLiterals;
using namespace quarn;

namespace {

/// The calling thread's CPU time.
struct Clock
{
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<Clock, duration>;
    static time_point now()
    {
        timespec ts {};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return time_point(std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec));
    }
};

MailState makeState(int conversations)
{
    static const QString subjects[] = { u"来週の打ち合わせについて"_s, u"見積書の送付（株式会社サンプル）"_s,
        u"Re: 請求書の件"_s, u"【至急】サーバー障害のご報告"_s, u"懇親会のご案内 🍻"_s };
    static const QString names[] = { u"山田 花子"_s, u"佐藤 太郎"_s, u"鈴木 一郎"_s, u"田中 美咲"_s, u"Alex Kim"_s };
    MailState state;
    state.mailbox = Mailbox { u"sato@quarn.app"_s, u"佐藤 太郎"_s };
    state.viewer = Viewer { u"usr_01HZX3"_s, u"佐藤 太郎"_s, u"sato@example.jp"_s };
    state.status = ConversationStatus::inbox;
    state.counts = { { u"needs_you"_s, 12 }, { u"ai_working"_s, 1 }, { u"waiting"_s, 40 }, { u"scheduled"_s, 2 },
        { u"inbox"_s, conversations }, { u"done"_s, 5230 } };
    state.conversations.reserve(conversations);
    for (int i = 0; i < conversations; ++i) {
        ConversationListItem c;
        c.id = u"conv_%1"_s.arg(i, 12, 36, QChar(u'0'));
        c.subject = subjects[i % 5];
        c.status = ConversationStatus::inbox;
        c.transport = i % 7 == 0 ? ConversationTransport::chat : ConversationTransport::email;
        c.participantName = names[i % 5];
        c.participantAddress = u"person%1@example.co.jp"_s.arg(i % 977);
        c.preview = u"お世話になっております。先日お送りした資料について、いくつか確認させてください。"
                    u"締め切りは金曜日の17時です。 #%1"_s.arg(i);
        c.lastMessageAt = 1'700'000'000'000 + qint64(i) * 60'013;
        c.unread = i % 3 == 0;
        if (i % 2 == 0) {
            c.aiSummary = u"資料の確認依頼。金曜17時までに回答が必要。"_s;
            c.aiRequest = u"添付資料の数値を確認し、修正点を返信すること"_s;
            c.aiDeadline = u"金曜日 17:00"_s;
            c.aiDraft = u"ご連絡ありがとうございます。資料を確認のうえ、金曜日までにご返信いたします。"_s;
            c.aiRisk = u"medium"_s;
        }
        state.conversations.append(std::move(c));
    }
    return state;
}

/// Merges the small blocks freed so far (glibc does that on the next large
/// request) without giving memory back to the system, which would make the
/// next stretch pay for faulting it in again.
void settleHeap()
{
    void *block = std::malloc(64 * 1024);
    benchmark::DoNotOptimize(block);
    std::free(block);
}

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

void BM_DecodeMailState(benchmark::State &state)
{
    const QByteArray bytes = encodeJson(makeState(10'000));
    double typedTotal = 0;
    double parseTotal = 0;
    double simdTotal = 0;
    qsizetype decoded = 0;
    simdjson::dom::parser simd;
    for (auto _ : state) {
        // Each result is freed outside the timed stretches, and the allocator
        // settles in between, so that neither side pays for the other's
        // garbage.
        std::optional<nlohmann::json> parsed;
        std::optional<MailState> typed;
        settleHeap();
        const auto t0 = Clock::now();
        parsed = nlohmann::json::parse(bytes.constData(), bytes.constData() + bytes.size());
        const auto t1 = Clock::now();
        parsed.reset();
        settleHeap();
        const auto t1b = Clock::now();
        typed = decodeJson<MailState>(bytes);
        const auto t2 = Clock::now();
        decoded = typed->conversations.size();
        typed.reset();
        settleHeap();
        const auto t2b = Clock::now();
        {
            simdjson::dom::element root;
            if (simd.parse(bytes.constData(), std::size_t(bytes.size())).get(root) != simdjson::SUCCESS)
                state.SkipWithError("simdjson refused the state");
            benchmark::DoNotOptimize(root);
        }
        simdTotal += seconds(Clock::now() - t2b);
        parseTotal += seconds(t1 - t0);
        typedTotal += seconds(t2 - t1b);
        state.SetIterationTime(seconds(t2 - t1b));
    }
    if (decoded != 10'000)
        state.SkipWithError("the state did not decode 10,000 conversations");
    state.counters["MB"] = double(bytes.size()) / 1e6;
    state.counters["typed_ms"] = typedTotal / double(state.iterations()) * 1e3;
    state.counters["parse_ms"] = parseTotal / double(state.iterations()) * 1e3;
    state.counters["simd_parse_ms"] = simdTotal / double(state.iterations()) * 1e3;
    state.counters["ratio"] = typedTotal / parseTotal;
}

} // namespace

BENCHMARK(BM_DecodeMailState)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

BENCHMARK_MAIN();
