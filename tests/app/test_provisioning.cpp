#include "app/provisioning.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

const QByteArray kToken = "tok_mail_0123456789abcdefghijklmnopqrstuvwxyzABCDEFG";
const QByteArray kOtherToken = "tok_mail_ZYXWVUTSRQPONMLKJIHGFEDCBAzyxwvutsrqponmlkj";
const QByteArray kMessage = "Quarn Mail token provisioning failed.\n";
const QByteArray kNoFile = "<no file>";

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

/// Starts the real quarn-mail with a private home and no display at all, so
/// that anything GUI-bound in the provisioning path would fail the run.
Run runQuarnMail(const QStringList &arguments, const QByteArray &input, const QString &home,
    const std::optional<QString> &xdgDataHome = std::nullopt)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &name : { u"QT_QPA_PLATFORM"_s, u"DISPLAY"_s, u"WAYLAND_DISPLAY"_s, u"XDG_DATA_HOME"_s })
        env.remove(name);
    env.insert(u"HOME"_s, home);
    if (xdgDataHome)
        env.insert(u"XDG_DATA_HOME"_s, *xdgDataHome);

    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QString::fromUtf8(QUARN_MAIL_EXECUTABLE), arguments);
    Run run;
    if (!process.waitForStarted(10000))
        return run;
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return kNoFile;
    return file.readAll();
}

QString defaultTokenPath(const QString &home)
{
    return home + u"/.local/share/Quarn Mail/device-token"_s;
}

} // namespace

class TestProvisioning : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void provisionsFromStandardInput_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("err");
        QTest::addColumn<QByteArray>("saved");

        const QStringList plain { u"--provision-token"_s };
        QTest::newRow("token and LF") << plain << kToken + '\n' << 0 << QByteArray() << kToken;
        QTest::newRow("token and CR LF") << plain << kToken + "\r\n" << 0 << QByteArray() << kToken;
        QTest::newRow("last line without line end") << plain << kToken << 0 << QByteArray() << kToken;
        QTest::newRow("only the first of several lines") << plain << kToken + '\n' + kOtherToken + '\n'
                                                         << 0 << QByteArray() << kToken;
        QTest::newRow("switch after other arguments")
            << QStringList { u"--verbose"_s, u"quarn-mail://auth"_s, u"--provision-token"_s } << kToken + '\n'
            << 0 << QByteArray() << kToken;
        QTest::newRow("arguments carry no token")
            << QStringList { u"--provision-token"_s, QString::fromLatin1(kOtherToken) } << kToken + '\n'
            << 0 << QByteArray() << kToken;

        QTest::newRow("empty input") << plain << QByteArray() << 1 << QByteArray() << kNoFile;
        QTest::newRow("empty first line") << plain << "\n" + kToken + '\n' << 1 << kMessage << kNoFile;
        QTest::newRow("CR LF only") << plain << QByteArray("\r\n") << 1 << kMessage << kNoFile;
        QTest::newRow("trailing blank is kept") << plain << kToken + " \n" << 1 << kMessage << kNoFile;
        QTest::newRow("leading blank is kept") << plain << ' ' + kToken + '\n' << 1 << kMessage << kNoFile;
        QTest::newRow("CR without LF is kept") << plain << kToken + '\r' << 1 << kMessage << kNoFile;
        QTest::newRow("51 characters") << plain << kToken.left(51) + '\n' << 1 << kMessage << kNoFile;
        QTest::newRow("not UTF-8") << plain << kToken.left(51) + "\xff\n" << 1 << kMessage << kNoFile;
        QTest::newRow("one long line") << plain << QByteArray(1 << 20, 'a') << 1 << kMessage << kNoFile;
    }

    void provisionsFromStandardInput()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, input);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, err);
        QFETCH(QByteArray, saved);

        QTemporaryDir home;
        QVERIFY(home.isValid());
        const Run run = runQuarnMail(arguments, input, home.path());
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(run.err, err);
        QCOMPARE(run.out, QByteArray());
        QCOMPARE(contentOf(defaultTokenPath(home.path())), saved);
        if (saved != kNoFile) {
            struct stat st
            {
            };
            QCOMPARE(::stat(QFile::encodeName(defaultTokenPath(home.path())).constData(), &st), 0);
            QCOMPARE(st.st_mode & 07777, mode_t(0600));
        }
    }

    void storesInTheDataFolderOfTheEnvironment_data()
    {
        QTest::addColumn<std::optional<QString>>("xdgDataHome");
        QTest::addColumn<QString>("folder"); // relative to the temporary home
        QTest::newRow("XDG_DATA_HOME unset") << std::optional<QString>() << u".local/share/Quarn Mail"_s;
        QTest::newRow("XDG_DATA_HOME absolute") << std::optional<QString>(u"<home>/xdg"_s) << u"xdg/Quarn Mail"_s;
        QTest::newRow("XDG_DATA_HOME relative") << std::optional<QString>(u"xdg"_s) << u".local/share/Quarn Mail"_s;
        QTest::newRow("XDG_DATA_HOME empty") << std::optional<QString>(QString()) << u".local/share/Quarn Mail"_s;
    }

    void storesInTheDataFolderOfTheEnvironment()
    {
        QFETCH(std::optional<QString>, xdgDataHome);
        QFETCH(QString, folder);
        QTemporaryDir home;
        QVERIFY(home.isValid());
        if (xdgDataHome)
            xdgDataHome->replace(u"<home>"_s, home.path());

        const Run run = runQuarnMail({ u"--provision-token"_s }, kToken + '\n', home.path(), xdgDataHome);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(contentOf(home.path() + u'/' + folder + u"/device-token"_s), kToken);
    }

    void unsafeFolderFailsWithTheMessage()
    {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        const QString elsewhere = home.path() + u"/elsewhere"_s;
        QVERIFY(QDir().mkpath(elsewhere));
        QVERIFY(QDir().mkpath(home.path() + u"/.local/share"_s));
        QVERIFY(QFile::link(elsewhere, home.path() + u"/.local/share/Quarn Mail"_s));

        const Run run = runQuarnMail({ u"--provision-token"_s }, kToken + '\n', home.path());
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.err, kMessage);
        QCOMPARE(contentOf(elsewhere + u"/device-token"_s), kNoFile);
    }

    void switchMustBeAWholeArgument_data()
    {
        QTest::addColumn<QList<QByteArray>>("arguments");
        QTest::addColumn<bool>("requested");
        QTest::newRow("alone") << QList<QByteArray> { "quarn-mail", "--provision-token" } << true;
        QTest::newRow("after others") << QList<QByteArray> { "quarn-mail", "-x", "y", "--provision-token" } << true;
        QTest::newRow("as the program path") << QList<QByteArray> { "--provision-token" } << true;
        QTest::newRow("with a value") << QList<QByteArray> { "quarn-mail", "--provision-token=tok_mail_x" } << false;
        QTest::newRow("single dash") << QList<QByteArray> { "quarn-mail", "-provision-token" } << false;
        QTest::newRow("with a blank") << QList<QByteArray> { "quarn-mail", "--provision-token " } << false;
        QTest::newRow("absent") << QList<QByteArray> { "quarn-mail", "quarn-mail://auth" } << false;
    }

    void switchMustBeAWholeArgument()
    {
        QFETCH(QList<QByteArray>, arguments);
        QFETCH(bool, requested);
        std::vector<const char *> argv;
        for (const QByteArray &argument : arguments)
            argv.push_back(argument.constData());
        argv.push_back(nullptr);
        QCOMPARE(quarn::provisioning::isRequested(int(arguments.size()), argv.data()), requested);
    }
};

QTEST_GUILESS_MAIN(TestProvisioning)
#include "test_provisioning.moc"
