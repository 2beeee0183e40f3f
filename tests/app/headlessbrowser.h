#pragma once

// Headless Chromium (Debian's chromium package) driven over its DevTools pipe,
// for tests that follow a web page the way the user's browser would: open it,
// press a button, and see where the answer sends the browser. A redirect to a
// scheme the browser does not handle itself (quarn-mail:) is what a desktop
// browser hands to the operating system; here it is caught and reported.
//
// The pipe: Chromium reads DevTools commands from descriptor 3 and writes
// replies and events to descriptor 4, each a JSON text ended by a NUL. A shell
// puts the process's standard input and output there.

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

#include <chrono>
#include <optional>

namespace quarn::testing {

class HeadlessBrowser
{
public:
    using Clock = std::chrono::steady_clock;

    /// The browser program, or empty when it is not installed.
    static QString executable() { return QStandardPaths::findExecutable(QStringLiteral("chromium")); }

    HeadlessBrowser() = default;
    ~HeadlessBrowser()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        send(QStringLiteral("Browser.close"));
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    HeadlessBrowser(const HeadlessBrowser &) = delete;
    HeadlessBrowser &operator=(const HeadlessBrowser &) = delete;

    /// Starts the browser with a fresh profile and attaches to its page.
    bool start(std::chrono::milliseconds bound = std::chrono::seconds(30))
    {
        const auto deadline = Clock::now() + bound;
        if (executable().isEmpty()) {
            m_error = QStringLiteral("chromium is not installed (scripts/setup installs it)");
            return false;
        }
        const QStringList arguments { QStringLiteral("-c"),
            QStringLiteral("exec \"$0\" \"$@\" 3<&0 4>&1 0</dev/null 1>/dev/null"), executable(),
            QStringLiteral("--headless"), QStringLiteral("--no-sandbox"), QStringLiteral("--disable-gpu"),
            QStringLiteral("--disable-background-networking"), QStringLiteral("--disable-component-update"),
            QStringLiteral("--disable-sync"), QStringLiteral("--no-first-run"),
            QStringLiteral("--user-data-dir=") + m_profile.path(), QStringLiteral("--remote-debugging-pipe"),
            QStringLiteral("about:blank") };
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.setStandardErrorFile(m_profile.filePath(QStringLiteral("browser.log")));
        m_process.start(QStringLiteral("/bin/sh"), arguments);
        if (!m_process.waitForStarted(10'000)) {
            m_error = m_process.errorString();
            return false;
        }
        const auto targets = call(QStringLiteral("Target.getTargets"), {}, {}, deadline);
        if (!targets)
            return false;
        QString page;
        for (const QJsonValue &target : targets->value(QStringLiteral("targetInfos")).toArray()) {
            if (target[QStringLiteral("type")].toString() == QStringLiteral("page"))
                page = target[QStringLiteral("targetId")].toString();
        }
        const auto attached = call(QStringLiteral("Target.attachToTarget"),
            { { QStringLiteral("targetId"), page }, { QStringLiteral("flatten"), true } }, {}, deadline);
        if (!attached)
            return false;
        m_session = attached->value(QStringLiteral("sessionId")).toString();
        // Every answer stops before the page sees it, so a redirect can be read.
        const QJsonArray patterns { QJsonObject { { QStringLiteral("urlPattern"), QStringLiteral("*") },
            { QStringLiteral("requestStage"), QStringLiteral("Response") } } };
        return call(QStringLiteral("Fetch.enable"), { { QStringLiteral("patterns"), patterns } }, m_session, deadline)
            && call(QStringLiteral("Page.enable"), {}, m_session, deadline);
    }

    /// Opens `url` and waits until the page has loaded.
    bool open(const QUrl &url, std::chrono::milliseconds bound = std::chrono::seconds(30))
    {
        const auto deadline = Clock::now() + bound;
        m_loaded = false;
        if (!call(QStringLiteral("Page.navigate"), { { QStringLiteral("url"), url.toString(QUrl::FullyEncoded) } },
                m_session, deadline))
            return false;
        while (!m_loaded) {
            if (!nextMessage(deadline))
                return false;
        }
        return true;
    }

    /// Runs `script` in the page (a click, say) and answers where the first
    /// redirect to `scheme` pointed, as the browser would hand it to the
    /// desktop; nothing when no such redirect came within the bound.
    std::optional<QString> runAndCatchRedirect(
        const QString &script, const QString &scheme, std::chrono::milliseconds bound = std::chrono::seconds(30))
    {
        const auto deadline = Clock::now() + bound;
        m_scheme = scheme;
        m_redirect.reset();
        const auto evaluated = call(
            QStringLiteral("Runtime.evaluate"), { { QStringLiteral("expression"), script } }, m_session, deadline);
        if (!evaluated)
            return std::nullopt;
        while (!m_redirect) {
            if (!nextMessage(deadline))
                return std::nullopt;
        }
        return m_redirect;
    }

    [[nodiscard]] QString errorString() const { return m_error; }

private:
    qint64 send(const QString &method, const QJsonObject &parameters = {}, const QString &session = {})
    {
        QJsonObject message { { QStringLiteral("id"), ++m_lastId }, { QStringLiteral("method"), method },
            { QStringLiteral("params"), parameters } };
        if (!session.isEmpty())
            message.insert(QStringLiteral("sessionId"), session);
        m_process.write(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\0');
        return m_lastId;
    }

    /// Sends a command and waits for its reply, handling events meanwhile.
    std::optional<QJsonObject> call(
        const QString &method, const QJsonObject &parameters, const QString &session, Clock::time_point deadline)
    {
        const qint64 id = send(method, parameters, session);
        for (;;) {
            const auto message = nextMessage(deadline);
            if (!message)
                return std::nullopt;
            if (message->value(QStringLiteral("id")).toInteger() != id)
                continue;
            if (message->contains(QStringLiteral("error"))) {
                m_error = method + QStringLiteral(": ")
                    + QString::fromUtf8(QJsonDocument(message->value(QStringLiteral("error")).toObject()).toJson());
                return std::nullopt;
            }
            return message->value(QStringLiteral("result")).toObject();
        }
    }

    /// The next message from the browser, with the events that need an
    /// answer already answered.
    std::optional<QJsonObject> nextMessage(Clock::time_point deadline)
    {
        for (;;) {
            const qsizetype end = m_buffer.indexOf('\0');
            if (end >= 0) {
                const QJsonObject message = QJsonDocument::fromJson(m_buffer.left(end)).object();
                m_buffer.remove(0, end + 1);
                handle(message);
                return message;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                m_error = QStringLiteral("the browser did not answer in time");
                return std::nullopt;
            }
            if (!m_process.waitForReadyRead(int(std::min<qint64>(left.count(), 1000)))
                && m_process.state() == QProcess::NotRunning) {
                m_error = QStringLiteral("the browser ended");
                return std::nullopt;
            }
            m_buffer += m_process.readAllStandardOutput();
        }
    }

    void handle(const QJsonObject &message)
    {
        const QString method = message.value(QStringLiteral("method")).toString();
        if (method == QStringLiteral("Page.loadEventFired")) {
            m_loaded = true;
            return;
        }
        if (method != QStringLiteral("Fetch.requestPaused"))
            return;
        const QJsonObject paused = message.value(QStringLiteral("params")).toObject();
        const QString requestId = paused.value(QStringLiteral("requestId")).toString();
        const int status = paused.value(QStringLiteral("responseStatusCode")).toInt();
        QString location;
        for (const QJsonValue &header : paused.value(QStringLiteral("responseHeaders")).toArray()) {
            if (header[QStringLiteral("name")].toString().compare(QStringLiteral("location"), Qt::CaseInsensitive) == 0)
                location = header[QStringLiteral("value")].toString();
        }
        if (status >= 300 && status < 400 && !m_scheme.isEmpty()
            && location.startsWith(m_scheme, Qt::CaseInsensitive)) {
            // The browser gives this one to the desktop and stays where it is.
            m_redirect = location;
            send(QStringLiteral("Fetch.failRequest"),
                { { QStringLiteral("requestId"), requestId },
                    { QStringLiteral("errorReason"), QStringLiteral("Aborted") } },
                message.value(QStringLiteral("sessionId")).toString());
            return;
        }
        send(QStringLiteral("Fetch.continueRequest"), { { QStringLiteral("requestId"), requestId } },
            message.value(QStringLiteral("sessionId")).toString());
    }

    QTemporaryDir m_profile;
    QProcess m_process;
    QByteArray m_buffer;
    qint64 m_lastId = 0;
    QString m_session;
    QString m_error;
    QString m_scheme;
    bool m_loaded = false;
    std::optional<QString> m_redirect;
};

} // namespace quarn::testing
