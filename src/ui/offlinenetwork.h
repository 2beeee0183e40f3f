#pragma once

#include <QQmlNetworkAccessManagerFactory>

class QQmlEngine;

namespace quarn::ui {

/// The network access of the screens' QML engine: none. Images and documents
/// the screens load are compiled into the program or come from the icon
/// theme's files, so every request for anything else (an image a sender
/// wrote into rich text, a remote source slipped into a binding) is refused
/// without a connection. The service is reached by the model's own client,
/// never by the engine.
class OfflineNetworkAccessManagerFactory : public QQmlNetworkAccessManagerFactory
{
public:
    QNetworkAccessManager *create(QObject *parent) override;
};

/// Whether the screens' engine may load `url`: a resource compiled into the
/// program (qrc:) or a local file.
[[nodiscard]] bool isAllowedScreenResource(const QUrl &url);

/// Gives `engine` managers that refuse every remote request. Call before the
/// engine loads anything; the engine owns the factory.
void installOfflineNetwork(QQmlEngine &engine);

} // namespace quarn::ui
