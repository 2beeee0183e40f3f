#include "app/provisioning.h"

#include "account/devicecredentialstore.h"

#include <QStringDecoder>

#include <cerrno>
#include <cstring>
#include <optional>

#include <unistd.h>

namespace quarn::provisioning {

namespace {

constexpr char kSwitch[] = "--provision-token";
constexpr char kFailureMessage[] = "Quarn Mail token provisioning failed.\n";

// No token comes anywhere near this; a longer line is refused without reading
// the rest of it into memory.
constexpr qsizetype kMaximumLine = 4096;

enum class ReadOutcome { line, endOfInput, failed };

/// Reads up to and including the first LF, byte by byte, so that nothing past
/// the first line is taken from the input.
ReadOutcome readFirstLine(int fd, QByteArray &line)
{
    bool sawAnything = false;
    for (;;) {
        char c = 0;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return ReadOutcome::failed;
        }
        if (n == 0)
            return sawAnything ? ReadOutcome::line : ReadOutcome::endOfInput;
        sawAnything = true;
        if (c == '\n') {
            // A CR only counts as part of the line end right before the LF.
            if (line.endsWith('\r'))
                line.chop(1);
            return ReadOutcome::line;
        }
        if (line.size() >= kMaximumLine)
            return ReadOutcome::failed;
        line.append(c);
    }
}

void writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        size -= size_t(n);
    }
}

int failed(int errorFd)
{
    writeAll(errorFd, kFailureMessage, sizeof(kFailureMessage) - 1);
    return 1;
}

} // namespace

bool isRequested(int argc, const char *const *argv)
{
    for (int i = 0; i < argc; ++i) {
        if (argv[i] && std::strcmp(argv[i], kSwitch) == 0)
            return true;
    }
    return false;
}

int run(int inputFd, int errorFd, const DeviceCredentialStore &store)
{
    QByteArray line;
    switch (readFirstLine(inputFd, line)) {
    case ReadOutcome::endOfInput:
        return 1;
    case ReadOutcome::failed:
        return failed(errorFd);
    case ReadOutcome::line:
        break;
    }
    // Bytes that are not UTF-8 are refused rather than stored with
    // replacement characters in their place.
    QStringDecoder decoder(
        QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    const QString token = decoder.decode(line);
    if (decoder.hasError())
        return failed(errorFd);
    try {
        store.save(token);
    } catch (...) {
        return failed(errorFd);
    }
    return 0;
}

int run()
{
    try {
        const DeviceCredentialStore store;
        return run(STDIN_FILENO, STDERR_FILENO, store);
    } catch (...) {
        return failed(STDERR_FILENO);
    }
}

} // namespace quarn::provisioning
