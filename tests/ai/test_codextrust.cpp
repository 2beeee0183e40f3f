// Discovery, the trust check and staging of the Codex CLI, on fixtures built
// from the double: links, foreign owners, foreign formats, modified copies.

#include "ai/codexrunner.h"
#include "codexdoublehome.h"
#include "core/blocking.h"
#include "core/error.h"
#include "platform/executabletrust.h"
#include "platform/paths.h"
#include "support/scopedenvironment.h"

#include <QProcess>
#include <QTest>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>

#include <elf.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
using quarn::CodexRunner;
using quarn::CodexRunnerError;
using namespace quarn::testing;

namespace {

constexpr uid_t kOtherUser = 65534;

#if defined(__x86_64__)
const QString kPlatformPackage = QStringLiteral("codex-linux-x64");
const QString kPlatformExecutable = QStringLiteral("vendor/x86_64-unknown-linux-musl/bin/codex");
constexpr Elf64_Half kForeignMachine = EM_AARCH64;
#else
const QString kPlatformPackage = QStringLiteral("codex-linux-arm64");
const QString kPlatformExecutable = QStringLiteral("vendor/aarch64-unknown-linux-musl/bin/codex");
constexpr Elf64_Half kForeignMachine = EM_X86_64;
#endif

bool writeFile(const QString &path, const QByteArray &bytes, QFile::Permissions permissions = {})
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return false;
    file.close();
    return permissions == QFile::Permissions() || file.setPermissions(permissions);
}

const QFile::Permissions kExecutable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
    | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;

QByteArray doubleBytes()
{
    QFile file(codexDoublePath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

/// A copy of the double at `path`, optionally with bytes patched.
bool placeDouble(const QString &path, const std::function<void(QByteArray &)> &patch = {})
{
    QByteArray bytes = doubleBytes();
    if (bytes.isEmpty())
        return false;
    if (patch)
        patch(bytes);
    return writeFile(path, bytes, kExecutable);
}

bool chownToOtherUser(const QString &path)
{
    return ::lchown(QFile::encodeName(path).constData(), kOtherUser, kOtherUser) == 0;
}

ino_t inodeOf(const QString &path)
{
    struct stat st
    {
    };
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

mode_t modeOf(const QString &path)
{
    struct stat st
    {
    };
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

/// What a preparation ended with.
struct Prepared
{
    QString path;
    std::optional<CodexRunnerError::Kind> runnerError;
    std::optional<int> platformErrno;
};

Prepared prepareWith(CodexRunner &runner)
{
    Prepared result;
    try {
        result.path = quarn::blockOn(runner.prepare(), 60s);
    } catch (const CodexRunnerError &e) {
        result.runnerError = e.kind();
    } catch (const quarn::PlatformError &e) {
        result.platformErrno = e.code();
    }
    return result;
}

/// An installation and a data folder in a temporary folder.
struct Installation
{
    QTemporaryDir dir;
    QString installed = dir.filePath(QStringLiteral("opt/codex/codex"));
    QString candidate = dir.filePath(QStringLiteral("bin/codex"));
    QString runtime = dir.filePath(QStringLiteral("data/Quarn Mail/runtime"));
    QString staged = runtime + QStringLiteral("/reviewed-codex-0.147.0");
    QString digest;

    bool setUp()
    {
        if (!dir.isValid() || !placeDouble(installed) || !QDir().mkpath(dir.filePath(QStringLiteral("bin"))))
            return false;
        digest = fileDigest(installed);
        return QFile::link(installed, candidate);
    }

    [[nodiscard]] CodexRunner::Configuration configuration() const
    {
        CodexRunner::Configuration configuration;
        configuration.pinnedDigest = digest;
        configuration.installCandidates = { candidate, dir.filePath(QStringLiteral("home/.local/bin/codex")) };
        configuration.runtimeDirectory = runtime;
        return configuration;
    }
};

/// An ordinary user for the cases that root cannot stand for: root reads and
/// enters any folder, and its own files are always "the user's".
constexpr uid_t kOrdinaryUser = 65534;
constexpr uid_t kAnotherOrdinaryUser = 65533;

/// Runs the stage probe (tests/ai/codexstageprobe.cpp) as kOrdinaryUser and
/// answers the line it printed; empty when it could not run.
QByteArray probeAsOrdinaryUser(const QString &probe, const QStringList &arguments)
{
    QProcess process;
    process.setChildProcessModifier([] {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kOrdinaryUser, kOrdinaryUser, kOrdinaryUser) != 0
            || ::setresuid(kOrdinaryUser, kOrdinaryUser, kOrdinaryUser) != 0)
            ::_exit(126);
    });
    // Run as another user, LeakSanitizer's stop-the-world at exit cannot
    // always attach to the probe's threads and ends it with code 1 and no
    // word; leaks are checked where the same code runs in this process.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString sanitizer = environment.value(QStringLiteral("ASAN_OPTIONS"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
        sanitizer + QLatin1String(sanitizer.isEmpty() ? "" : ":") + QStringLiteral("detect_leaks=0"));
    process.setProcessEnvironment(environment);
    process.start(probe, arguments);
    if (!process.waitForFinished(60'000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        // Whatever the probe said about its end is the only clue when it fails.
        qWarning("probe %s ended with status %d, code %d: %s", qPrintable(arguments.join(u' ')),
            int(process.exitStatus()), process.exitCode(), process.readAllStandardError().constData());
        return {};
    }
    return process.readAllStandardOutput().trimmed();
}

} // namespace

class TestCodexTrust : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    bool m_isRoot = ::getuid() == 0;

private Q_SLOTS:
    void sha256StreamsWholeFiles_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("abc") << QByteArray("abc");
        QByteArray large(5 * 1024 * 1024 + 3, '\0');
        for (qsizetype i = 0; i < large.size(); ++i)
            large[i] = char((i * 131) % 251);
        QTest::newRow("several read chunks, ragged end") << large;
    }

    void sha256StreamsWholeFiles()
    {
        QFETCH(QByteArray, content);
        const QString path = m_dir.filePath(QStringLiteral("digest-input"));
        QVERIFY(writeFile(path, content));
        const QString expected
            = QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
        QCOMPARE(quarn::platform::sha256Hex(path), expected);
        if (content == "abc")
            QCOMPARE(expected, QStringLiteral("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    }

    void sha256OfWhatCannotBeRead()
    {
        QVERIFY(!quarn::platform::sha256Hex(m_dir.filePath(QStringLiteral("missing"))).has_value());
        QVERIFY(!quarn::platform::sha256Hex(m_dir.path()).has_value());
    }

    void ownedPrivateDirectory_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("expected");
        QTest::newRow("0700, own") << QStringLiteral("0700") << true;
        QTest::newRow("0750") << QStringLiteral("0750") << false;
        QTest::newRow("0701") << QStringLiteral("0701") << false;
        QTest::newRow("another owner") << QStringLiteral("other") << false;
        QTest::newRow("link to a private folder") << QStringLiteral("link") << false;
        QTest::newRow("a file") << QStringLiteral("file") << false;
        QTest::newRow("missing") << QStringLiteral("missing") << false;
    }

    void ownedPrivateDirectory()
    {
        QFETCH(QString, kind);
        QFETCH(bool, expected);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("runtime"));
        const QString target = dir.filePath(QStringLiteral("target"));
        const QByteArray native = QFile::encodeName(path);
        if (kind.startsWith(u'0')) {
            QVERIFY(QDir().mkdir(path));
            QVERIFY(::chmod(native.constData(), static_cast<mode_t>(kind.toInt(nullptr, 8))) == 0);
        } else if (kind == QLatin1String("other")) {
            QVERIFY(QDir().mkdir(path));
            QVERIFY(::chmod(native.constData(), 0700) == 0);
            if (!chownToOtherUser(path))
                QSKIP("needs root to give a fixture to another user");
        } else if (kind == QLatin1String("link")) {
            QVERIFY(QDir().mkdir(target));
            QVERIFY(::chmod(QFile::encodeName(target).constData(), 0700) == 0);
            QVERIFY(QFile::link(target, path));
        } else if (kind == QLatin1String("file")) {
            QVERIFY(writeFile(path, "x"));
        }
        QCOMPARE(quarn::platform::isOwnedPrivateDirectory(path), expected);
    }

    void trustCheck_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("expected");
        QTest::newRow("the reviewed build") << QStringLiteral("reviewed") << true;
        QTest::newRow("path with dot-dot, no link") << QStringLiteral("dotdot") << true;
        QTest::newRow("another owner") << QStringLiteral("other-owner") << false;
        QTest::newRow("link at the path") << QStringLiteral("link") << false;
        QTest::newRow("link in a folder above") << QStringLiteral("folder-link") << false;
        QTest::newRow("modified copy") << QStringLiteral("modified") << false;
        QTest::newRow("script, not ELF") << QStringLiteral("script") << false;
        QTest::newRow("ELF of another machine") << QStringLiteral("foreign-machine") << false;
        QTest::newRow("32-bit ELF") << QStringLiteral("elf32") << false;
        QTest::newRow("big-endian ELF") << QStringLiteral("big-endian") << false;
        QTest::newRow("three bytes") << QStringLiteral("short") << false;
        QTest::newRow("a folder") << QStringLiteral("folder") << false;
        QTest::newRow("a FIFO") << QStringLiteral("fifo") << false;
        QTest::newRow("missing") << QStringLiteral("missing") << false;
    }

    // Each fixture is pinned by its own digest, so a refusal comes from the
    // rule the row is about and not from the digest.
    void trustCheck()
    {
        QFETCH(QString, kind);
        QFETCH(bool, expected);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("codex"));
        QString checked = path;
        QString pinned;

        if (kind == QLatin1String("reviewed") || kind == QLatin1String("other-owner")) {
            QVERIFY(placeDouble(path));
            if (kind == QLatin1String("other-owner") && !chownToOtherUser(path))
                QSKIP("needs root to give a fixture to another user");
        } else if (kind == QLatin1String("dotdot")) {
            QVERIFY(placeDouble(path));
            QVERIFY(QDir().mkdir(dir.filePath(QStringLiteral("sub"))));
            checked = dir.path() + QStringLiteral("/sub/../codex");
        } else if (kind == QLatin1String("link")) {
            QVERIFY(placeDouble(dir.filePath(QStringLiteral("real"))));
            QVERIFY(QFile::link(dir.filePath(QStringLiteral("real")), path));
            pinned = fileDigest(dir.filePath(QStringLiteral("real")));
        } else if (kind == QLatin1String("folder-link")) {
            QVERIFY(placeDouble(dir.filePath(QStringLiteral("real/codex"))));
            QVERIFY(QFile::link(dir.filePath(QStringLiteral("real")), dir.filePath(QStringLiteral("alias"))));
            checked = dir.filePath(QStringLiteral("alias/codex"));
            pinned = fileDigest(checked);
        } else if (kind == QLatin1String("modified")) {
            pinned = fileDigest(codexDoublePath());
            QVERIFY(placeDouble(path, [](QByteArray &b) { b.append('\0'); }));
        } else if (kind == QLatin1String("script")) {
            QVERIFY(writeFile(path, "#!/bin/sh\nexit 0\n", kExecutable));
        } else if (kind == QLatin1String("foreign-machine")) {
            QVERIFY(placeDouble(path, [](QByteArray &b) {
                std::memcpy(b.data() + offsetof(Elf64_Ehdr, e_machine), &kForeignMachine, sizeof kForeignMachine);
            }));
        } else if (kind == QLatin1String("elf32")) {
            QVERIFY(placeDouble(path, [](QByteArray &b) { b[EI_CLASS] = char(ELFCLASS32); }));
        } else if (kind == QLatin1String("big-endian")) {
            QVERIFY(placeDouble(path, [](QByteArray &b) { b[EI_DATA] = char(ELFDATA2MSB); }));
        } else if (kind == QLatin1String("short")) {
            QVERIFY(writeFile(path,
                QByteArray("\x7f"
                           "EL"),
                kExecutable));
        } else if (kind == QLatin1String("folder")) {
            QVERIFY(QDir().mkdir(path));
            pinned = fileDigest(codexDoublePath());
        } else if (kind == QLatin1String("fifo")) {
            // Opening it for reading would block: the check must never try.
            QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0700) == 0);
            pinned = fileDigest(codexDoublePath());
        } else if (kind == QLatin1String("missing")) {
            pinned = fileDigest(codexDoublePath());
        }
        if (pinned.isEmpty())
            pinned = fileDigest(path);

        QCOMPARE(CodexRunner::isTrustedCodexBinary(checked, pinned), expected);
    }

    void nativeFormatAlone()
    {
        // The format test on its own: the double is native, a crafted header
        // for another machine is not.
        QVERIFY(quarn::platform::isNativeExecutableImage(codexDoublePath()));
        const QString foreign = m_dir.filePath(QStringLiteral("foreign"));
        QVERIFY(placeDouble(foreign, [](QByteArray &b) {
            std::memcpy(b.data() + offsetof(Elf64_Ehdr, e_machine), &kForeignMachine, sizeof kForeignMachine);
        }));
        QVERIFY(!quarn::platform::isNativeExecutableImage(foreign));
    }

    void discovery_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("expected"); // relative to the fixture folder; empty: nothing found
        QTest::newRow("link to the executable: resolved target")
            << QStringLiteral("link-to-elf") << QStringLiteral("opt/codex-0.147.0/codex");
        QTest::newRow("npm launcher, platform package inside")
            << QStringLiteral("npm-nested")
            << QStringLiteral("lib/node_modules/@openai/codex/node_modules/@openai/") + kPlatformPackage + u'/'
                + kPlatformExecutable;
        QTest::newRow("npm launcher, platform package beside")
            << QStringLiteral("npm-sibling")
            << QStringLiteral("lib/node_modules/@openai/") + kPlatformPackage + u'/' + kPlatformExecutable;
        QTest::newRow("npm launcher, both: inside wins")
            << QStringLiteral("npm-both")
            << QStringLiteral("lib/node_modules/@openai/codex/node_modules/@openai/") + kPlatformPackage + u'/'
                + kPlatformExecutable;
        QTest::newRow("launcher without platform package: next candidate")
            << QStringLiteral("npm-none") << QStringLiteral("second/codex");
        QTest::newRow("not executable: next candidate")
            << QStringLiteral("not-executable") << QStringLiteral("second/codex");
        QTest::newRow("nothing installed") << QStringLiteral("empty") << QString();
    }

    void discovery()
    {
        QFETCH(QString, layout);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const auto at = [&](const QString &relative) { return dir.filePath(relative); };
        const QString first = at(QStringLiteral("bin/codex"));
        const QString launcher = at(QStringLiteral("lib/node_modules/@openai/codex/bin/codex.js"));
        const QString nested = at(QStringLiteral("lib/node_modules/@openai/codex/node_modules/@openai/")
            + kPlatformPackage + u'/' + kPlatformExecutable);
        const QString sibling
            = at(QStringLiteral("lib/node_modules/@openai/") + kPlatformPackage + u'/' + kPlatformExecutable);
        QVERIFY(QDir().mkpath(at(QStringLiteral("bin"))));

        if (layout == QLatin1String("link-to-elf")) {
            QVERIFY(placeDouble(at(QStringLiteral("opt/codex-0.147.0/codex"))));
            QVERIFY(QFile::link(at(QStringLiteral("opt/codex-0.147.0/codex")), first));
        } else if (layout.startsWith(QLatin1String("npm-"))) {
            QVERIFY(writeFile(launcher, "#!/usr/bin/env node\n", kExecutable));
            QVERIFY(QFile::link(launcher, first));
            if (layout == QLatin1String("npm-nested") || layout == QLatin1String("npm-both"))
                QVERIFY(placeDouble(nested));
            if (layout == QLatin1String("npm-sibling") || layout == QLatin1String("npm-both"))
                QVERIFY(placeDouble(sibling));
        } else if (layout == QLatin1String("not-executable")) {
            QVERIFY(placeDouble(at(QStringLiteral("opt/codex"))));
            QVERIFY(QFile(at(QStringLiteral("opt/codex"))).setPermissions(QFile::ReadOwner | QFile::WriteOwner));
            QVERIFY(QFile::link(at(QStringLiteral("opt/codex")), first));
        }
        if (layout == QLatin1String("npm-none") || layout == QLatin1String("not-executable"))
            QVERIFY(placeDouble(at(QStringLiteral("second/codex"))));

        const std::optional<QString> found
            = CodexRunner::findInstalledBinary({ first, at(QStringLiteral("second/codex")) });
        if (expected.isEmpty())
            QVERIFY(!found.has_value());
        else
            QCOMPARE(found, std::optional<QString>(at(expected)));
    }

    void productionConstants()
    {
        const QByteArray savedData = qgetenv("XDG_DATA_HOME");
        const bool hadData = qEnvironmentVariableIsSet("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.path()));
        const CodexRunner::Configuration production = CodexRunner::Configuration::production();
        if (hadData)
            qputenv("XDG_DATA_HOME", savedData);
        else
            qunsetenv("XDG_DATA_HOME");

        QCOMPARE(production.installCandidates,
            (QStringList { QStringLiteral("/usr/local/bin/codex"), QStringLiteral("/usr/bin/codex"),
                QStringLiteral("/home/linuxbrew/.linuxbrew/bin/codex"),
                quarn::platform::homeDirectory() + QStringLiteral("/.local/bin/codex") }));
        QCOMPARE(production.runtimeDirectory, m_dir.path() + QStringLiteral("/Quarn Mail/runtime"));
#if defined(__x86_64__)
        QCOMPARE(production.pinnedDigest,
            QStringLiteral("cb0a15567e9a60a5820d54b0f6ae86d504dc3805c1eab21a47f70e3eb7b73a40"));
#endif
        QVERIFY(production.temporaryDirectory.isEmpty());
        QCOMPARE(production.probeTimeLimit, 15s);
        QCOMPARE(production.triageTimeLimit, 120s);
        QCOMPARE(production.subjectTimeLimit, 45s);
        QCOMPARE(production.chatTimeLimit, 120s);
        QCOMPARE(production.killDelay, 2s);
    }

    void stagingThroughALinkedDataFolder()
    {
        // ~/.local/share on another disk behind a link: the copy is made once,
        // on the real path, and found trustworthy by every later preparation.
        Installation installation;
        QVERIFY(installation.setUp());
        const QString real = installation.dir.filePath(QStringLiteral("disk/share"));
        const QString linked = installation.dir.filePath(QStringLiteral("share-link"));
        QVERIFY(QDir().mkpath(real));
        QVERIFY(QFile::link(real, linked));
        CodexRunner::Configuration configuration;
        {
            ScopedEnvironment environment;
            environment.set("XDG_DATA_HOME", QFile::encodeName(linked));
            configuration = CodexRunner::Configuration::production();
        }
        configuration.installCandidates = { installation.candidate };
        configuration.pinnedDigest = installation.digest;
        const QString staged
            = QFileInfo(real).canonicalFilePath() + QStringLiteral("/Quarn Mail/runtime/reviewed-codex-0.147.0");

        CodexRunner first(configuration);
        QCOMPARE(prepareWith(first).path, staged);
        const ino_t inode = inodeOf(staged);
        CodexRunner second(configuration);
        QCOMPARE(prepareWith(second).path, staged);
        QCOMPARE(inodeOf(staged), inode); // not copied again
    }

    void stagesAVerifiedPrivateCopy()
    {
        Installation installation;
        QVERIFY(installation.setUp());
        CodexRunner runner(installation.configuration());

        const Prepared prepared = prepareWith(runner);

        QCOMPARE(prepared.path, installation.staged);
        QCOMPARE(runner.stagedBinary(), std::optional<QString>(installation.staged));
        QCOMPARE(modeOf(installation.runtime), mode_t(0700));
        QCOMPARE(modeOf(installation.staged), mode_t(0500));
        QCOMPARE(fileDigest(installation.staged), installation.digest);
        QVERIFY(CodexRunner::isTrustedStagedBinary(installation.staged, installation.digest));
    }

    void existingCopyIsVerifiedAndReused_data()
    {
        QTest::addColumn<bool>("restart");
        QTest::newRow("same runner, folder loosened") << false;
        QTest::newRow("after a restart, folder loosened") << true;
    }

    void existingCopyIsVerifiedAndReused()
    {
        QFETCH(bool, restart);
        Installation installation;
        QVERIFY(installation.setUp());
        CodexRunner first(installation.configuration());
        QCOMPARE(prepareWith(first).path, installation.staged);
        const ino_t stagedInode = inodeOf(installation.staged);
        QVERIFY(::chmod(QFile::encodeName(installation.runtime).constData(), 0755) == 0);
        QVERIFY(!CodexRunner::isTrustedStagedBinary(installation.staged, installation.digest));

        CodexRunner second(installation.configuration());
        CodexRunner &runner = restart ? second : first;
        QCOMPARE(prepareWith(runner).path, installation.staged);

        QCOMPARE(modeOf(installation.runtime), mode_t(0700));
        QCOMPARE(inodeOf(installation.staged), stagedInode); // not copied again
    }

    void untrustworthyStagedFileIsReplaced_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("other content") << QStringLiteral("content");
        QTest::newRow("another owner") << QStringLiteral("owner");
        QTest::newRow("link to the installed executable") << QStringLiteral("link");
        QTest::newRow("dangling link") << QStringLiteral("dangling");
        QTest::newRow("empty folder") << QStringLiteral("folder");
        QTest::newRow("folder with files and folders") << QStringLiteral("full-folder");
    }

    void untrustworthyStagedFileIsReplaced()
    {
        QFETCH(QString, kind);
        Installation installation;
        QVERIFY(installation.setUp());
        QVERIFY(QDir().mkpath(installation.runtime));
        const QString staged = installation.staged;
        if (kind == QLatin1String("content")) {
            QVERIFY(writeFile(staged, "not the reviewed build", kExecutable));
        } else if (kind == QLatin1String("owner")) {
            QVERIFY(placeDouble(staged));
            if (!chownToOtherUser(staged))
                QSKIP("needs root to give a fixture to another user");
        } else if (kind == QLatin1String("link")) {
            QVERIFY(QFile::link(installation.installed, staged));
        } else if (kind == QLatin1String("dangling")) {
            QVERIFY(QFile::link(installation.dir.filePath(QStringLiteral("nowhere")), staged));
        } else if (kind == QLatin1String("full-folder")) {
            QVERIFY(writeFile(staged + QStringLiteral("/keep"), "x"));
            QVERIFY(writeFile(staged + QStringLiteral("/sub/deeper"), "y"));
            // A link inside is removed, never what it points at.
            QVERIFY(QFile::link(installation.installed, staged + QStringLiteral("/sub/link")));
        } else {
            QVERIFY(QDir().mkdir(staged));
        }

        CodexRunner runner(installation.configuration());
        const Prepared prepared = prepareWith(runner);

        QCOMPARE(prepared.path, staged);
        QVERIFY(quarn::platform::isOwnedRegularFile(staged));
        QCOMPARE(fileDigest(staged), installation.digest);
        QCOMPARE(fileDigest(installation.installed), installation.digest); // a link's target is never written
        QCOMPARE(modeOf(staged), mode_t(0500));
    }

    // As an ordinary user: a system-wide installation is root's and is as
    // trustworthy as the user's own, while the staged copy must be the
    // user's; a runtime folder the user cannot read, or a folder left at the
    // staged path, is the program's own to repair.
    void asAnOrdinaryUser_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("expected"); // "<staged>" stands for the staged path
        QTest::newRow("installed source owned by root") << QStringLiteral("source-root") << QByteArray("trusted");
        QTest::newRow("installed source of another user") << QStringLiteral("source-other") << QByteArray("refused");
        QTest::newRow("staged copy owned by root") << QStringLiteral("staged-root") << QByteArray("refused");
        QTest::newRow("staging from a root-owned installation")
            << QStringLiteral("prepare") << QByteArray("staged <staged>");
        QTest::newRow("runtime folder 0300") << QStringLiteral("runtime-0300") << QByteArray("staged <staged>");
        QTest::newRow("runtime folder 0000") << QStringLiteral("runtime-0000") << QByteArray("staged <staged>");
        QTest::newRow("folder with an unreadable folder at the staged path")
            << QStringLiteral("staged-folder") << QByteArray("staged <staged>");
    }

    void asAnOrdinaryUser()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, expected);
        if (!m_isRoot)
            QSKIP("needs root to act as another user");
        QTemporaryDir dir;
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
        const auto at = [&](const QString &relative) { return dir.filePath(relative); };
        const auto giveTo = [](const QString &path, uid_t uid) {
            return ::lchown(QFile::encodeName(path).constData(), uid, uid) == 0;
        };
        // The probe runs from the fixture, wherever the build tree lies.
        const QString probe = at(QStringLiteral("probe"));
        QVERIFY(QFile::copy(QStringLiteral(QUARN_CODEX_STAGE_PROBE), probe));
        QVERIFY(QFile(probe).setPermissions(kExecutable));
        const QString installed = at(QStringLiteral("opt/codex"));
        QVERIFY(placeDouble(installed)); // root's, like a package's
        QVERIFY(::chmod(QFile::encodeName(at(QStringLiteral("opt"))).constData(), 0755) == 0);
        const QString digest = fileDigest(installed);
        const QString user = at(QStringLiteral("user"));
        const QString runtime = user + QStringLiteral("/data/runtime");
        const QString staged = runtime + QStringLiteral("/reviewed-codex-0.147.0");
        QVERIFY(QDir().mkpath(runtime));
        for (const QString &folder : { user, user + QStringLiteral("/data"), runtime })
            QVERIFY(giveTo(folder, kOrdinaryUser) && ::chmod(QFile::encodeName(folder).constData(), 0700) == 0);

        QStringList arguments { QStringLiteral("prepare"), installed, runtime, digest };
        if (kind == QLatin1String("source-root")) {
            arguments = { QStringLiteral("source"), installed, digest };
        } else if (kind == QLatin1String("source-other")) {
            QVERIFY(giveTo(installed, kAnotherOrdinaryUser));
            arguments = { QStringLiteral("source"), installed, digest };
        } else if (kind == QLatin1String("staged-root")) {
            QVERIFY(placeDouble(staged));
            arguments = { QStringLiteral("staged"), staged, digest };
        } else if (kind.startsWith(QLatin1String("runtime-"))) {
            const mode_t mode = static_cast<mode_t>(kind.mid(8).toUInt(nullptr, 8));
            QVERIFY(::chmod(QFile::encodeName(runtime).constData(), mode) == 0);
        } else if (kind == QLatin1String("staged-folder")) {
            const QString locked = staged + QStringLiteral("/locked");
            QVERIFY(writeFile(locked + QStringLiteral("/file"), "left behind"));
            for (const QString &path : { staged, locked, locked + QStringLiteral("/file") })
                QVERIFY(giveTo(path, kOrdinaryUser));
            QVERIFY(::chmod(QFile::encodeName(locked).constData(), 0) == 0);
        }

        QCOMPARE(
            probeAsOrdinaryUser(probe, arguments), QByteArray(expected).replace("<staged>", QFile::encodeName(staged)));
        if (expected.startsWith("staged")) {
            struct stat st
            {
            };
            QVERIFY(::lstat(QFile::encodeName(staged).constData(), &st) == 0);
            QVERIFY(S_ISREG(st.st_mode));
            QCOMPARE(st.st_uid, kOrdinaryUser);
            QCOMPARE(st.st_mode & 07777, mode_t(0500));
            QCOMPARE(modeOf(runtime), mode_t(0700));
            QCOMPARE(fileDigest(staged), digest);
        }
    }

    void preparationFailures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("runnerError"); // -1: a platform error
        QTest::addColumn<int>("platformErrno");
        const int untrusted = int(CodexRunnerError::Kind::UntrustedBinary);
        QTest::newRow("nothing installed") << QStringLiteral("none") << int(CodexRunnerError::Kind::Unavailable) << 0;
        QTest::newRow("another version first, reviewed one later") << QStringLiteral("other-version") << untrusted << 0;
        QTest::newRow("installed by another user") << QStringLiteral("other-owner") << untrusted << 0;
        QTest::newRow("staged copy refused after copying") << QStringLiteral("foreign-runtime") << untrusted << 0;
        QTest::newRow("runtime folder cannot be made") << QStringLiteral("blocked-parent") << -1 << ENOTDIR;
        QTest::newRow("runtime folder is a link") << QStringLiteral("runtime-link") << -1 << ENOTDIR;
    }

    void preparationFailures()
    {
        QFETCH(QString, kind);
        QFETCH(int, runnerError);
        QFETCH(int, platformErrno);
        Installation installation;
        QVERIFY(installation.setUp());
        CodexRunner::Configuration configuration = installation.configuration();
        const QString later = installation.dir.filePath(QStringLiteral("later/codex"));

        if (kind == QLatin1String("none")) {
            configuration.installCandidates = { installation.dir.filePath(QStringLiteral("nothing/codex")) };
        } else if (kind == QLatin1String("other-version")) {
            QVERIFY(QFile::remove(installation.installed));
            QVERIFY(placeDouble(installation.installed, [](QByteArray &b) { b.append("0.148.0"); }));
            QVERIFY(placeDouble(later));
            configuration.installCandidates = { installation.candidate, later };
        } else if (kind == QLatin1String("other-owner")) {
            if (!chownToOtherUser(installation.installed))
                QSKIP("needs root to give a fixture to another user");
        } else if (kind == QLatin1String("foreign-runtime")) {
            QVERIFY(QDir().mkpath(installation.runtime));
            if (!chownToOtherUser(installation.runtime))
                QSKIP("needs root to give a fixture to another user");
        } else if (kind == QLatin1String("blocked-parent")) {
            QVERIFY(writeFile(installation.dir.filePath(QStringLiteral("data/Quarn Mail")), "a file"));
        } else if (kind == QLatin1String("runtime-link")) {
            QVERIFY(QDir().mkpath(installation.dir.filePath(QStringLiteral("elsewhere"))));
            QVERIFY(QDir().mkpath(installation.dir.filePath(QStringLiteral("data/Quarn Mail"))));
            QVERIFY(QFile::link(installation.dir.filePath(QStringLiteral("elsewhere")), installation.runtime));
        }

        CodexRunner runner(configuration);
        const Prepared prepared = prepareWith(runner);

        QVERIFY2(prepared.path.isEmpty(), qPrintable(prepared.path));
        QVERIFY(!runner.stagedBinary().has_value());
        if (runnerError >= 0) {
            QCOMPARE(prepared.runnerError, CodexRunnerError::Kind(runnerError));
        } else {
            QVERIFY(!prepared.runnerError.has_value());
            QCOMPARE(prepared.platformErrno, platformErrno);
        }
        if (kind == QLatin1String("foreign-runtime")) // the refused copy is not left behind
            QVERIFY(!QFileInfo::exists(installation.staged));
    }
};

QTEST_GUILESS_MAIN(TestCodexTrust)
#include "test_codextrust.moc"
