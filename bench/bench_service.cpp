// The reference service's store with a large mailbox (the demo data plus
// 1,000 incoming messages from 100 people): the people list and a person's
// first timeline page, each against the state request of the inbox measured
// alternately in the same iteration. People are tallied over every message
// of the account on each request; the ratios show what that costs next to
// the request the client repeats every 30 seconds.
//
// And the state answer of a 10,000-conversation inbox as the service makes
// it (query and directly written text) against the same query with the text
// written through a JSON tree, measured alternately.
#include "demodata.h"
#include "mailstore.h"
#include "seeding.h"
#include "util.h"
#include "wire.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

using namespace quarn::service;

namespace {

using Clock = std::chrono::steady_clock;

struct Fixture
{
    std::filesystem::path path;
    std::unique_ptr<MailStore> store;
    std::string userId;

    Fixture()
    {
        path = std::filesystem::temp_directory_path() / ("bench-service-" + randomId("", 8) + ".sqlite");
        store = std::make_unique<MailStore>(path.string(), "quarn.local");
        userId = seedDemoData(*store, nowMillis());
        const std::int64_t start = nowMillis() - 1000 * 60'000;
        for (int i = 0; i < 1000; ++i) {
            IncomingMail mail;
            mail.userId = userId;
            mail.fromAddress = "person" + std::to_string(i % 100) + "@example.co.jp";
            mail.fromName = "取引先 " + std::to_string(i % 100);
            mail.subject = "案件 " + std::to_string(i % 300);
            mail.body = "お世話になっております。資料を確認のうえ、ご返信をお願いいたします。";
            mail.at = start + std::int64_t { i } * 60'000;
            store->deliverIncoming(mail);
        }
    }
    ~Fixture()
    {
        store.reset();
        for (const char *suffix : { "", "-wal", "-shm" })
            std::filesystem::remove(path.string() + suffix);
    }
};

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

template<typename Work> void compareWithState(benchmark::State &state, Work work)
{
    static Fixture fixture;
    double baseline = 0;
    double measured = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        benchmark::DoNotOptimize(fixture.store->state(fixture.userId, "inbox"));
        const auto t1 = Clock::now();
        work(fixture);
        const auto t2 = Clock::now();
        baseline += seconds(t1 - t0);
        measured += seconds(t2 - t1);
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["state_ms"] = baseline / n * 1e3;
    state.counters["this_ms"] = measured / n * 1e3;
    state.counters["ratio"] = measured / baseline;
}

void BM_PeopleVersusState(benchmark::State &state)
{
    compareWithState(state, [](Fixture &f) { benchmark::DoNotOptimize(f.store->people(f.userId)); });
}

void BM_TimelinePageVersusState(benchmark::State &state)
{
    compareWithState(state, [](Fixture &f) {
        benchmark::DoNotOptimize(f.store->timeline(f.userId, "ken.sato@example.co.jp", std::nullopt));
    });
}

/// 10,000 conversations in the demo user's inbox, written straight into the
/// database (delivering them one by one would take minutes).
struct LargeInbox
{
    std::filesystem::path path;
    std::unique_ptr<MailStore> store;
    std::string userId;

    LargeInbox()
    {
        path = std::filesystem::temp_directory_path() / ("bench-state-" + randomId("", 8) + ".sqlite");
        store = std::make_unique<MailStore>(path.string(), "quarn.local");
        userId = seedDemoData(*store, nowMillis());
        const std::string error = quarn::bench::seedConversations(path.string(), "inbox", 10'000, userId);
        if (!error.empty()) {
            std::fprintf(stderr, "bench_service: %s\n", error.c_str());
            std::abort();
        }
    }
    ~LargeInbox()
    {
        store.reset();
        for (const char *suffix : { "", "-wal", "-shm" })
            std::filesystem::remove(path.string() + suffix);
    }
};

void BM_StateAnswer10k(benchmark::State &state)
{
    static LargeInbox inbox;
    double tree = 0;
    double direct = 0;
    std::size_t bytes = 0;
    std::size_t conversations = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        {
            const auto snapshot = inbox.store->state(inbox.userId, "inbox");
            benchmark::DoNotOptimize(wire::dump(wire::state(snapshot)));
        }
        const auto t1 = Clock::now();
        {
            const auto snapshot = inbox.store->state(inbox.userId, "inbox");
            conversations = snapshot.conversations.size();
            const std::string text = wire::stateText(snapshot);
            bytes = text.size();
            benchmark::DoNotOptimize(text);
        }
        const auto t2 = Clock::now();
        tree += seconds(t1 - t0);
        direct += seconds(t2 - t1);
        state.SetIterationTime(seconds(t2 - t1));
    }
    if (conversations < 10'000)
        state.SkipWithError("the inbox does not hold 10,000 conversations");
    const auto n = static_cast<double>(state.iterations());
    state.counters["MB"] = double(bytes) / 1e6;
    state.counters["answer_ms"] = direct / n * 1e3;
    state.counters["tree_ms"] = tree / n * 1e3;
    state.counters["ratio"] = direct / tree;
}

} // namespace

BENCHMARK(BM_StateAnswer10k)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_PeopleVersusState)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TimelinePageVersusState)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
