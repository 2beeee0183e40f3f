#include "account/devicecredentialstore.h"
#include "core/blocking.h"
#include "platform/filesecurity.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <functional>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using Kind = quarn::CredentialStoreError::Kind;

namespace {

constexpr uid_t kOtherUser = 65534;

// 52 characters, the form the service hands out.
const QString kToken = u"tok_mail_0123456789abcdefghijklmnopqrstuvwxyzABCDEFG"_s;
const QString kOtherToken = u"tok_mail_ZYXWVUTSRQPONMLKJIHGFEDCBAzyxwvutsrqponmlkj"_s;
const QString kThirdToken = u"tok_mail_AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"_s;

mode_t permissionsOf(const QString &path)
{
    struct stat st
    {
    };
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return 07777;
    return st.st_mode & 07777;
}

void writeFile(const QString &path, const QByteArray &content, mode_t mode = 0600)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(file.errorString()));
    QCOMPARE(file.write(content), content.size());
    file.close();
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode), 0);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "<unreadable>";
    return file.readAll();
}

void makeDirectory(const QString &path, mode_t mode)
{
    QVERIFY(QDir().mkpath(path));
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode), 0);
}

void makeLink(const QString &target, const QString &link)
{
    QCOMPARE(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()), 0);
}

void changeOwner(const QString &path, uid_t owner)
{
    QCOMPARE(::lchown(QFile::encodeName(path).constData(), owner, gid_t(-1)), 0);
}

/// Runs `operation` and answers the kind of CredentialStoreError it threw.
std::optional<Kind> storeErrorOf(const std::function<void()> &operation)
{
    try {
        operation();
    } catch (const quarn::CredentialStoreError &e) {
        return e.kind();
    }
    return std::nullopt;
}

} // namespace

class TestDeviceCredentialStore : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    int m_case = 0;

    /// A folder path that does not exist yet, below a parent that does not
    /// exist either.
    QString freshDirectory() { return m_root.path() + u"/case"_s + QString::number(++m_case) + u"/share/Quarn Mail"_s; }

    /// An existing private folder for cases that start with one.
    QString preparedDirectory()
    {
        const QString dir = freshDirectory();
        makeDirectory(dir, 0700);
        return dir;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        if (::getuid() != 0)
            QSKIP("ownership cases chown their fixtures and need root");
    }

    void cleanup() { quarn::platform::testing::setBeforeOpenHook({}); }

    void firstSaveCreatesPrivateFolderAndFile()
    {
        const QString dir = freshDirectory();
        const quarn::DeviceCredentialStore store(dir);
        QCOMPARE(store.load(), std::nullopt);
        QVERIFY(!QFileInfo::exists(dir));

        store.save(kToken);

        QCOMPARE(permissionsOf(dir), mode_t(0700));
        QCOMPARE(permissionsOf(store.tokenPath()), mode_t(0600));
        QCOMPARE(store.tokenPath(), dir + u"/device-token"_s);
        QCOMPARE(readFile(store.tokenPath()), kToken.toUtf8());
        QCOMPARE(store.load(), std::optional<QString>(kToken));

        store.save(kOtherToken);
        QCOMPARE(store.load(), std::optional<QString>(kOtherToken));
    }

    void saveRefusesMalformedTokensBeforeTouchingDisk_data()
    {
        QTest::addColumn<QString>("token");
        QTest::newRow("51 characters") << kToken.left(51);
        QTest::newRow("53 characters") << kToken + u'x';
        QTest::newRow("prefix without underscore, 52 characters") << u"tok_mail"_s + kToken.mid(9) + u'x';
        QTest::newRow("empty") << QString();
        QTest::newRow("trailing line feed") << kToken + u'\n';
        QTest::newRow("trailing blank") << kToken + u' ';
        QTest::newRow("combining mark joins the prefix underscore") << u"tok_mail_\u0301"_s + kToken.mid(10);
        QTest::newRow("lone surrogate") << kToken.left(51) + QChar(0xD800);
    }

    void saveRefusesMalformedTokensBeforeTouchingDisk()
    {
        QFETCH(QString, token);
        const QString dir = freshDirectory();
        const quarn::DeviceCredentialStore store(dir);
        QCOMPARE(storeErrorOf([&] { store.save(token); }), Kind::invalidToken);
        QVERIFY2(!QFileInfo::exists(dir) && !QFileInfo::exists(QFileInfo(dir).path()), "the folder was prepared");
    }

    void saveCountsUserPerceivedCharacters()
    {
        // 43 characters after the prefix, each "e" plus a combining accent.
        QString token = u"tok_mail_"_s;
        for (int i = 0; i < 43; ++i)
            token += u"e\u0301"_s;
        const quarn::DeviceCredentialStore store(freshDirectory());
        store.save(token);
        QCOMPARE(readFile(store.tokenPath()), token.toUtf8());
    }

    void loadValidatesContent_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("valid");

        const QByteArray token = kToken.toUtf8();
        QTest::newRow("token") << token << true;
        // 52 characters in exactly 128 bytes: 9 + 38 * 3 + 5.
        const QByteArray at128 = "tok_mail_" + QString(38, QChar(0x3042)).toUtf8() + "abcde";
        QCOMPARE(at128.size(), qsizetype(128));
        QTest::newRow("128 bytes, 52 characters") << at128 << true;
        // 52 characters in 129 bytes: refused by size alone.
        const QByteArray at129 = "tok_mail_" + QString(38, QChar(0x3042)).toUtf8()
            + "\xc3\xa9"
              "abcd";
        QCOMPARE(at129.size(), qsizetype(129));
        QTest::newRow("129 bytes, 52 characters") << at129 << false;
        QTest::newRow("trailing line feed") << token + '\n' << false;
        QTest::newRow("trailing CR LF") << token + "\r\n" << false;
        QTest::newRow("51 characters") << token.left(51) << false;
        QTest::newRow("53 characters") << token + 'x' << false;
        QTest::newRow("prefix without underscore") << "tok_mail" + token.mid(9) + 'x' << false;
        QTest::newRow("not UTF-8") << token.left(51) + '\xff' << false;
        QTest::newRow("byte order mark") << "\xef\xbb\xbf" + token << false;
        QTest::newRow("empty") << QByteArray() << false;
    }

    void loadValidatesContent()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, valid);
        const quarn::DeviceCredentialStore store(preparedDirectory());
        writeFile(store.tokenPath(), content);

        if (valid) {
            QCOMPARE(store.load(), std::optional<QString>(QString::fromUtf8(content)));
        } else {
            QCOMPARE(storeErrorOf([&] { (void)store.load(); }), Kind::invalidToken);
            QCOMPARE(readFile(store.tokenPath()), content);
        }
    }

    void loadChecksTheFileItself_data()
    {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("mode 0600") << u"0600"_s << true;
        QTest::newRow("mode 0400") << u"0400"_s << true;
        QTest::newRow("mode 0640") << u"0640"_s << false;
        QTest::newRow("mode 0604") << u"0604"_s << false;
        QTest::newRow("mode 0620") << u"0620"_s << false;
        QTest::newRow("owned by another user") << u"other-owner"_s << false;
        QTest::newRow("link to a private token file") << u"link"_s << false;
        QTest::newRow("folder named device-token") << u"folder"_s << false;
        QTest::newRow("fifo") << u"fifo"_s << false;
    }

    void loadChecksTheFileItself()
    {
        QFETCH(QString, shape);
        QFETCH(bool, accepted);
        const quarn::DeviceCredentialStore store(preparedDirectory());
        const QString path = store.tokenPath();
        const QByteArray content = kToken.toUtf8();

        if (shape.startsWith(u'0')) {
            writeFile(path, content, mode_t(shape.toUInt(nullptr, 8)));
        } else if (shape == u"other-owner"_s) {
            writeFile(path, content);
            changeOwner(path, kOtherUser);
        } else if (shape == u"link"_s) {
            const QString target = store.directory() + u"/elsewhere"_s;
            writeFile(target, content);
            makeLink(target, path);
        } else if (shape == u"folder"_s) {
            makeDirectory(path, 0700);
        } else if (shape == u"fifo"_s) {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        }
        const mode_t modeBefore = permissionsOf(path);

        if (accepted) {
            QCOMPARE(store.load(), std::optional<QString>(kToken));
        } else {
            QCOMPARE(storeErrorOf([&] { (void)store.load(); }), Kind::unsafeStorage);
            QCOMPARE(permissionsOf(path), modeBefore); // never repaired on load
        }
    }

    void loadWithoutFileReturnsNothing_data()
    {
        QTest::addColumn<bool>("danglingLink");
        QTest::newRow("no file") << false;
        QTest::newRow("link whose target is missing") << true;
    }

    void loadWithoutFileReturnsNothing()
    {
        QFETCH(bool, danglingLink);
        const quarn::DeviceCredentialStore store(preparedDirectory());
        if (danglingLink)
            makeLink(store.directory() + u"/missing"_s, store.tokenPath());
        QCOMPARE(store.load(), std::nullopt);
    }

    void saveChecksTheFolder_data()
    {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("own folder open to group and others") << u"0755"_s << true;
        QTest::newRow("own folder with mode 0777") << u"0777"_s << true;
        QTest::newRow("link to an own folder") << u"link"_s << false;
        QTest::newRow("folder of another user") << u"other-owner"_s << false;
        QTest::newRow("regular file") << u"file"_s << false;
    }

    void saveChecksTheFolder()
    {
        QFETCH(QString, shape);
        QFETCH(bool, accepted);
        const QString dir = freshDirectory();
        const QString elsewhere = dir + u".real"_s;
        if (shape.startsWith(u'0')) {
            makeDirectory(dir, mode_t(shape.toUInt(nullptr, 8)));
        } else if (shape == u"link"_s) {
            makeDirectory(elsewhere, 0700);
            makeLink(elsewhere, dir);
        } else if (shape == u"other-owner"_s) {
            makeDirectory(dir, 0700);
            changeOwner(dir, kOtherUser);
        } else if (shape == u"file"_s) {
            QVERIFY(QDir().mkpath(QFileInfo(dir).path()));
            writeFile(dir, "not a folder");
        }

        const quarn::DeviceCredentialStore store(dir);
        if (accepted) {
            store.save(kToken);
            QCOMPARE(permissionsOf(dir), mode_t(0700));
            QCOMPARE(readFile(store.tokenPath()), kToken.toUtf8());
        } else {
            QCOMPARE(storeErrorOf([&] { store.save(kToken); }), Kind::unsafeStorage);
            QVERIFY(!QFileInfo::exists(elsewhere + u"/device-token"_s));
            if (shape == u"other-owner"_s)
                QCOMPARE(QDir(dir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
        }
    }

    void saveReplacesAnOpenFileAndTightensItsMode()
    {
        const quarn::DeviceCredentialStore store(preparedDirectory());
        writeFile(store.tokenPath(), QByteArray(100, 'x'), 0644);
        store.save(kToken);
        QCOMPARE(permissionsOf(store.tokenPath()), mode_t(0600));
        QCOMPARE(readFile(store.tokenPath()), kToken.toUtf8());
    }

    // A save that cannot be written to its end (here the file-size limit
    // stops it after a few bytes, as a full disk would) leaves the old token
    // whole, and nothing of the attempt behind.
    void failedSaveKeepsTheOldToken()
    {
        const quarn::DeviceCredentialStore store(preparedDirectory());
        store.save(kToken);

        rlimit saved {};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = 12;
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
        const std::optional<Kind> error = storeErrorOf([&] { store.save(kOtherToken); });
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &saved) == 0);
        std::signal(SIGXFSZ, oldHandler);

        QCOMPARE(error, Kind::io);
        QCOMPARE(store.load(), std::optional<QString>(kToken));
        QCOMPARE(QDir(store.directory()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList { u"device-token"_s });
    }

    void saveRefusesWhatIsNotItsOwnFile_data()
    {
        QTest::addColumn<QString>("shape");
        QTest::newRow("link to a private file") << u"link"_s;
        QTest::newRow("file of another user") << u"other-owner"_s;
        QTest::newRow("fifo without reader") << u"fifo"_s;
        QTest::newRow("folder") << u"folder"_s;
    }

    void saveRefusesWhatIsNotItsOwnFile()
    {
        QFETCH(QString, shape);
        const quarn::DeviceCredentialStore store(preparedDirectory());
        const QString target = store.directory() + u"/target"_s;
        if (shape == u"link"_s) {
            writeFile(target, "untouched");
            makeLink(target, store.tokenPath());
        } else if (shape == u"other-owner"_s) {
            writeFile(store.tokenPath(), "theirs", 0600);
            changeOwner(store.tokenPath(), kOtherUser);
        } else if (shape == u"fifo"_s) {
            QCOMPARE(::mkfifo(QFile::encodeName(store.tokenPath()).constData(), 0600), 0);
        } else if (shape == u"folder"_s) {
            makeDirectory(store.tokenPath(), 0700);
        }

        QCOMPARE(storeErrorOf([&] { store.save(kToken); }), Kind::io);
        if (shape == u"link"_s) {
            QCOMPARE(readFile(target), QByteArray("untouched"));
            QCOMPARE(permissionsOf(target), mode_t(0600));
        }
        if (shape == u"other-owner"_s)
            QCOMPARE(permissionsOf(store.tokenPath()), mode_t(0600));
    }

    void folderThatCannotBeCreatedPassesThePlatformErrorOn()
    {
        const QString blocker = m_root.path() + u"/blocker"_s + QString::number(++m_case);
        writeFile(blocker, "a file where a folder should be");
        const quarn::DeviceCredentialStore store(blocker + u"/Quarn Mail"_s);
        try {
            store.save(kToken);
            QFAIL("save succeeded below a regular file");
        } catch (const quarn::PlatformError &e) {
            QCOMPARE(e.code(), ENOTDIR);
        }
    }

    // The folder passes the link-status check and is then replaced before it
    // is opened: the swapped-in object must not receive the token.
    void folderSwappedAfterTheCheckIsNotFollowed_data()
    {
        QTest::addColumn<QString>("replacement");
        QTest::newRow("link to a folder elsewhere") << u"link"_s;
        QTest::newRow("folder of another user") << u"other-owner"_s;
    }

    void folderSwappedAfterTheCheckIsNotFollowed()
    {
        QFETCH(QString, replacement);
        const QString dir = preparedDirectory();
        const QString attacker = dir + u".attacker"_s;
        makeDirectory(attacker, 0777);
        bool swapped = false;
        quarn::platform::testing::setBeforeOpenHook([&](const QString &path) {
            if (path != dir || swapped)
                return;
            swapped = true;
            QDir().rename(dir, dir + u".moved"_s);
            if (replacement == u"link"_s) {
                (void)::symlink(QFile::encodeName(attacker).constData(), QFile::encodeName(dir).constData());
            } else {
                QDir().mkdir(dir);
                (void)::chown(QFile::encodeName(dir).constData(), kOtherUser, gid_t(-1));
            }
        });

        const quarn::DeviceCredentialStore store(dir);
        QCOMPARE(storeErrorOf([&] { store.save(kToken); }), Kind::unsafeStorage);
        QVERIFY(swapped);
        QVERIFY(!QFileInfo::exists(attacker + u"/device-token"_s));
        QCOMPARE(permissionsOf(attacker), mode_t(0777));
        QVERIFY(!QFileInfo::exists(dir + u"/device-token"_s));
    }

    void fileSwappedBeforeTheReadIsRefused()
    {
        const quarn::DeviceCredentialStore store(preparedDirectory());
        writeFile(store.tokenPath(), kToken.toUtf8());
        const QString planted = store.directory() + u"/planted"_s;
        writeFile(planted, kOtherToken.toUtf8());
        quarn::platform::testing::setBeforeOpenHook([&](const QString &name) {
            if (name != u"device-token"_s)
                return;
            QFile::remove(store.tokenPath());
            (void)::symlink(QFile::encodeName(planted).constData(), QFile::encodeName(store.tokenPath()).constData());
        });
        QCOMPARE(storeErrorOf([&] { (void)store.load(); }), Kind::unsafeStorage);
    }

    void loadChecksTheFolder_data()
    {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<QString>("expected"); // "token", "nothing" or "unsafe"
        QTest::newRow("own folder open to others") << u"0755"_s << u"token"_s;
        QTest::newRow("link to an own folder with a token") << u"link"_s << u"unsafe"_s;
        QTest::newRow("world-writable folder of another user") << u"other-owner"_s << u"unsafe"_s;
        QTest::newRow("regular file in the folder's place") << u"file"_s << u"nothing"_s;
        QTest::newRow("no folder") << u"missing"_s << u"nothing"_s;
    }

    void loadChecksTheFolder()
    {
        QFETCH(QString, shape);
        QFETCH(QString, expected);
        const QString dir = freshDirectory();
        const QString elsewhere = dir + u".real"_s;
        QVERIFY(QDir().mkpath(QFileInfo(dir).path()));
        if (shape == u"0755"_s) {
            makeDirectory(dir, 0755);
            writeFile(dir + u"/device-token"_s, kToken.toUtf8());
        } else if (shape == u"link"_s) {
            makeDirectory(elsewhere, 0700);
            writeFile(elsewhere + u"/device-token"_s, kToken.toUtf8());
            makeLink(elsewhere, dir);
        } else if (shape == u"other-owner"_s) {
            makeDirectory(dir, 0777);
            writeFile(dir + u"/device-token"_s, kToken.toUtf8());
            changeOwner(dir, kOtherUser);
        } else if (shape == u"file"_s) {
            writeFile(dir, kToken.toUtf8());
        }

        const quarn::DeviceCredentialStore store(dir);
        if (expected == u"token"_s)
            QCOMPARE(store.load(), std::optional<QString>(kToken));
        else if (expected == u"nothing"_s)
            QCOMPARE(store.load(), std::nullopt);
        else
            QCOMPARE(storeErrorOf([&] { (void)store.load(); }), Kind::unsafeStorage);
    }

    // The folder is replaced by a link to a folder that someone else prepared
    // just before an open: at the folder's open (after its check) or at the
    // file's open (after the folder was opened). Neither load nor save may
    // then reach the other folder.
    void folderSwappedForALinkBeforeAnOpen_data()
    {
        QTest::addColumn<bool>("save");
        QTest::addColumn<bool>("atFileOpen");
        QTest::newRow("load, before the folder is opened") << false << false;
        QTest::newRow("load, before the file is opened") << false << true;
        QTest::newRow("save, before the folder is opened") << true << false;
        QTest::newRow("save, before the file is opened") << true << true;
    }

    void folderSwappedForALinkBeforeAnOpen()
    {
        QFETCH(bool, save);
        QFETCH(bool, atFileOpen);
        const QString dir = preparedDirectory();
        const quarn::DeviceCredentialStore store(dir);
        writeFile(store.tokenPath(), kToken.toUtf8());
        const QString attacker = dir + u".attacker"_s;
        makeDirectory(attacker, 0777);
        writeFile(attacker + u"/device-token"_s, kOtherToken.toUtf8());
        const QString moved = dir + u".moved"_s;
        bool swapped = false;
        quarn::platform::testing::setBeforeOpenHook([&](const QString &path) {
            const bool point = atFileOpen ? (path == u"device-token"_s || path == store.tokenPath()) : path == dir;
            if (!point || swapped)
                return;
            swapped = true;
            QDir().rename(dir, moved);
            (void)::symlink(QFile::encodeName(attacker).constData(), QFile::encodeName(dir).constData());
        });

        std::optional<QString> loaded;
        const std::optional<Kind> error = storeErrorOf([&] {
            if (save)
                store.save(kThirdToken);
            else
                loaded = store.load();
        });
        QVERIFY(swapped);
        // The other folder's token is never read, and nothing is written there.
        QCOMPARE(readFile(attacker + u"/device-token"_s), kOtherToken.toUtf8());
        QCOMPARE(permissionsOf(attacker), mode_t(0777));
        QVERIFY(loaded != std::optional<QString>(kOtherToken));
        if (atFileOpen) {
            // The folder was already open: the operation went on in it.
            QCOMPARE(error, std::nullopt);
            if (save)
                QCOMPARE(readFile(moved + u"/device-token"_s), kThirdToken.toUtf8());
            else
                QCOMPARE(loaded, std::optional<QString>(kToken));
        } else {
            QCOMPARE(error, Kind::unsafeStorage);
        }
    }

    void asyncOperationsRunOffTheCallerAndKeepErrors()
    {
        const quarn::DeviceCredentialStore store(freshDirectory());
        quarn::blockOn(store.saveAsync(kToken));
        QCOMPARE(quarn::blockOn(store.loadAsync()), std::optional<QString>(kToken));
        QVERIFY_THROWS_EXCEPTION(quarn::CredentialStoreError, quarn::blockOn(store.saveAsync(u"tok_mail_"_s)));
    }

    void errorsDescribeThemselves_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("description");
        QTest::newRow("invalidToken") << Kind::invalidToken << u"Quarnアカウントの認証情報が無効です。"_s;
        QTest::newRow("unsafeStorage") << Kind::unsafeStorage
                                       << u"端末資格情報の保存場所を安全に確認できませんでした。"_s;
        QTest::newRow("io") << Kind::io << u"端末資格情報を保存できませんでした。"_s;
    }

    void errorsDescribeThemselves()
    {
        QFETCH(Kind, kind);
        QFETCH(QString, description);
        const quarn::CredentialStoreError error(kind);
        QCOMPARE(error.description(), description);
        QCOMPARE(quarn::describe(std::make_exception_ptr(error)), description);
        QVERIFY(error == quarn::CredentialStoreError(kind));
        QCOMPARE(qHash(error), qHash(quarn::CredentialStoreError(kind)));
    }
};

QTEST_GUILESS_MAIN(TestDeviceCredentialStore)
#include "test_devicecredentialstore.moc"
