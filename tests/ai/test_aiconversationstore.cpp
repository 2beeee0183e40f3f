#include "ai/aiconversationstore.h"
#include "core/blocking.h"
#include "model/json.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <QProcess>
#include <QStandardPaths>

#include <csignal>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace quarn;

namespace {

AIConversation conversation(const QString &id, qint64 updatedAt, int messages = 1)
{
    AIConversation c;
    c.id = id;
    c.title = u"会話 "_s + id;
    c.createdAt = 1;
    c.updatedAt = updatedAt;
    for (int i = 0; i < messages; ++i) {
        AIChatMessage m;
        m.id = u"msg_%1_%2"_s.arg(id).arg(i);
        m.role = i % 2 ? AIChatMessage::Role::assistant : AIChatMessage::Role::user;
        m.content = u"内容 \"%1\"\n😀 e\u0301"_s.arg(i);
        m.createdAt = updatedAt - messages + i;
        c.messages.append(m);
    }
    return c;
}

QStringList ids(const QList<AIConversation> &list)
{
    QStringList out;
    for (const auto &c : list)
        out.append(c.id);
    return out;
}

mode_t modeOf(const QString &path)
{
    struct stat st
    {
    };
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return mode_t(-1);
    return st.st_mode & 07777;
}

QByteArray contentOf(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return "<unreadable>";
    return f.readAll();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QList<AIConversation> load(AIConversationStore &store)
{
    return blockOn(store.load());
}

void save(AIConversationStore &store, const QList<AIConversation> &list)
{
    blockOn(store.save(list));
}

// Runs `op` and returns the description of the Error it threw, or "" when it
// did not throw one.
template<typename Op> QString failureOf(Op op)
{
    try {
        op();
    } catch (const Error &e) {
        return e.description().isEmpty() ? u"<empty description>"_s : e.description();
    }
    return {};
}

/// Sets or clears the immutable attribute of `path`: such a file can be
/// neither replaced nor renamed, by anyone. False where the file system or
/// the process's privileges do not allow it.
bool setImmutable(const QString &path, bool immutable)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
        flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return done;
}

/// What `--store-child <load|save> <file>` did, as the child tells it: the
/// first line the outcome ("loaded <ids>", "saved", "set-aside",
/// "unreadable", "failed"), the second the error's description.
int runStoreChild(const QString &action, const QString &filePath)
{
    AIConversationStore store(filePath);
    QByteArray outcome;
    QString description;
    try {
        if (action == u"load"_s) {
            outcome = "loaded " + ids(blockOn(store.load())).join(u',').toUtf8();
        } else {
            blockOn(store.save({ conversation(u"ai_child"_s, 3) }));
            outcome = "saved";
        }
    } catch (const AIConversationFileSetAside &e) {
        outcome = "set-aside";
        description = e.description();
    } catch (const AIConversationFileUnreadable &e) {
        outcome = "unreadable";
        description = e.description();
    } catch (const Error &e) {
        outcome = "failed";
        description = e.description();
    }
    std::printf("%s\n%s\n", outcome.constData(), description.toUtf8().constData());
    return 0;
}

} // namespace

class TestAIConversationStore : public QObject
{
    Q_OBJECT

private:
    // A fresh folder for each test function.
    std::unique_ptr<QTemporaryDir> m_dir;
    // A file made immutable by the running test, to be made removable again.
    QString m_immutable;

    QString path(const QString &relative) const { return m_dir->path() + u'/' + relative; }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    void cleanup()
    {
        // Or the folder could not be removed.
        if (!m_immutable.isEmpty())
            setImmutable(m_immutable, false);
        m_immutable.clear();
    }

    void firstStartLoadsEmptyAndCreatesNothing()
    {
        AIConversationStore store(path(u"App/Quarn Mail/ai-conversations.json"_s));
        QCOMPARE(load(store), QList<AIConversation>());
        QVERIFY(!QFileInfo::exists(path(u"App"_s)));

        save(store, { conversation(u"ai_1"_s, 10) });
        QCOMPARE(modeOf(path(u"App/Quarn Mail"_s)), mode_t(0700));
        QCOMPARE(modeOf(store.filePath()), mode_t(0600));
        QCOMPARE(QDir(path(u"App/Quarn Mail"_s)).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList { u"ai-conversations.json"_s });
    }

    void roundTripKeepsEverything()
    {
        AIConversationStore store(path(u"ai-conversations.json"_s));
        const QList<AIConversation> list { conversation(u"ai_a"_s, 30, 3), conversation(u"ai_b"_s, 20, 0),
            conversation(u"ai_c"_s, 10, 2) };
        save(store, list);
        QCOMPARE(load(store), list);
        // Compact, in the order the caller gave, in the records' JSON form.
        QCOMPARE(contentOf(store.filePath()), encodeJson(list));
        QVERIFY(!contentOf(store.filePath()).contains('\n'));

        save(store, {});
        QCOMPARE(contentOf(store.filePath()), QByteArray("[]"));
        QCOMPARE(load(store), QList<AIConversation>());
    }

    void loadOrdersByUpdatedAtStably_data()
    {
        QTest::addColumn<QList<qint64>>("updatedAt");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("5 then 9") << QList<qint64> { 5, 9 } << QStringList { u"c1"_s, u"c0"_s };
        QTest::newRow("already sorted") << QList<qint64> { 9, 5 } << QStringList { u"c0"_s, u"c1"_s };
        QTest::newRow("equal keep file order")
            << QList<qint64> { 7, 7, 7 } << QStringList { u"c0"_s, u"c1"_s, u"c2"_s };
        QTest::newRow("equal among others")
            << QList<qint64> { 1, 7, 9, 7, 1 } << QStringList { u"c2"_s, u"c1"_s, u"c3"_s, u"c0"_s, u"c4"_s };
        QTest::newRow("negative and large")
            << QList<qint64> { -1, 9'007'199'254'740'993, 0 } << QStringList { u"c1"_s, u"c2"_s, u"c0"_s };
    }
    void loadOrdersByUpdatedAtStably()
    {
        QFETCH(QList<qint64>, updatedAt);
        QFETCH(QStringList, expected);
        AIConversationStore store(path(u"ai-conversations.json"_s));
        QList<AIConversation> list;
        for (qsizetype i = 0; i < updatedAt.size(); ++i)
            list.append(conversation(u"c%1"_s.arg(i), updatedAt.at(i)));
        save(store, list);
        QCOMPARE(ids(load(store)), expected);
    }

    void readsAnyKeyOrderAndEscaping()
    {
        AIConversationStore store(path(u"ai-conversations.json"_s));
        QVERIFY(writeFile(store.filePath(),
            R"( [ {"updatedAt": 2, "messages": [{"createdAt": 1, "content": "\u3053\u3093\ud83d\ude00",)"
            R"( "role": "assistant", "id": "msg_1"}], "title": "t\/1", "createdAt": 1, "id": "ai_1",)"
            R"( "extra": true} ] )"));
        const auto list = load(store);
        QCOMPARE(list.size(), 1);
        QCOMPARE(list.at(0).title, u"t/1"_s);
        QCOMPARE(list.at(0).messages.at(0).content, u"こん😀"_s);
        QCOMPARE(list.at(0).messages.at(0).role, AIChatMessage::Role::assistant);
    }

    void badFileIsSetAsideUntouched_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("truncated") << QByteArray(
            "[{\"id\":\"ai_1\",\"title\":\"t\",\"messages\":[],\"createdAt\":1,\"upd");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("object") << QByteArray(R"({"id":"ai_1"})");
        QTest::newRow("missing key") << QByteArray(R"([{"id":"ai_1","title":"t","messages":[],"createdAt":1}])");
        QTest::newRow("time as text") << QByteArray(
            R"([{"id":"ai_1","title":"t","messages":[],"createdAt":1,"updatedAt":"2"}])");
        QTest::newRow("unknown role") << QByteArray(
            R"([{"id":"a","title":"t","createdAt":1,"updatedAt":2,)"
            R"("messages":[{"id":"m","role":"system","content":"c","createdAt":1}]}])");
        QTest::newRow("invalid utf-8") << QByteArray("[{\"id\":\"\xff\"}]");
    }
    void badFileIsSetAsideUntouched()
    {
        QFETCH(QByteArray, content);
        AIConversationStore store(path(u"ai-conversations.json"_s));
        QVERIFY(writeFile(store.filePath(), content));
        QVERIFY(::chmod(QFile::encodeName(store.filePath()).constData(), 0644) == 0);
        const QDateTime modified = QFileInfo(store.filePath()).lastModified();

        QString aside;
        try {
            (void)load(store);
            QFAIL("a bad file loaded");
        } catch (const AIConversationFileSetAside &e) {
            aside = e.setAsidePath();
            QVERIFY(e.description().contains(aside));
        }
        // Moved, not rewritten: beside the file, the same bytes and time, private.
        QCOMPARE(QFileInfo(aside).absolutePath(), QFileInfo(store.filePath()).absolutePath());
        QVERIFY(QFileInfo(aside).fileName().startsWith(u"ai-conversations.unreadable-"_s));
        QVERIFY(!QFileInfo::exists(store.filePath()));
        QCOMPARE(contentOf(aside), content);
        QCOMPARE(modeOf(aside), mode_t(0600));
        QCOMPARE(QFileInfo(aside).lastModified(), modified);

        // The next save starts a new file; the old one stays.
        save(store, { conversation(u"ai_1"_s, 1) });
        QCOMPARE(ids(load(store)), QStringList { u"ai_1"_s });
        QCOMPARE(contentOf(aside), content);

        // A second unreadable file in the same second gets a name of its own.
        QVERIFY(writeFile(store.filePath(), content));
        try {
            (void)load(store);
            QFAIL("a bad file loaded");
        } catch (const AIConversationFileSetAside &e) {
            QVERIFY(e.setAsidePath() != aside);
            QCOMPARE(contentOf(e.setAsidePath()), content);
        }
        QCOMPARE(contentOf(aside), content);
    }

    // What cannot be read is never followed, read or saved over: the load
    // moves it aside as it is, and so does a save that finds it first.
    void unreadableFileIsSetAsideNeverSavedOver_data()
    {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<bool>("loadFirst");
        for (const QString &shape : { u"link"_s, u"fifo"_s, u"other owner"_s, u"folder"_s }) {
            QTest::addRow("%s, load", qPrintable(shape)) << shape << true;
            QTest::addRow("%s, save", qPrintable(shape)) << shape << false;
        }
    }
    void unreadableFileIsSetAsideNeverSavedOver()
    {
        QFETCH(QString, shape);
        QFETCH(bool, loadFirst);
        AIConversationStore store(path(u"ai-conversations.json"_s));
        const QByteArray other = encodeJson(QList<AIConversation> { conversation(u"ai_elsewhere"_s, 1) });
        if (shape == u"link"_s) {
            QVERIFY(writeFile(path(u"elsewhere.json"_s), other));
            QVERIFY(QFile::link(path(u"elsewhere.json"_s), store.filePath()));
        } else if (shape == u"fifo"_s) {
            QVERIFY(::mkfifo(QFile::encodeName(store.filePath()).constData(), 0600) == 0);
        } else if (shape == u"folder"_s) {
            QVERIFY(QDir().mkpath(store.filePath()));
            QVERIFY(writeFile(store.filePath() + u"/inside.json"_s, other));
        } else {
            QVERIFY(writeFile(store.filePath(), other));
            QVERIFY(::chown(QFile::encodeName(store.filePath()).constData(), ::getuid() + 4242, -1) == 0);
        }

        if (loadFirst) {
            try {
                (void)load(store);
                QFAIL("an unreadable file loaded");
            } catch (const AIConversationFileSetAside &e) {
                QVERIFY(e.description().contains(e.setAsidePath()));
            }
        }
        save(store, { conversation(u"ai_new"_s, 2) });
        QCOMPARE(ids(load(store)), QStringList { u"ai_new"_s });

        const QStringList aside
            = QDir(m_dir->path()).entryList({ u"ai-conversations.unreadable-*"_s }, QDir::AllEntries | QDir::System);
        QCOMPARE(aside.size(), 1);
        const QString moved = path(aside.constFirst());
        if (shape == u"link"_s) {
            QVERIFY(QFileInfo(moved).isSymLink());
            QCOMPARE(contentOf(path(u"elsewhere.json"_s)), other);
        } else if (shape == u"fifo"_s) {
            QVERIFY(!QFileInfo(moved).isFile());
        } else if (shape == u"folder"_s) {
            QCOMPARE(contentOf(moved + u"/inside.json"_s), other);
        } else {
            QCOMPARE(contentOf(moved), other);
            QCOMPARE(QFileInfo(moved).ownerId(), ::getuid() + 4242);
        }
    }

    // The data folder is taken as it is only when it is the user's own real
    // folder: through a link, nothing is read or written.
    void folderThatIsALinkIsRefused()
    {
        QVERIFY(QDir().mkpath(path(u"real"_s)));
        AIConversationStore real(path(u"real/ai-conversations.json"_s));
        save(real, { conversation(u"ai_there"_s, 1) });
        const QByteArray before = contentOf(real.filePath());
        QVERIFY(QFile::link(path(u"real"_s), path(u"Quarn Mail"_s)));
        AIConversationStore store(path(u"Quarn Mail/ai-conversations.json"_s));

        QVERIFY_THROWS_EXCEPTION(AIConversationFolderUnsafe, (void)load(store));
        QVERIFY_THROWS_EXCEPTION(AIConversationFolderUnsafe, save(store, { conversation(u"ai_new"_s, 2) }));
        QCOMPARE(contentOf(real.filePath()), before);
        QVERIFY(failureOf([&] { (void)load(store); }).contains(path(u"Quarn Mail"_s)));
    }

    void saveReplacesALinkInsteadOfWritingThroughIt()
    {
        AIConversationStore store(path(u"ai-conversations.json"_s));
        QVERIFY(writeFile(path(u"target"_s), "keep"));
        QVERIFY(QFile::link(path(u"target"_s), store.filePath()));
        save(store, { conversation(u"ai_1"_s, 1) });
        QCOMPARE(contentOf(path(u"target"_s)), QByteArray("keep"));
        QVERIFY(!QFileInfo(store.filePath()).isSymLink());
        QCOMPARE(modeOf(store.filePath()), mode_t(0600));
    }

    void saveTightensLooseModes()
    {
        AIConversationStore store(path(u"data/ai-conversations.json"_s));
        QVERIFY(QDir().mkpath(path(u"data"_s)));
        QVERIFY(::chmod(QFile::encodeName(path(u"data"_s)).constData(), 0755) == 0);
        QVERIFY(writeFile(store.filePath(), "[]"));
        QVERIFY(::chmod(QFile::encodeName(store.filePath()).constData(), 0666) == 0);
        const mode_t oldMask = ::umask(0);
        save(store, { conversation(u"ai_1"_s, 1) });
        ::umask(oldMask);
        QCOMPARE(modeOf(path(u"data"_s)), mode_t(0700));
        QCOMPARE(modeOf(store.filePath()), mode_t(0600));
    }

    void failedSaveKeepsOldContentAndLeavesNoTemporaryFile()
    {
        AIConversationStore store(path(u"data/ai-conversations.json"_s));
        const QList<AIConversation> old { conversation(u"ai_old"_s, 1) };
        save(store, old);
        const QByteArray before = contentOf(store.filePath());
        const QList<AIConversation> large { conversation(u"ai_new"_s, 2, 200) };

        // Writing fails part-way: the file-size limit stops the write after a
        // few bytes (and the signal it raises is ignored, so write fails).
        rlimit saved {};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = 100;
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
        const QString writeFailure = failureOf([&] { save(store, large); });
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &saved) == 0);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(!writeFailure.isEmpty());
        QCOMPARE(contentOf(store.filePath()), before);
        QCOMPARE(QDir(path(u"data"_s)).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList { u"ai-conversations.json"_s });

        // The rename fails: the file in place may not be replaced.
        if (!setImmutable(store.filePath(), true))
            QSKIP("the immutable attribute cannot be set here (needs root and a file system that has it)");
        const QString renameFailure = failureOf([&] { save(store, large); });
        QVERIFY(setImmutable(store.filePath(), false));
        QVERIFY(!renameFailure.isEmpty());
        QCOMPARE(contentOf(store.filePath()), before);
        QCOMPARE(QDir(path(u"data"_s)).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList { u"ai-conversations.json"_s });
        QCOMPARE(load(store), old);
    }

    // As a user without privileges: a file the user cannot read is never
    // saved over. It is moved aside when the folder lets it go; when it cannot
    // be moved (not even by a save, which makes the user's folder writable
    // again), the load and every save fail naming it, and it stays as it was.
    void unprivilegedUserNeverSavesOverAnUnreadableFile_data()
    {
        QTest::addColumn<bool>("ownedByUser");
        QTest::addColumn<mode_t>("folderMode");
        QTest::addColumn<bool>("immutable");
        QTest::addColumn<QByteArray>("loaded");
        QTest::addColumn<QByteArray>("saved");
        QTest::newRow("no read permission")
            << true << mode_t(0700) << false << QByteArray("set-aside") << QByteArray("saved");
        QTest::newRow("another user's file")
            << false << mode_t(0700) << false << QByteArray("set-aside") << QByteArray("saved");
        QTest::newRow("folder not writable")
            << true << mode_t(0500) << false << QByteArray("unreadable") << QByteArray("saved");
        QTest::newRow("cannot be moved") << true << mode_t(0700) << true << QByteArray("unreadable")
                                         << QByteArray("unreadable");
    }
    void unprivilegedUserNeverSavesOverAnUnreadableFile()
    {
        QFETCH(bool, ownedByUser);
        QFETCH(mode_t, folderMode);
        QFETCH(bool, immutable);
        QFETCH(QByteArray, loaded);
        QFETCH(QByteArray, saved);
        if (::geteuid() != 0)
            QSKIP("needs root to hand the files to an unprivileged user and run the store as that user");
        const passwd *nobody = ::getpwnam("nobody");
        const group *nogroup = ::getgrnam("nogroup");
        if (!nobody || !nogroup || QStandardPaths::findExecutable(u"setpriv"_s).isEmpty())
            QSKIP("needs the user nobody, the group nogroup and setpriv");

        // The user's own data folder, holding a file it may not read.
        QVERIFY(::chmod(QFile::encodeName(m_dir->path()).constData(), 0711) == 0);
        const QString folder = path(u"Quarn Mail"_s);
        const QString file = folder + u"/ai-conversations.json"_s;
        QVERIFY(QDir().mkpath(folder));
        const QByteArray stored = encodeJson(QList<AIConversation> { conversation(u"ai_kept"_s, 1, 2) });
        QVERIFY(writeFile(file, stored));
        QVERIFY(::chmod(QFile::encodeName(file).constData(), ownedByUser ? 0000 : 0600) == 0);
        if (ownedByUser)
            QVERIFY(::chown(QFile::encodeName(file).constData(), nobody->pw_uid, nogroup->gr_gid) == 0);
        QVERIFY(::chown(QFile::encodeName(folder).constData(), nobody->pw_uid, nogroup->gr_gid) == 0);
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), folderMode) == 0);
        if (immutable && !setImmutable(file, true))
            QSKIP("the immutable attribute cannot be set here (needs a file system that has it)");
        m_immutable = immutable ? file : QString();

        const auto asNobody = [&](const QString &action) {
            QProcess child;
            child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            child.start(u"setpriv"_s,
                { u"--reuid=%1"_s.arg(nobody->pw_uid), u"--regid=%1"_s.arg(nogroup->gr_gid), u"--clear-groups"_s,
                    u"--"_s, QCoreApplication::applicationFilePath(), u"--store-child"_s, action, file });
            if (!child.waitForFinished(30'000)) {
                child.kill();
                child.waitForFinished(10'000);
            }
            return QString::fromUtf8(child.readAllStandardOutput()).split(u'\n');
        };
        const QStringList load = asNobody(u"load"_s);
        QCOMPARE(load.value(0).toUtf8(), loaded);
        if (loaded == "unreadable") {
            QVERIFY2(load.value(1).contains(file), qPrintable(load.value(1)));
            QVERIFY(load.value(1).contains(u"上書きしない"_s));
            QCOMPARE(contentOf(file), stored);
        }
        const QStringList save = asNobody(u"save"_s);
        QCOMPARE(save.value(0).toUtf8(), saved);

        const QStringList aside
            = QDir(folder).entryList({ u"ai-conversations.unreadable-*"_s }, QDir::Files | QDir::Hidden);
        if (saved == "saved") {
            // Set aside with its content, by the load or by the save.
            QCOMPARE(aside.size(), 1);
            QCOMPARE(contentOf(folder + u'/' + aside.constFirst()), stored);
            QCOMPARE(contentOf(file), encodeJson(QList<AIConversation> { conversation(u"ai_child"_s, 3) }));
        } else {
            QVERIFY2(save.value(1).contains(file), qPrintable(save.value(1)));
            QVERIFY(aside.isEmpty());
            QCOMPARE(contentOf(file), stored);
            QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                QStringList { u"ai-conversations.json"_s });
        }
    }

    // A save killed mid-write leaves its temporary file, a full copy of the
    // conversations; the next load or save clears such files away, and
    // nothing else.
    void staleTemporaryFilesAreRemoved_data()
    {
        QTest::addColumn<bool>("bySave");
        QTest::newRow("by the next load") << false;
        QTest::newRow("by the next save") << true;
    }

    void staleTemporaryFilesAreRemoved()
    {
        QFETCH(bool, bySave);
        AIConversationStore store(path(u"data/ai-conversations.json"_s));
        const QList<AIConversation> list { conversation(u"ai_1"_s, 5, 3) };
        save(store, list);
        const QByteArray copy = contentOf(store.filePath());
        const QStringList stale { u".ai-conversations.json.tmp-AbC123"_s, u".ai-conversations.json.tmp-zz9999"_s };
        for (const QString &name : stale)
            QVERIFY(writeFile(path(u"data/"_s + name), copy));
        const QStringList kept { u".ai-conversations.json.tmp-short"_s, u".other.json.tmp-AbC123"_s,
            u".ai-conversations.json.tmp-DIR123"_s, u".ai-conversations.json.tmp-LNK123"_s, u"notes.txt"_s };
        QVERIFY(writeFile(path(u"data/.ai-conversations.json.tmp-short"_s), "x"));
        QVERIFY(writeFile(path(u"data/.other.json.tmp-AbC123"_s), "x"));
        QVERIFY(QDir().mkdir(path(u"data/.ai-conversations.json.tmp-DIR123"_s)));
        QVERIFY(writeFile(path(u"data/notes.txt"_s), "x"));
        QVERIFY(QFile::link(path(u"data/notes.txt"_s), path(u"data/.ai-conversations.json.tmp-LNK123"_s)));

        if (bySave)
            save(store, list);
        else
            QCOMPARE(load(store), list);

        QStringList expected = kept;
        expected.append(u"ai-conversations.json"_s);
        expected.sort();
        QStringList left
            = QDir(path(u"data"_s)).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System);
        left.sort();
        QCOMPARE(left, expected);
        QCOMPARE(contentOf(path(u"data/notes.txt"_s)), QByteArray("x"));
    }

    void saveFailsWhenTheFolderCannotBeMade()
    {
        QVERIFY(writeFile(path(u"plain-file"_s), "x"));
        AIConversationStore store(path(u"plain-file/sub/ai-conversations.json"_s));
        QVERIFY(!failureOf([&] { save(store, {}); }).isEmpty());
        QCOMPARE(contentOf(path(u"plain-file"_s)), QByteArray("x"));
    }

    void defaultFileIsInTheApplicationFolderAndOtherStoresNeverTouchIt()
    {
        const QByteArray oldData = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", QFile::encodeName(path(u"xdg"_s)));
        const QString defaultPath = AIConversationStore::defaultFilePath();
        AIConversationStore defaultStore;
        AIConversationStore other(path(u"other/ai-conversations.json"_s));
        save(other, { conversation(u"ai_1"_s, 1) });
        if (oldData.isNull())
            qunsetenv("XDG_DATA_HOME");
        else
            qputenv("XDG_DATA_HOME", oldData);

        QCOMPARE(defaultPath, path(u"xdg/Quarn Mail/ai-conversations.json"_s));
        QCOMPARE(defaultStore.filePath(), defaultPath);
        QVERIFY(!QFileInfo::exists(path(u"xdg"_s)));
        QCOMPARE(ids(load(other)), QStringList { u"ai_1"_s });
    }

    void operationsRunInTheOrderTheyWereStarted()
    {
        // A load started right after a save, before the save is awaited, sees
        // the saved list: the worker runs them one after the other.
        AIConversationStore store(path(u"ai-conversations.json"_s));
        auto both = [](AIConversationStore &s) -> QCoro::Task<QList<AIConversation>> {
            auto first = s.save({ conversation(u"ai_1"_s, 1, 500) });
            auto second = s.save({ conversation(u"ai_2"_s, 2) });
            auto loaded = s.load();
            co_await std::move(first);
            co_await std::move(second);
            co_return co_await std::move(loaded);
        };
        QCOMPARE(ids(blockOn(both(store))), QStringList { u"ai_2"_s });
    }
};

// The test itself, or, with "--store-child <load|save> <file>", one store
// operation for the test that started it as another user.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 4 && std::strcmp(argv[1], "--store-child") == 0)
        return runStoreChild(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    TestAIConversationStore test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "test_aiconversationstore.moc"
