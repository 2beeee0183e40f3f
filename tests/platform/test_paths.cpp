// Where the private data folder and the work folders lie, whatever links and
// odd values the user's environment holds.

#include "platform/paths.h"
#include "support/scopedenvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using quarn::testing::ScopedEnvironment;

namespace {

bool link(const QString &target, const QString &name)
{
    return QDir().mkpath(QFileInfo(name).path()) && QFile::link(target, name);
}

/// `text` with "<root>" replaced by the fixture folder's real path.
QByteArray at(const QTemporaryDir &root, const QString &text)
{
    return QFile::encodeName(QString(text).replace(u"<root>"_s, QFileInfo(root.path()).canonicalFilePath()));
}

} // namespace

class TestPaths : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Fixture: <root>/real is a folder, <root>/home/.local/share a link to it
    // where a row asks for one, <root>/alias a link to <root>/real.
    void dataFolderBaseIsResolvedOnce_data()
    {
        QTest::addColumn<QString>("dataHome"); // empty: unset
        QTest::addColumn<bool>("linkedShare");
        QTest::addColumn<QString>("expected");
        QTest::newRow("data home through a link") << u"<root>/alias"_s << false << u"<root>/real/Quarn Mail"_s;
        QTest::newRow("linked ~/.local/share") << QString() << true << u"<root>/real/Quarn Mail"_s;
        QTest::newRow("missing part below a link")
            << u"<root>/alias/new/share"_s << false << u"<root>/real/new/share/Quarn Mail"_s;
        QTest::newRow("relative data home is ignored") << u"alias"_s << true << u"<root>/real/Quarn Mail"_s;
        QTest::newRow("no links at all") << u"<root>/real/./x/.."_s << false << u"<root>/real/Quarn Mail"_s;
    }

    void dataFolderBaseIsResolvedOnce()
    {
        QFETCH(QString, dataHome);
        QFETCH(bool, linkedShare);
        QFETCH(QString, expected);
        QTemporaryDir root;
        QVERIFY(QDir().mkpath(root.filePath(u"real"_s)));
        QVERIFY(link(root.filePath(u"real"_s), root.filePath(u"alias"_s)));
        QVERIFY(QDir().mkpath(root.filePath(u"home/.local"_s)));
        if (linkedShare)
            QVERIFY(link(root.filePath(u"real"_s), root.filePath(u"home/.local/share"_s)));

        ScopedEnvironment environment;
        environment.set("HOME", at(root, u"<root>/home"_s));
        environment.set("XDG_DATA_HOME", dataHome.isEmpty() ? std::nullopt : std::optional(at(root, dataHome)));

        QCOMPARE(quarn::platform::applicationSupportDirectory(), QFile::decodeName(at(root, expected)));
    }

    void dataFolderItselfIsNeverFollowed()
    {
        // "Quarn Mail" is appended as it is, so that the components that
        // check it see a link there and refuse it.
        QTemporaryDir root;
        QVERIFY(QDir().mkpath(root.filePath(u"elsewhere"_s)));
        QVERIFY(link(root.filePath(u"elsewhere"_s), root.filePath(u"data/Quarn Mail"_s)));
        ScopedEnvironment environment;
        environment.set("XDG_DATA_HOME", at(root, u"<root>/data"_s));
        QCOMPARE(
            quarn::platform::applicationSupportDirectory(), QFile::decodeName(at(root, u"<root>/data/Quarn Mail"_s)));
    }

    void temporaryBaseIsNeverEmptyOrRelative_data()
    {
        QTest::addColumn<QString>("runtime"); // empty: unset
        QTest::addColumn<QString>("tmpdir");
        QTest::addColumn<QString>("expected");
        QTest::newRow("runtime folder") << u"<root>/run"_s << u"<root>/tmp"_s << u"<root>/run"_s;
        // Not the user's own private folder: a `su` shell's, a loosened one,
        // a link to the user's own.
        QTest::newRow("another user's runtime folder, TMPDIR")
            << u"<root>/foreign"_s << u"<root>/tmp"_s << u"<root>/tmp"_s;
        QTest::newRow("runtime folder open to others, TMPDIR")
            << u"<root>/open"_s << u"<root>/tmp"_s << u"<root>/tmp"_s;
        QTest::newRow("link to a runtime folder, TMPDIR") << u"<root>/linked"_s << u"<root>/tmp"_s << u"<root>/tmp"_s;
        QTest::newRow("relative runtime folder, TMPDIR") << u"run"_s << u"<root>/tmp"_s << u"<root>/tmp"_s;
        QTest::newRow("missing runtime folder, TMPDIR") << u"<root>/gone"_s << u"<root>/tmp"_s << u"<root>/tmp"_s;
        QTest::newRow("relative TMPDIR") << QString() << u"tmp"_s << u"/tmp"_s;
        QTest::newRow("TMPDIR that does not exist") << QString() << u"<root>/gone"_s << u"/tmp"_s;
        QTest::newRow("empty TMPDIR") << QString() << u"<empty>"_s << u"/tmp"_s;
        QTest::newRow("neither") << QString() << QString() << u"/tmp"_s;
    }

    void temporaryBaseIsNeverEmptyOrRelative()
    {
        QFETCH(QString, runtime);
        QFETCH(QString, tmpdir);
        QFETCH(QString, expected);
        QTemporaryDir root;
        QVERIFY(QDir().mkpath(root.filePath(u"tmp"_s)));
        for (const QString &name : { u"run"_s, u"foreign"_s, u"open"_s }) {
            QVERIFY(QDir().mkpath(root.filePath(name)));
            QVERIFY(::chmod(QFile::encodeName(root.filePath(name)).constData(), name == u"open"_s ? 0711 : 0700) == 0);
        }
        QVERIFY(QFile::link(root.filePath(u"run"_s), root.filePath(u"linked"_s)));
        // Another owner needs root to give away; as another user it is so already.
        if (::geteuid() == 0)
            QVERIFY(::chown(QFile::encodeName(root.filePath(u"foreign"_s)).constData(), 65534, 65534) == 0);
        else if (QTest::currentDataTag() == QByteArray("another user's runtime folder, TMPDIR"))
            QSKIP("giving a folder to another user needs root");
        const auto value = [&](const QString &text) -> std::optional<QByteArray> {
            if (text.isEmpty())
                return std::nullopt;
            return text == u"<empty>"_s ? QByteArray() : at(root, text);
        };
        ScopedEnvironment environment;
        environment.set("XDG_RUNTIME_DIR", value(runtime));
        environment.set("TMPDIR", value(tmpdir));

        QCOMPARE(quarn::platform::temporaryDirectory(), QFile::decodeName(at(root, expected)));
    }
};

QTEST_GUILESS_MAIN(TestPaths)
#include "test_paths.moc"
