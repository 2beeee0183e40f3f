#include "ui/offlinenetwork.h"

#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QQmlEngine>
#include <QTimer>

#include <atomic>

using namespace Qt::StringLiterals;

namespace quarn::ui {

namespace {

Q_LOGGING_CATEGORY(lcScreensNetwork, "quarn.ui.network", QtWarningMsg)

/// An answer that fails at once, without touching the network: its request
/// was not the screens' to make.
class RefusedReply : public QNetworkReply
{
public:
    RefusedReply(QNetworkAccessManager::Operation operation, const QNetworkRequest &request, QObject *parent)
        : QNetworkReply(parent)
    {
        setRequest(request);
        setUrl(request.url());
        setOperation(operation);
        setOpenMode(QIODevice::ReadOnly | QIODevice::Unbuffered);
        setError(QNetworkReply::ContentAccessDenied, u"The screens do not load remote resources."_s);
        setFinished(true);
        // As every reply does, it reports its end after its requester connected.
        QTimer::singleShot(0, this, [this] {
            Q_EMIT errorOccurred(QNetworkReply::ContentAccessDenied);
            Q_EMIT finished();
        });
    }
    void abort() override { }
    qint64 bytesAvailable() const override { return 0; }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *, qint64) override { return -1; }
};

class OfflineNetworkAccessManager : public QNetworkAccessManager
{
public:
    using QNetworkAccessManager::QNetworkAccessManager;

protected:
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request, QIODevice *data) override
    {
        if (isAllowedScreenResource(request.url()))
            return QNetworkAccessManager::createRequest(operation, request, data);
        // Said once per process: a list of hostile mail would otherwise fill
        // the log with one line per row.
        static std::atomic_bool told = false;
        if (!told.exchange(true))
            qCDebug(lcScreensNetwork) << "refused a request of the screens for" << request.url().scheme()
                                      << "(further refusals are not logged)";
        return new RefusedReply(operation, request, this);
    }
};

} // namespace

bool isAllowedScreenResource(const QUrl &url)
{
    return url.scheme() == u"qrc"_s || url.isLocalFile();
}

QNetworkAccessManager *OfflineNetworkAccessManagerFactory::create(QObject *parent)
{
    return new OfflineNetworkAccessManager(parent);
}

void installOfflineNetwork(QQmlEngine &engine)
{
    // The engine does not take the factory; one per engine, gone with it.
    auto *factory = new OfflineNetworkAccessManagerFactory;
    engine.setNetworkAccessManagerFactory(factory);
    QObject::connect(&engine, &QObject::destroyed, [factory] { delete factory; });
}

} // namespace quarn::ui
