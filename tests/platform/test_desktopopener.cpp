// Handing links and files to the desktop through the freedesktop.org
// programs, with recording stand-ins for xdg-open and xdg-mime: the answer is
// the opener's exit status, never merely that it started.

#include "core/blocking.h"
#include "platform/desktopopener.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using quarn::platform::DesktopPrograms;

namespace {

/// A stand-in program: a shell script with `body`, executable.
bool writeScript(const QString &path, const QByteArray &body)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write("#!/bin/sh\n" + body);
    file.close();
    return file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestDesktopOpener : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void openerStatusIsTheAnswer_data()
    {
        QTest::addColumn<QByteArray>("script"); // empty: no such program
        QTest::addColumn<bool>("opened");
        QTest::newRow("handler took it") << QByteArray("exit 0\n") << true;
        QTest::newRow("no handler") << QByteArray("exit 3\n") << false;
        QTest::newRow("opener killed") << QByteArray("kill -9 $$\n") << false;
        QTest::newRow("no opener installed") << QByteArray() << false;
        // xdg-open on a desktop it does not know runs the handler in the
        // foreground: still running after the settle time means accepted.
        QTest::newRow("handler in the foreground") << QByteArray("sleep 2\n: > ended\n") << true;
    }

    void openerStatusIsTheAnswer()
    {
        QFETCH(QByteArray, script);
        QFETCH(bool, opened);
        QTemporaryDir dir;
        DesktopPrograms programs;
        programs.opener = dir.filePath(u"opener"_s);
        programs.settle = 500ms;
        const QString record = dir.filePath(u"opened"_s);
        if (!script.isEmpty())
            QVERIFY(writeScript(programs.opener,
                "cd '" + dir.path().toUtf8() + "'\nprintf '%s\\n' \"$1\" > '" + record.toUtf8() + "'\n" + script));
        const QString target = u"quarn-orro://action/task?title=%E8%A6%8B%E7%A9%8D&notes="_s;

        QCOMPARE(quarn::blockOn(quarn::platform::openWithDesktop(programs, target), 20s), opened);
        if (!script.isEmpty())
            QCOMPARE(contents(record), target.toUtf8() + '\n');
        // An opener still running when the answer came is left to end by
        // itself; the test waits for it, so that nothing of it outlives the
        // test (its process object goes once it has ended).
        if (script.contains("ended")) {
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath(u"ended"_s)), 10'000);
            QTest::qWait(300);
        }
    }

    void handlerQuery_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<bool>("handled");
        // The stand-in knows one handler, for text/calendar.
        const QByteArray knowsCalendar
            = "[ \"$1 $2 $3\" = 'query default text/calendar' ] && echo org.example.Calendar.desktop\n"
              "exit 0\n";
        QTest::newRow("registered") << u"text/calendar"_s << knowsCalendar << true;
        QTest::newRow("nothing registered") << u"x-scheme-handler/quarn-orro"_s << knowsCalendar << false;
        QTest::newRow("query fails") << u"text/calendar"_s << QByteArray("echo x.desktop; exit 1\n") << false;
        QTest::newRow("no query program") << u"text/calendar"_s << QByteArray() << false;
    }

    void handlerQuery()
    {
        QFETCH(QString, type);
        QFETCH(QByteArray, script);
        QFETCH(bool, handled);
        QTemporaryDir dir;
        DesktopPrograms programs;
        programs.mimeQuery = dir.filePath(u"mime"_s);
        if (!script.isEmpty())
            QVERIFY(writeScript(programs.mimeQuery, script));
        QCOMPARE(quarn::blockOn(quarn::platform::hasDesktopHandler(programs, type), 20s), handled);
    }
};

QTEST_GUILESS_MAIN(TestDesktopOpener)
#include "test_desktopopener.moc"
