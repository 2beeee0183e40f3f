#pragma once

// The real AppModel on a temporary home: its token and AI conversation files
// there, the Codex CLI double (or no Codex at all) as its engine, a clock the
// test moves by hand, and a QAbstractItemModelTester on every list model so
// that each flow also checks the models' signalling. A small scripted service
// (FakeService) stands in where a test needs answers or request counts that
// the reference service cannot give.

#include "account/devicecredentialstore.h"
#include "account/quarnaccountauthorization.h"
#include "ai/codexdoublehome.h"
#include "ai/codexrunner.h"
#include "app/appmodel.h"
#include "core/blocking.h"
#include "model/json.h"
#include "support/scriptedhttpserver.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace quarn::testing {

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

/// Holds the answers of one route until the test opens it, so that a test
/// chooses the order in which answers arrive.
class Gate
{
public:
    void open()
    {
        std::lock_guard lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    /// How many requests have reached the gate (held or let through).
    [[nodiscard]] int arrived() const
    {
        std::lock_guard lock(m_mutex);
        return m_arrived;
    }
    /// Called on the server's thread: waits until the gate opens (at most
    /// 20 s, so that a failing test still ends).
    void pass()
    {
        std::unique_lock lock(m_mutex);
        ++m_arrived;
        m_changed.wait_for(lock, 20s, [this] { return m_open; });
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = false;
    int m_arrived = 0;
};

/// A service that answers per method and request target, and counts.
class FakeService
{
public:
    FakeService()
    {
        m_server.setHandler([this](const test::RecordedRequest &request) {
            const QByteArray key = request.method + ' ' + request.target;
            test::ScriptedResponse answer;
            std::shared_ptr<Gate> gate;
            {
                std::lock_guard lock(m_mutex);
                const auto it = m_routes.constFind(key);
                if (it != m_routes.cend()) {
                    answer = *it;
                } else {
                    answer.status = 404;
                    answer.body = R"({"error":"not_found"})";
                }
                gate = m_gates.value(key);
            }
            if (gate)
                gate->pass();
            return answer;
        });
    }
    ~FakeService()
    {
        // Nothing stays held: the server can stop.
        std::lock_guard lock(m_mutex);
        for (const std::shared_ptr<Gate> &gate : std::as_const(m_gates))
            gate->open();
    }
    FakeService(const FakeService &) = delete;
    FakeService &operator=(const FakeService &) = delete;

    /// Holds every answer to `method target` until the returned gate opens.
    std::shared_ptr<Gate> hold(const QByteArray &method, const QByteArray &target)
    {
        auto gate = std::make_shared<Gate>();
        std::lock_guard lock(m_mutex);
        m_gates.insert(method + ' ' + target, gate);
        return gate;
    }

    /// Answers `method target` (target with its query) with `status` and `body`.
    void route(const QByteArray &method, const QByteArray &target, int status, const QByteArray &body,
        std::chrono::milliseconds delay = 0ms)
    {
        test::ScriptedResponse response;
        response.status = status;
        response.body = body;
        response.delay = delay;
        std::lock_guard lock(m_mutex);
        m_routes.insert(method + ' ' + target, response);
    }
    template<typename T>
    void route(
        const QByteArray &method, const QByteArray &target, const T &record, std::chrono::milliseconds delay = 0ms)
    {
        route(method, target, 200, encodeJson(record), delay);
    }

    [[nodiscard]] QUrl baseUrl() const { return m_server.baseUrl(); }
    [[nodiscard]] QList<test::RecordedRequest> requests() const { return m_server.requests(); }
    /// Requests whose target starts with `prefix` ("" counts all).
    [[nodiscard]] int count(const QByteArray &prefix = {}) const
    {
        int n = 0;
        for (const test::RecordedRequest &r : m_server.requests())
            n += r.target.startsWith(prefix) ? 1 : 0;
        return n;
    }

private:
    mutable std::mutex m_mutex;
    QHash<QByteArray, test::ScriptedResponse> m_routes;
    QHash<QByteArray, std::shared_ptr<Gate>> m_gates;
    // Last, so that it stops answering before the routes go.
    test::ScriptedHttpServer m_server;
};

/// An insight the double hands back, as its result file.
inline QByteArray insightJson(const QString &summary, const QString &status)
{
    AiInsight insight;
    insight.summary = summary;
    insight.request = QStringLiteral("候補日を返信する");
    insight.suggestedStatus = *fromRawValue<ConversationStatus>(QStringView(status));
    insight.draft = QStringLiteral("承知しました。");
    insight.risk = QStringLiteral("low");
    return encodeJson(insight);
}

/// A ready answer for a recorded desktop program.
inline QCoro::Task<bool> answer(bool value)
{
    co_return value;
}

class Harness
{
public:
    enum class Codex {
        /// No installation at all: the model is never ready, and nothing runs.
        none,
        /// The Codex CLI double, pinned by its own digest.
        double_,
    };

    explicit Harness(const QUrl &baseUrl, Codex codex = Codex::none, std::chrono::milliseconds triageLimit = 20s)
    {
        m_dataDir = home.filePath(QStringLiteral("data/Quarn Mail"));
        CodexRunner::Configuration configuration;
        configuration.runtimeDirectory = m_dataDir + QStringLiteral("/runtime");
        configuration.temporaryDirectory = home.filePath(QStringLiteral("tmp"));
        QDir().mkpath(configuration.temporaryDirectory);
        configuration.probeTimeLimit = 15s;
        configuration.triageTimeLimit = triageLimit;
        configuration.killDelay = 300ms;
        if (codex == Codex::double_) {
            const QString installed = home.filePath(QStringLiteral("opt/codex/codex"));
            QDir().mkpath(QFileInfo(installed).absolutePath());
            QFile::copy(codexDoublePath(), installed);
            QFile::setPermissions(installed,
                QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
                    | QFile::ReadOther | QFile::ExeOther);
            configuration.pinnedDigest = fileDigest(installed);
            configuration.installCandidates = { installed };
        } else {
            configuration.pinnedDigest = QString(64, u'0');
            configuration.installCandidates = { home.filePath(QStringLiteral("nowhere/codex")) };
        }
        runner = std::make_shared<CodexRunner>(configuration);

        AppEnvironment environment;
        environment.baseURL = baseUrl;
        environment.credentialDirectory = m_dataDir;
        environment.codex = runner;
        environment.aiConversationFile = aiFile();
        // The desktop's handlers, recorded: what is opened lands in
        // `opened` (a file as a file URL), each answer is `urlsOpen`.
        environment.openWithDesktop = [this](QString target) {
            opened.append(target.startsWith(u'/') ? QUrl::fromLocalFile(target) : QUrl(target));
            return answer(urlsOpen);
        };
        environment.hasDesktopHandler = [this](QString type) { return answer(handledTypes.contains(type)); };
        environment.calendarFolder = home.filePath(QStringLiteral("data/calendar"));
        environment.downloadsFolder = home.filePath(QStringLiteral("Downloads"));
        // The build's sign-in URLs name a fixed port; the service under test
        // listens on a free one.
        const QUrl service = baseUrl;
        environment.accountAuthorization = std::make_shared<QuarnAccountAuthorization>(
            [service](HttpRequest request) {
                QUrl url = request.request.url();
                url.setHost(service.host());
                url.setPort(service.port());
                request.request.setUrl(url);
                return QuarnAccountAuthorization::sendThroughNetwork(std::move(request));
            },
            [this](qsizetype count) {
                if (randomFails)
                    throw SecureRandomError();
                return QuarnAccountAuthorization::secureRandomBytes(count);
            });
        environment.now = [this] { return now; };
        model = std::make_unique<AppModel>(std::move(environment));

        const auto mode = QAbstractItemModelTester::FailureReportingMode::QtTest;
        for (QAbstractItemModel *list : std::initializer_list<QAbstractItemModel *> {
                 model->filteredConversationsModel(), model->filteredPeopleModel(),
                 model->filteredPersonMessagesModel(), model->selectedAIConversationModel(), model->peopleModel(),
                 model->aiConversationsModel(), model->detailMessagesModel() })
            m_testers.push_back(std::make_unique<QAbstractItemModelTester>(list, mode));
    }

    ~Harness()
    {
        // The testers watch the model's lists; they go first.
        m_testers.clear();
    }

    [[nodiscard]] bool saveToken(const QString &token) const
    {
        try {
            DeviceCredentialStore(m_dataDir).save(token);
            return true;
        } catch (...) {
            return false;
        }
    }
    [[nodiscard]] QString dataDir() const { return m_dataDir; }
    [[nodiscard]] QString tokenPath() const { return DeviceCredentialStore(m_dataDir).tokenPath(); }
    [[nodiscard]] QString aiFile() const { return m_dataDir + QStringLiteral("/ai-conversations.json"); }

    /// How often the double ran `exec` since the last call (its record folder
    /// is made afresh by every run).
    [[nodiscard]] bool execRan()
    {
        const QString folder = home.controlFolder() + QStringLiteral("/exec");
        const bool ran = QFileInfo::exists(folder);
        QDir(folder).removeRecursively();
        return ran;
    }

    CodexDoubleHome home;
    qint64 now = 1'700'000'000'000;
    /// Every URL the model asked the system to open, and the system's answer.
    QList<QUrl> opened;
    bool urlsOpen = true;
    /// MIME types the desktop has a handler for; Orro's links by default.
    QStringList handledTypes { QStringLiteral("x-scheme-handler/quarn-orro") };
    /// The sign-in's random source fails.
    bool randomFails = false;
    std::shared_ptr<CodexRunner> runner;
    std::unique_ptr<AppModel> model;

private:
    QString m_dataDir;
    std::vector<std::unique_ptr<QAbstractItemModelTester>> m_testers;
};

// --- records for scripted answers ---------------------------------------------

/// Runs a model operation to its end (60 s at most).
template<typename T> T run(QCoro::Task<T> task)
{
    return blockOn(std::move(task), 60s);
}

/// A list row of conversation `id` as the service sends it.
inline ConversationListItem item(const QString &id, ConversationStatus status, const QString &subject = u"件名"_s,
    const QString &name = u"Kim"_s, const QString &address = u"kim@example.com"_s,
    const QString &preview = u"preview"_s, std::optional<QString> summary = {})
{
    ConversationListItem c;
    c.id = id;
    c.subject = subject;
    c.status = status;
    c.participantName = name;
    c.participantAddress = address;
    c.preview = preview;
    c.lastMessageAt = 1'000;
    c.aiSummary = std::move(summary);
    return c;
}

/// The detail of the conversation `c` lists: its fields and one incoming message.
inline ConversationDetail detailOf(const ConversationListItem &c)
{
    ConversationDetail d;
    d.id = c.id;
    d.subject = c.subject;
    d.status = c.status;
    d.participantName = c.participantName;
    d.participantAddress = c.participantAddress;
    d.preview = c.preview;
    d.lastMessageAt = c.lastMessageAt;
    d.aiSummary = c.aiSummary;
    MessageView m;
    m.id = c.id + u"_m1"_s;
    m.senderEmail = c.participantAddress;
    m.senderName = c.participantName;
    m.channel = u"email"_s;
    m.bodyText = c.preview;
    m.deliveryStatus = u"delivered"_s;
    d.messages = { m };
    return d;
}

/// The service's state answer for one status list.
inline MailState mailState(
    ConversationStatus status, QList<ConversationListItem> conversations, bool withMailbox = true)
{
    MailState s;
    if (withMailbox)
        s.mailbox = Mailbox { u"me@quarn.local"_s, u"Me"_s };
    s.viewer = Viewer { u"user_1"_s, u"Me"_s, u"me@example.jp"_s };
    s.status = status;
    s.counts = { { u"needs_you"_s, 2 }, { u"done"_s, 1 } };
    s.conversations = std::move(conversations);
    return s;
}

/// The request target of the state list of `status`.
inline QByteArray stateTarget(ConversationStatus status)
{
    return "/api/state?status=" + QByteArray(rawValueUtf8(status).data());
}

} // namespace quarn::testing
