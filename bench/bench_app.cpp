// The app model with 10,000 conversations in one list, from the reference
// service on loopback, each figure against a baseline measured in the same
// iteration:
// - search: AppModel::setSearchText (the filtered list and its list model
//   brought up to date) against a plain linear scan of the same lower-cased
//   search texts for the same query;
// - reload: AppModel::refresh end to end (state request, decoding, search
//   texts, list model, people request) against a raw HTTP GET of the same
//   state endpoint and a plain JSON parse of its body. Two cases: every row
//   new (selectStatus to the other list of 10,000: the list is emptied, then
//   reloaded) and the steady 30-second reload of an unchanged list. Beside
//   each, the longest stretch the main thread was busy during the model's
//   reload: the largest gap between ticks of a 1 ms timer on it.
#include "account/devicecredentialstore.h"
#include "ai/codexrunner.h"
#include "api/apiclient.h"
#include "app/appmodel.h"
#include "core/blocking.h"
#include "seeding.h"
#include "support/referenceservice.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTemporaryDir>
#include <QTimer>

#include <QCoroNetworkReply>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

using namespace Qt::StringLiterals;
using namespace quarn;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kConversations = 10'000;

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "bench_app: %s\n", what);
    std::abort();
}

/// 10,000 conversations in the inbox and 10,000 done.
void seed(const QString &databasePath)
{
    for (const char *status : { "inbox", "done" }) {
        const std::string error
            = bench::seedConversations(QFile::encodeName(databasePath).toStdString(), status, kConversations);
        if (!error.empty())
            fail(error.c_str());
    }
}

/// The service with its 20,000 conversations, a token stored in a temporary
/// home and one model that has started up on them (no Codex installed, so no
/// triage runs).
struct Fixture
{
    test::ReferenceService service { test::ReferenceService::Data::Empty };
    QTemporaryDir home;
    std::unique_ptr<AppModel> model;

    Fixture()
    {
        if (!service.start())
            fail(qPrintable(service.errorString()));
        seed(service.databasePath());
        const QString data = home.filePath(u"data"_s);
        DeviceCredentialStore(data).save(service.token());
        CodexRunner::Configuration configuration;
        configuration.pinnedDigest = QString(64, u'0');
        configuration.installCandidates = { home.filePath(u"nowhere/codex"_s) };
        configuration.runtimeDirectory = data + u"/runtime"_s;
        AppEnvironment environment;
        environment.baseURL = service.baseUrl();
        environment.credentialDirectory = data;
        environment.codex = std::make_shared<CodexRunner>(configuration);
        environment.aiConversationFile = data + u"/ai-conversations.json"_s;
        model = std::make_unique<AppModel>(std::move(environment));
        blockOn(model->bootstrap(), std::chrono::minutes(1));
        blockOn(model->selectStatus(ConversationStatus::inbox), std::chrono::minutes(1));
        if (model->filteredConversationsModel()->rowCount() != kConversations)
            fail("the model did not load 10,000 conversations");
    }
};

Fixture &fixture()
{
    static Fixture f;
    return f;
}

QCoro::Task<QByteArray> rawGet(QNetworkAccessManager *manager, QUrl url, QString token)
{
    QNetworkRequest request(url);
    request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    request.setRawHeader("Accept", "application/json");
    std::unique_ptr<QNetworkReply> reply(manager->get(request));
    co_await qCoro(reply.get()).waitForFinished();
    co_return reply->readAll();
}

void BM_Search(benchmark::State &state)
{
    AppModel &model = *fixture().model;
    QStringList haystacks;
    for (const ConversationListItem &c : model.state()->conversations)
        haystacks.append(conversationSearchText(c));
    const QString queries[] = { u"draft #12"_s, u"draft #13"_s };
    double modelTotal = 0;
    double baselineTotal = 0;
    int shown = 0;
    int round = 0;
    for (auto _ : state) {
        const QString &query = queries[round++ % 2];
        const auto t0 = Clock::now();
        int matches = 0;
        for (const QString &h : haystacks)
            matches += h.contains(query) ? 1 : 0;
        benchmark::DoNotOptimize(matches);
        const auto t1 = Clock::now();
        model.setSearchText(query);
        shown = model.filteredConversationsModel()->rowCount();
        const auto t2 = Clock::now();
        if (shown != matches)
            state.SkipWithError("the model and the scan disagree");
        baselineTotal += seconds(t1 - t0);
        modelTotal += seconds(t2 - t1);
        state.SetIterationTime(seconds(t2 - t1));
    }
    model.setSearchText(QString());
    state.counters["rows_shown"] = shown;
    state.counters["model_ms"] = modelTotal / double(state.iterations()) * 1e3;
    state.counters["baseline_ms"] = baselineTotal / double(state.iterations()) * 1e3;
    state.counters["ratio"] = modelTotal / baselineTotal;
}

/// "Open the next conversation" (the keyboard's Down): the main thread's
/// work from the call until the model holds the next conversation's detail
/// when it was fetched ahead, against the same open of a conversation that
/// was not (until its answer from the service is applied).
void BM_OpenNext(benchmark::State &state)
{
    AppModel &model = *fixture().model;
    const QList<ConversationListItem> rows = model.filteredConversations();
    double aheadTotal = 0;
    double coldTotal = 0;
    qsizetype at = 100;
    for (auto _ : state) {
        at += 10;
        const QString cold = rows.at(at).id;
        const QString next = rows.at(at + 1).id;
        const auto t0 = Clock::now();
        blockOn(model.openConversation(cold), std::chrono::seconds(30));
        const auto t1 = Clock::now();
        if (!model.detail() || model.detail()->id != cold) {
            state.SkipWithError("the conversation did not open");
            break;
        }
        QDeadlineTimer patience(10'000);
        while (!model.hasFetchedAhead(next) && !patience.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (!model.hasFetchedAhead(next)) {
            state.SkipWithError("the next conversation was not fetched ahead");
            break;
        }
        const auto t2 = Clock::now();
        auto opening = model.openConversation(next);
        const bool shown = model.detail() && model.detail()->id == next;
        const auto t3 = Clock::now();
        blockOn(std::move(opening), std::chrono::seconds(30));
        if (!shown) {
            state.SkipWithError("the fetched-ahead detail was not shown at once");
            break;
        }
        coldTotal += seconds(t1 - t0);
        aheadTotal += seconds(t3 - t2);
        state.SetIterationTime(seconds(t3 - t2));
    }
    const auto n = double(std::max<benchmark::IterationCount>(state.iterations(), 1));
    state.counters["ahead_ms"] = aheadTotal / n * 1e3;
    state.counters["not_ahead_ms"] = coldTotal / n * 1e3;
    state.counters["ratio"] = coldTotal > 0 ? aheadTotal / coldTotal : 0;
}

void reload(benchmark::State &state, bool everyRowNew)
{
    Fixture &f = fixture();
    AppModel &model = *f.model;
    QNetworkAccessManager manager;
    const APIClient api(f.service.baseUrl());
    double modelTotal = 0;
    double baselineTotal = 0;
    double clientTotal = 0;
    double longestStall = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    Clock::time_point lastTick;
    double stall = 0;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const auto now = Clock::now();
        stall = std::max(stall, seconds(now - lastTick));
        lastTick = now;
    });
    for (auto _ : state) {
        ConversationStatus status = model.selectedStatus();
        if (everyRowNew)
            status = status == ConversationStatus::inbox ? ConversationStatus::done : ConversationStatus::inbox;
        QUrl url = f.service.baseUrl();
        url.setPath(u"/api/state"_s);
        url.setQuery(u"status="_s + rawValue(status));
        const auto t0 = Clock::now();
        const QByteArray body = blockOn(rawGet(&manager, url, f.service.token()), std::chrono::minutes(1));
        auto parsed = nlohmann::json::parse(body.constData(), body.constData() + body.size());
        benchmark::DoNotOptimize(parsed);
        const auto t1 = Clock::now();
        // Where the model's time goes beyond the baseline: the service client's
        // strict decoding into records (reported, not part of either figure).
        benchmark::DoNotOptimize(blockOn(api.state(status, f.service.token()), std::chrono::minutes(1)));
        clientTotal += seconds(Clock::now() - t1);
        const auto t1b = Clock::now();
        stall = 0;
        lastTick = t1b;
        ticker.start();
        // Switching the status empties the list at once and then reloads it,
        // so every row the view shows afterwards is new.
        if (everyRowNew)
            blockOn(model.selectStatus(status), std::chrono::minutes(1));
        else
            blockOn(model.refresh(true), std::chrono::minutes(1));
        const auto t2 = Clock::now();
        ticker.stop();
        stall = std::max(stall, seconds(t2 - lastTick));
        longestStall = std::max(longestStall, stall);
        if (model.filteredConversationsModel()->rowCount() != kConversations)
            state.SkipWithError("the reload did not show 10,000 conversations");
        baselineTotal += seconds(t1 - t0);
        modelTotal += seconds(t2 - t1b);
        state.SetIterationTime(seconds(t2 - t1b));
    }
    state.counters["client_ms"] = clientTotal / double(state.iterations()) * 1e3;
    state.counters["main_stall_ms"] = longestStall * 1e3;
    state.counters["model_ms"] = modelTotal / double(state.iterations()) * 1e3;
    state.counters["baseline_ms"] = baselineTotal / double(state.iterations()) * 1e3;
    state.counters["ratio"] = modelTotal / baselineTotal;
}

void BM_RefreshEveryRowNew(benchmark::State &state)
{
    reload(state, true);
}

void BM_RefreshUnchanged(benchmark::State &state)
{
    reload(state, false);
}

} // namespace

BENCHMARK(BM_Search)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(50);
BENCHMARK(BM_OpenNext)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_RefreshEveryRowNew)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_RefreshUnchanged)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
