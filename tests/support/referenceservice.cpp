#include "support/referenceservice.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>

#include <sys/prctl.h>

namespace quarn::test {

namespace {
constexpr int kStartBoundMs = 15000;
constexpr int kStopBoundMs = 10000;
constexpr int kCommandBoundMs = 15000;
} // namespace

ReferenceService::ReferenceService(Data data)
    : m_data(data)
    , m_mailDomain(QStringLiteral(QUARN_REFERENCE_MAIL_DOMAIN))
{ }

ReferenceService::~ReferenceService()
{
    stop();
}

QString ReferenceService::executablePath()
{
    return QStringLiteral(QUARN_MAIL_SERVICE_BINARY);
}

QString ReferenceService::databasePath() const
{
    return m_dir.filePath(QStringLiteral("service.sqlite"));
}

QUrl ReferenceService::baseUrl() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_port));
}

bool ReferenceService::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running;
}

qint64 ReferenceService::processId() const
{
    return isRunning() ? m_process->processId() : 0;
}

std::optional<QByteArray> ReferenceService::runCommand(const QStringList &arguments)
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder: ") + m_dir.errorString();
        return std::nullopt;
    }
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    QStringList all { arguments.value(0), QStringLiteral("--db"), databasePath(), QStringLiteral("--mail-domain"),
        m_mailDomain };
    all += arguments.mid(1);
    process.start(executablePath(), all);
    if (!process.waitForStarted(kCommandBoundMs) || !process.waitForFinished(kCommandBoundMs)) {
        process.kill();
        process.waitForFinished(kStopBoundMs);
        m_error = QStringLiteral("%1 did not finish: %2").arg(arguments.value(0), process.errorString());
        return std::nullopt;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        m_error = QStringLiteral("%1 failed: %2")
                      .arg(arguments.value(0), QString::fromUtf8(process.readAllStandardError()).trimmed());
        return std::nullopt;
    }
    return process.readAllStandardOutput();
}

bool ReferenceService::prepareDatabase()
{
    if (m_prepared)
        return true;
    if (m_data == Data::Demo) {
        const auto out = runCommand({ QStringLiteral("seed") });
        if (!out)
            return false;
        m_token = QString::fromUtf8(*out).trimmed();
    } else {
        const auto account = addUser(QStringLiteral("テスト ユーザー"), QStringLiteral("tester@example.jp"));
        if (!account)
            return false;
        m_token = account->token;
    }
    m_prepared = true;
    return true;
}

bool ReferenceService::start()
{
    m_error.clear();
    if (isRunning())
        return true;
    if (!prepareDatabase())
        return false;

    m_process = std::make_unique<QProcess>();
    // The service's diagnostics end up in the test's output.
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList arguments { QStringLiteral("serve"), QStringLiteral("--db"), databasePath(),
        QStringLiteral("--mail-domain"), m_mailDomain, QStringLiteral("--port"), QStringLiteral("0") };
    arguments += m_serveArguments;
    // A test that crashes or is stopped by its time limit takes its service
    // with it, instead of leaving it serving (and holding the test's output
    // open) after the test is gone.
    m_process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_process->start(executablePath(), arguments);
    if (!m_process->waitForStarted(kStartBoundMs)) {
        m_error = QStringLiteral("cannot start %1: %2").arg(executablePath(), m_process->errorString());
        m_process.reset();
        return false;
    }
    // The first line of standard output is the port, printed once the socket listens.
    QDeadlineTimer deadline(kStartBoundMs);
    while (!m_process->canReadLine() && !deadline.hasExpired() && m_process->state() == QProcess::Running)
        m_process->waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
    bool ok = false;
    const quint16 port = m_process->canReadLine() ? m_process->readLine().trimmed().toUShort(&ok) : 0;
    if (!ok || port == 0) {
        m_error = QStringLiteral("the service did not report its port");
        m_process->kill();
        m_process->waitForFinished(kStopBoundMs);
        m_process.reset();
        return false;
    }
    m_port = port;
    return true;
}

bool ReferenceService::stop()
{
    if (!m_process)
        return true;
    bool clean = false;
    if (m_process->state() != QProcess::NotRunning) {
        ::kill(static_cast<pid_t>(m_process->processId()), SIGTERM);
        if (!m_process->waitForFinished(kStopBoundMs)) {
            m_error = QStringLiteral("the service did not stop on SIGTERM");
            m_process->kill();
            m_process->waitForFinished(kStopBoundMs);
        } else {
            clean = m_process->exitStatus() == QProcess::NormalExit && m_process->exitCode() == 0;
        }
    }
    m_process.reset();
    return clean;
}

bool ReferenceService::restart()
{
    const bool stopped = stop();
    return start() && stopped;
}

std::optional<ReferenceService::Delivered> ReferenceService::deliver(const Incoming &message)
{
    QStringList arguments { QStringLiteral("deliver"), QStringLiteral("--from"), message.from,
        QStringLiteral("--subject"), message.subject, QStringLiteral("--body"), message.body };
    if (!message.fromName.isEmpty())
        arguments += { QStringLiteral("--from-name"), message.fromName };
    for (const auto &cc : message.cc)
        arguments += { QStringLiteral("--cc"), cc };
    if (!message.conversationId.isEmpty())
        arguments += { QStringLiteral("--conversation"), message.conversationId };
    if (message.at)
        arguments += { QStringLiteral("--at"), QString::number(*message.at) };
    if (!message.userId.isEmpty())
        arguments += { QStringLiteral("--user"), message.userId };
    if (!message.accountRole.isEmpty())
        arguments += { QStringLiteral("--account-role"), message.accountRole };
    const auto out = runCommand(arguments);
    if (!out)
        return std::nullopt;
    const auto object = QJsonDocument::fromJson(*out).object();
    Delivered delivered { object.value(QStringLiteral("conversationId")).toString(),
        object.value(QStringLiteral("messageId")).toString() };
    if (delivered.conversationId.isEmpty() || delivered.messageId.isEmpty()) {
        m_error = QStringLiteral("deliver answered %1").arg(QString::fromUtf8(*out));
        return std::nullopt;
    }
    return delivered;
}

std::optional<ReferenceService::Account> ReferenceService::addUser(
    const QString &name, const QString &email, const QString &mailboxLocalPart)
{
    QStringList arguments { QStringLiteral("add-user"), QStringLiteral("--name"), name, QStringLiteral("--email"),
        email };
    if (!mailboxLocalPart.isEmpty())
        arguments += { QStringLiteral("--mailbox"), mailboxLocalPart };
    const auto out = runCommand(arguments);
    if (!out)
        return std::nullopt;
    const auto object = QJsonDocument::fromJson(*out).object();
    Account account { object.value(QStringLiteral("userId")).toString(),
        object.value(QStringLiteral("token")).toString() };
    if (account.userId.isEmpty() || account.token.isEmpty()) {
        m_error = QStringLiteral("add-user answered %1").arg(QString::fromUtf8(*out));
        return std::nullopt;
    }
    return account;
}

std::optional<QString> ReferenceService::issueToken()
{
    const auto out = runCommand({ QStringLiteral("issue-token") });
    if (!out)
        return std::nullopt;
    return QString::fromUtf8(*out).trimmed();
}

} // namespace quarn::test
