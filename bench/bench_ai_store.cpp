// Save and load of a large AI conversation file (1,000 conversations of 50
// messages each) through AIConversationStore, against a baseline measured in
// the same iteration on the same bytes:
// - save: a plain write + fsync + rename of the already encoded bytes (the
//   time of encoding the records alone is reported beside it);
// - load: a plain read + nlohmann parse of the same file (no record decoding).
// The counters report both times and their ratio (store / baseline).
#include "ai/aiconversationstore.h"
#include "core/blocking.h"
#include "model/json.h"

#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <chrono>

#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace quarn;

namespace {

using Clock = std::chrono::steady_clock;

QList<AIConversation> makeConversations(int conversations, int messages)
{
    QList<AIConversation> list;
    list.reserve(conversations);
    for (int c = 0; c < conversations; ++c) {
        AIConversation conversation;
        conversation.id = u"ai_%1"_s.arg(c, 8, 10, QChar(u'0'));
        conversation.title = u"打ち合わせの準備 %1"_s.arg(c);
        conversation.createdAt = 1'700'000'000'000 + c;
        conversation.updatedAt = 1'700'000'100'000 + (c * 7919) % 1000;
        for (int m = 0; m < messages; ++m) {
            AIChatMessage message;
            message.id = u"msg_%1_%2"_s.arg(c).arg(m);
            message.role = m % 2 ? AIChatMessage::Role::assistant : AIChatMessage::Role::user;
            message.content = u"来週の会議の資料を確認して、必要な修正点をまとめてください。"
                              u"The draft is attached; please keep \"quotes\" and line\nbreaks. #%1"_s.arg(m);
            message.createdAt = conversation.createdAt + m;
            conversation.messages.append(message);
        }
        list.append(conversation);
    }
    return list;
}

const QList<AIConversation> &corpus()
{
    static const QList<AIConversation> list = makeConversations(1000, 50);
    return list;
}

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

void rawSave(const QByteArray &path, const QByteArray &bytes)
{
    const QByteArray temporary = path + ".raw";
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, bytes.constData(), size_t(bytes.size())) != bytes.size() || ::fsync(fd) != 0)
        std::abort();
    ::close(fd);
    if (::rename(temporary.constData(), path.constData()) != 0)
        std::abort();
}

void BM_Save(benchmark::State &state)
{
    QTemporaryDir dir;
    AIConversationStore store(dir.path() + u"/Quarn Mail/ai-conversations.json"_s);
    const QByteArray rawPath = QFile::encodeName(dir.path() + u"/raw.json"_s);
    const QList<AIConversation> &list = corpus();
    const QByteArray bytes = encodeJson(list);
    double storeTotal = 0;
    double baselineTotal = 0;
    double encodeTotal = 0;
    for (auto _ : state) {
        // Where the store's time goes beyond the baseline: encoding the records.
        const auto e0 = Clock::now();
        benchmark::DoNotOptimize(encodeJson(list));
        encodeTotal += seconds(Clock::now() - e0);

        const auto t0 = Clock::now();
        rawSave(rawPath, bytes);
        const auto t1 = Clock::now();
        blockOn(store.save(list), std::chrono::minutes(2));
        const auto t2 = Clock::now();
        baselineTotal += seconds(t1 - t0);
        storeTotal += seconds(t2 - t1);
        state.SetIterationTime(seconds(t2 - t1));
    }
    state.counters["MB"] = double(bytes.size()) / 1e6;
    state.counters["encode_ms"] = encodeTotal / double(state.iterations()) * 1e3;
    state.counters["store_ms"] = storeTotal / double(state.iterations()) * 1e3;
    state.counters["baseline_ms"] = baselineTotal / double(state.iterations()) * 1e3;
    state.counters["ratio"] = storeTotal / baselineTotal;
}

void BM_Load(benchmark::State &state)
{
    QTemporaryDir dir;
    AIConversationStore store(dir.path() + u"/Quarn Mail/ai-conversations.json"_s);
    blockOn(store.save(corpus()), std::chrono::minutes(2));
    const QString path = store.filePath();
    double storeTotal = 0;
    double baselineTotal = 0;
    qsizetype loaded = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        {
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly))
                std::abort();
            const QByteArray bytes = file.readAll();
            auto parsed = nlohmann::json::parse(bytes.constData(), bytes.constData() + bytes.size());
            benchmark::DoNotOptimize(parsed);
        }
        const auto t1 = Clock::now();
        const auto list = blockOn(store.load(), std::chrono::minutes(2));
        const auto t2 = Clock::now();
        loaded = list.size();
        baselineTotal += seconds(t1 - t0);
        storeTotal += seconds(t2 - t1);
        state.SetIterationTime(seconds(t2 - t1));
    }
    if (loaded != 1000)
        state.SkipWithError("the store did not load 1,000 conversations");
    state.counters["store_ms"] = storeTotal / double(state.iterations()) * 1e3;
    state.counters["baseline_ms"] = baselineTotal / double(state.iterations()) * 1e3;
    state.counters["ratio"] = storeTotal / baselineTotal;
}

} // namespace

BENCHMARK(BM_Save)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Load)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
