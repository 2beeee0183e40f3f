#include "realcodex.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <httplib.h>
#include <openssl/evp.h>

#include <chrono>

#include <net/if.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace quarn::testing {

namespace {

QString platformExecutable()
{
#if defined(__x86_64__)
    return u"codex-linux-x64/vendor/x86_64-unknown-linux-musl/bin/codex"_s;
#elif defined(__aarch64__)
    return u"codex-linux-arm64/vendor/aarch64-unknown-linux-musl/bin/codex"_s;
#else
    return QString();
#endif
}

bool writePrivateFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return false;
    return file.write(bytes) == bytes.size() && file.flush();
}

bool makePrivateFolder(const QString &path)
{
    return QDir().mkpath(path) && ::chmod(QFile::encodeName(path).constData(), 0700) == 0;
}

std::string sseEvent(const nlohmann::json &event)
{
    return "data: " + event.dump() + "\n\n";
}

} // namespace

RealCodexInstall RealCodexInstall::locate()
{
    RealCodexInstall install;
    const QString cache = qEnvironmentVariable("QUARN_CODEX_CACHE");
    const QString statusFile = qEnvironmentVariable("QUARN_CODEX_FETCH_STATUS");
    if (cache.isEmpty() || statusFile.isEmpty()) {
        install.problem = u"QUARN_CODEX_CACHE / QUARN_CODEX_FETCH_STATUS are not set: run this test through CTest"_s;
        return install;
    }
    QFile status(statusFile);
    if (!status.open(QIODevice::ReadOnly)) {
        install.problem = u"the fixture real_codex_fetch has not run (no %1)"_s.arg(statusFile);
        return install;
    }
    const QByteArray word = status.readAll().trimmed();
    if (word == "unreachable") {
        install.state = State::registryUnreachable;
        install.problem = u"the package registry was unreachable, so @openai/codex@0.147.0 could not be installed"_s;
        return install;
    }
    if (word != "ok") {
        install.problem
            = u"the fixture real_codex_fetch reported \"%1\"; see its output"_s.arg(QString::fromUtf8(word));
        return install;
    }
    install.prefix = cache;
    install.launcherLink = cache + u"/node_modules/.bin/codex"_s;
    install.binary = cache + u"/node_modules/@openai/"_s + platformExecutable();
    if (!QFileInfo(install.launcherLink).isExecutable() || !QFileInfo(install.binary).isExecutable()) {
        install.problem = u"the cached installation in %1 is incomplete"_s.arg(cache);
        return install;
    }
    install.state = State::ready;
    return install;
}

QString fileSha256(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        return {};
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(chunk.data(), chunk.size());
        if (got < 0)
            return {};
        if (got == 0)
            break;
        if (EVP_DigestUpdate(context.get(), chunk.constData(), size_t(got)) != 1)
            return {};
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
        return {};
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex());
}

bool onlyLoopbackInterfaces()
{
    struct if_nameindex *interfaces = ::if_nameindex();
    if (!interfaces)
        return false;
    bool onlyLoopback = true;
    for (const struct if_nameindex *i = interfaces; i->if_index != 0 || i->if_name != nullptr; ++i) {
        if (std::string_view(i->if_name) != "lo")
            onlyLoopback = false;
    }
    ::if_freenameindex(interfaces);
    return onlyLoopback;
}

bool writeOfflineConfig(const QString &home, int port)
{
    const QString folder = home + u"/.codex"_s;
    if (!makePrivateFolder(folder))
        return false;
    const QByteArray config = "model = \"stub-model\"\n"
                              "model_provider = \"stub\"\n"
                              "check_for_update_on_startup = false\n"
                              "cli_auth_credentials_store = \"file\"\n"
                              "\n"
                              "[model_providers.stub]\n"
                              "name = \"Stub\"\n"
                              "base_url = \"http://127.0.0.1:"
        + QByteArray::number(port)
        + "/v1\"\n"
          "wire_api = \"responses\"\n"
          "requires_openai_auth = true\n"
          "request_max_retries = 0\n"
          "stream_max_retries = 0\n"
          "stream_idle_timeout_ms = 3000\n"
          "\n"
          "[analytics]\n"
          "enabled = false\n"
          "\n"
          "[features]\n"
          "plugins = false\n"
          "apps = false\n";
    return writePrivateFile(folder + u"/config.toml"_s, config);
}

bool writeApiKeyLogin(const QString &home)
{
    const QString folder = home + u"/.codex"_s;
    return makePrivateFolder(folder)
        && writePrivateFile(folder + u"/auth.json"_s, R"({"auth_mode":"apikey","OPENAI_API_KEY":"sk-dummy"})");
}

void removeLogin(const QString &home)
{
    QFile::remove(home + u"/.codex/auth.json"_s);
}

StubModelEndpoint::StubModelEndpoint()
    : m_server(std::make_unique<httplib::Server>())
{
    m_server->Post("/v1/responses", [this](const httplib::Request &request, httplib::Response &response) {
        std::unique_lock lock(m_mutex);
        m_requests.append({ QByteArray::fromStdString(request.method), QByteArray::fromStdString(request.path),
            QByteArray::fromStdString(request.get_header_value("authorization")),
            QByteArray::fromStdString(request.body) });
        const Behaviour behaviour = m_behaviour;
        const QString text = m_text;
        if (behaviour == Behaviour::hang) {
            // Bounded even if a test forgets to release it.
            const quint64 generation = m_releaseGeneration;
            m_released.wait_for(
                lock, std::chrono::minutes(5), [&] { return m_stopping || m_releaseGeneration != generation; });
            response.status = 500;
            return;
        }
        lock.unlock();

        response.set_header("Connection", "close");
        if (behaviour == Behaviour::fail) {
            response.status = 500;
            response.set_content(R"({"error":{"message":"stub failure"}})", "application/json");
            return;
        }
        std::string body;
        if (behaviour == Behaviour::answer) {
            body += sseEvent({ { "type", "response.output_item.done" },
                { "item",
                    { { "type", "message" }, { "role", "assistant" },
                        { "content", { { { "type", "output_text" }, { "text", text.toStdString() } } } } } } });
        }
        body += sseEvent({ { "type", "response.completed" }, { "response", { { "id", "r1" } } } });
        response.status = 200;
        response.set_content(body, "text/event-stream");
    });
    // Anything else the CLI might ask is recorded and refused.
    m_server->set_error_handler([this](const httplib::Request &request, httplib::Response &) {
        std::lock_guard lock(m_mutex);
        m_requests.append({ QByteArray::fromStdString(request.method), QByteArray::fromStdString(request.path),
            QByteArray::fromStdString(request.get_header_value("authorization")),
            QByteArray::fromStdString(request.body) });
    });
    m_port = m_server->bind_to_any_port("127.0.0.1");
    if (m_port <= 0) {
        m_port = 0;
        return;
    }
    // The socket already listens: connections wait in its queue until the
    // thread accepts them.
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
}

StubModelEndpoint::~StubModelEndpoint()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_released.notify_all();
    m_server->stop();
    if (m_thread.joinable())
        m_thread.join();
}

void StubModelEndpoint::setBehaviour(Behaviour behaviour, const QString &text)
{
    std::lock_guard lock(m_mutex);
    m_behaviour = behaviour;
    m_text = text;
}

void StubModelEndpoint::releaseHanging()
{
    {
        std::lock_guard lock(m_mutex);
        ++m_releaseGeneration;
    }
    m_released.notify_all();
}

QList<StubModelEndpoint::Request> StubModelEndpoint::requests() const
{
    std::lock_guard lock(m_mutex);
    return m_requests;
}

void StubModelEndpoint::clearRequests()
{
    std::lock_guard lock(m_mutex);
    m_requests.clear();
}

std::optional<QString> StubModelEndpoint::lastUserInput(const QByteArray &body)
{
    const auto json = nlohmann::json::parse(body.toStdString(), nullptr, false);
    if (!json.is_object() || !json.contains("input") || !json["input"].is_array())
        return std::nullopt;
    std::optional<QString> last;
    for (const auto &item : json["input"]) {
        if (!item.is_object() || item.value("role", std::string()) != "user")
            continue;
        const auto &content = item.contains("content") ? item["content"] : nlohmann::json();
        if (content.is_string()) {
            last = QString::fromStdString(content.get<std::string>());
            continue;
        }
        if (!content.is_array())
            continue;
        std::string text;
        for (const auto &part : content) {
            if (part.is_object() && part.contains("text") && part["text"].is_string())
                text += part["text"].get<std::string>();
        }
        last = QString::fromStdString(text);
    }
    return last;
}

std::optional<nlohmann::json> StubModelEndpoint::textFormat(const QByteArray &body)
{
    const auto json = nlohmann::json::parse(body.toStdString(), nullptr, false);
    if (!json.is_object() || !json.contains("text"))
        return std::nullopt;
    const auto &text = json["text"];
    if (!text.is_object() || !text.contains("format"))
        return nlohmann::json();
    return text["format"];
}

} // namespace quarn::testing
