// The full trust check of the real Codex CLI executable (ownership, native
// format, pinned SHA-256 of the whole file, links) against a raw streaming
// EVP SHA-256 of the same file, both measured in the same iteration. A triage
// runs this check four times, so it should cost no more than the digest.
//
// The executable: $QUARN_CODEX_BINARY, else the platform executable inside
// the cache of scripts/fetch-codex. Without it the benchmark is skipped.
#include "ai/codexrunner.h"
#include "platform/paths.h"

#include <QFile>
#include <QFileInfo>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

using namespace quarn;

namespace {

using Clock = std::chrono::steady_clock;

QString executablePath()
{
    const QString fromEnvironment = qEnvironmentVariable("QUARN_CODEX_BINARY");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    QString cache = qEnvironmentVariable("QUARN_CODEX_CACHE");
    if (cache.isEmpty()) {
        const QString xdg = qEnvironmentVariable("XDG_CACHE_HOME");
        cache = (xdg.isEmpty() ? platform::homeDirectory() + QStringLiteral("/.cache") : xdg)
            + QStringLiteral("/quarn-mail/codex-0.147.0");
    }
#if defined(__x86_64__)
    return cache + QStringLiteral("/node_modules/@openai/codex-linux-x64/vendor/x86_64-unknown-linux-musl/bin/codex");
#else
    return cache
        + QStringLiteral("/node_modules/@openai/codex-linux-arm64/vendor/aarch64-unknown-linux-musl/bin/codex");
#endif
}

/// The baseline: open, read in 1 MiB pieces, EVP SHA-256, nothing else.
bool rawDigest(const QByteArray &path, unsigned char *out)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    constexpr std::size_t chunk = std::size_t { 1 } << 20;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[chunk]);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    ssize_t n;
    while ((n = ::read(fd, buffer.get(), chunk)) > 0)
        EVP_DigestUpdate(ctx, buffer.get(), std::size_t(n));
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx, out, &length);
    EVP_MD_CTX_free(ctx);
    ::close(fd);
    return n == 0;
}

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

void BM_TrustCheck(benchmark::State &state)
{
    const QString path = executablePath();
    if (!QFileInfo::exists(path)) {
        state.SkipWithError("no Codex CLI executable: set QUARN_CODEX_BINARY or run scripts/fetch-codex");
        return;
    }
    const QString pinned = CodexRunner::Configuration::production().pinnedDigest;
    if (!CodexRunner::isTrustedCodexBinary(path, pinned)) {
        state.SkipWithError("the executable is not the reviewed build (or not owned by this user)");
        return;
    }
    const QByteArray native = QFile::encodeName(path);
    double checkTotal = 0;
    double baselineTotal = 0;
    unsigned char digest[EVP_MAX_MD_SIZE];
    long round = 0;
    for (auto _ : state) {
        // Alternate the order so that neither side always follows the other.
        const bool baselineFirst = round++ % 2 == 0;
        if (baselineFirst) {
            const auto t0 = Clock::now();
            benchmark::DoNotOptimize(rawDigest(native, digest));
            baselineTotal += seconds(Clock::now() - t0);
        }
        const auto t1 = Clock::now();
        const bool trusted = CodexRunner::isTrustedCodexBinary(path, pinned);
        const double check = seconds(Clock::now() - t1);
        checkTotal += check;
        if (!trusted)
            state.SkipWithError("trust check failed during the run");
        if (!baselineFirst) {
            const auto t2 = Clock::now();
            benchmark::DoNotOptimize(rawDigest(native, digest));
            baselineTotal += seconds(Clock::now() - t2);
        }
        state.SetIterationTime(check);
    }
    const double n = double(state.iterations());
    state.counters["MB"] = double(QFileInfo(path).size()) / 1e6;
    state.counters["check_ms"] = checkTotal / n * 1e3;
    state.counters["raw_evp_ms"] = baselineTotal / n * 1e3;
    state.counters["ratio"] = checkTotal / baselineTotal;
}

} // namespace

BENCHMARK(BM_TrustCheck)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);

BENCHMARK_MAIN();
