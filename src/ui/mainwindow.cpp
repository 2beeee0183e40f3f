#include "ui/mainwindow.h"

#include "app/appcommands.h"
#include "app/appmodel.h"
#include "app/composesession.h"
#include "app/mailsignaturesetting.h"
#include "app/notificationsetting.h"
#include "app/setuprules.h"
#include "platform/desktopappearance.h"
#include "platform/rendering.h"
#include "quarn/config.h"
#include "ui/colorscheme.h"
#include "ui/commandtable.h"
#include "ui/offlinenetwork.h"
#include "ui/screenrules.h"
#include "ui/symbols.h"

#include <QProcessEnvironment>
#include <QQmlApplicationEngine>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QQuickWindow>

using namespace Qt::StringLiterals;

// Generated with the Quarn.Ui module: registers its C++ types. A static
// library's registration is only linked in when something calls it.
void qml_register_types_Quarn_Ui();

namespace quarn::ui {

bool prefersSoftwareRenderer(const QProcessEnvironment &environment, bool hasRenderNode)
{
    // An empty value chooses nothing, as Qt reads it.
    for (const char *choice : { "QT_QUICK_BACKEND", "QSG_RHI_BACKEND" }) {
        if (!environment.value(QString::fromLatin1(choice)).isEmpty())
            return false;
    }
    return !hasRenderNode;
}

void chooseRenderer()
{
    if (prefersSoftwareRenderer(QProcessEnvironment::systemEnvironment(), platform::hasHardwareRenderNode()))
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
}

void registerScreenTypes()
{
    static const bool registered = [] {
        qmlRegisterType<ComposeSession>("Quarn.Rules", 1, 0, "ComposeSession");
        // One signature per engine: the settings window and every compose
        // window of that engine share it, so an edit shows everywhere at once.
        qmlRegisterSingletonType<MailSignatureSetting>("Quarn.Rules", 1, 0, "MailSignature",
            [](QQmlEngine *, QJSEngine *) -> QObject * { return new MailSignatureSetting; });
        qmlRegisterSingletonType<NotificationSetting>("Quarn.Rules", 1, 0, "NotificationSetting",
            [](QQmlEngine *, QJSEngine *) -> QObject * { return new NotificationSetting; });
        qmlRegisterSingletonType<SetupRules>(
            "Quarn.Rules", 1, 0, "SetupRules", [](QQmlEngine *, QJSEngine *) -> QObject * { return new SetupRules; });
        qml_register_types_Quarn_Ui();
        return true;
    }();
    (void)registered;
}

QQuickWindow *loadMainWindow(QQmlApplicationEngine &engine, AppModel &model, AppCommands &commands)
{
    ensureIconTheme();
    registerScreenRules();
    // One look on every desktop, unless the user chose a style. The style
    // can only be chosen before the first window of the process loads.
    static const bool styleChosen = [] {
        if (qEnvironmentVariableIsEmpty("QT_QUICK_CONTROLS_STYLE"))
            QQuickStyle::setStyle(u"Fusion"_s);
        return true;
    }();
    (void)styleChosen;
    // The desktop's light or dark choice, followed while the program runs.
    followColorScheme(platform::desktopAppearance());
    registerScreenTypes();
    // Text from outside can hold markup that names remote images; should a
    // screen ever interpret it, nothing is fetched (a sender would learn when
    // and where the mail was read).
    if (!engine.networkAccessManagerFactory())
        installOfflineNetwork(engine);
    engine.addImportPath(u"qrc:/qt/qml"_s);
    engine.addImageProvider(u"symbol"_s, new SymbolImageProvider);
    // The window's commands: its menus, keys, palette and shortcut sheet.
    auto *table = new CommandTable(model, commands, &engine);
    engine.setInitialProperties({
        { u"appModel"_s, QVariant::fromValue<QObject *>(&model) },
        { u"commands"_s, QVariant::fromValue<QObject *>(&commands) },
        { u"commandTable"_s, QVariant::fromValue<QObject *>(table) },
        { u"mailDomain"_s, QString::fromUtf8(config::kMailDomain) },
    });
    engine.load(QUrl(u"qrc:/qt/qml/Quarn/Ui/Main.qml"_s));
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().value(0));
    if (!window)
        return nullptr;
    QObject::connect(window, &QWindow::visibleChanged, &commands, [&commands](bool visible) {
        if (visible)
            commands.windowShown();
    });
    window->show();
    return window;
}

} // namespace quarn::ui
