// Pictures of the work lens: the main window on the reference service's demo
// mailbox, one PNG per state. Arguments: output folder, "light" or "dark".

#include "support/referenceservice.h"
#include "ui/uiharness.h"

#include <QDir>
#include <QGuiApplication>
#include <QTextStream>

#include <functional>

using namespace Qt::StringLiterals;
using namespace quarn;
using namespace quarn::testing;
using quarn::test::ReferenceService;

namespace {

/// Writes the pictures of one scheme and prints their paths.
class Pictures
{
public:
    Pictures(QString folder, QString scheme)
        : m_folder(std::move(folder))
        , m_scheme(std::move(scheme))
    { }

    /// Saves the window as "work-<name>-<scheme>.png".
    bool save(const Window &w, const QString &name)
    {
        const QString path = QDir(m_folder).filePath(u"work-%1-%2.png"_s.arg(name, m_scheme));
        if (!w.grab(path)) {
            QTextStream(stderr) << "screens_work: could not write " << path << '\n';
            m_failed = true;
            return false;
        }
        QTextStream(stdout) << path << '\n';
        return true;
    }
    [[nodiscard]] bool failed() const { return m_failed; }

private:
    QString m_folder;
    QString m_scheme;
    bool m_failed = false;
};

/// Lets bindings, layouts and image loads settle before a picture.
void settle()
{
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
        QTest::qWait(40);
    }
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3 || (args[2] != u"light"_s && args[2] != u"dark"_s)) {
        QTextStream(stderr) << "usage: screens_work <output folder> light|dark\n";
        return 2;
    }
    QDir().mkpath(args[1]);
    useScheme(args[2] == u"dark"_s);
    Pictures pictures(args[1], args[2]);

    ReferenceService service;
    if (!service.start()) {
        QTextStream(stderr) << "screens_work: " << service.errorString() << '\n';
        return 1;
    }
    Harness h(service.baseUrl(), Harness::Codex::double_);
    if (!h.saveToken(service.token()))
        return 1;
    run(h.model->bootstrap());

    Window w(*h.model);
    if (!w.window) {
        QTextStream(stderr) << "screens_work: the window did not load\n" << UiWarnings::text() << '\n';
        return 1;
    }
    settle();
    pictures.save(w, u"workspace"_s);
    return pictures.failed() ? 1 : 0;
}
