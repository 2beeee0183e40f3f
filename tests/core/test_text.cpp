#include "core/text.h"

#include <QTest>

class TestText : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void graphemeCount_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qsizetype>("count");
        QTest::newRow("empty") << QString() << qsizetype(0);
        QTest::newRow("ascii") << QStringLiteral("abc") << qsizetype(3);
        QTest::newRow("combining mark") << QStringLiteral("e\u0301x") << qsizetype(2);
        QTest::newRow("CR LF is one") << QStringLiteral("a\r\nb") << qsizetype(3);
        QTest::newRow("surrogate pair") << QStringLiteral("\U0001F600!") << qsizetype(2);
        QTest::newRow("japanese") << QStringLiteral("日本語") << qsizetype(3);
    }
    void graphemeCount()
    {
        QFETCH(QString, text);
        QFETCH(qsizetype, count);
        QCOMPARE(quarn::text::graphemeCount(text), count);
    }

    void graphemePrefix_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qsizetype>("count");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("shorter") << QStringLiteral("ab") << qsizetype(5) << QStringLiteral("ab");
        QTest::newRow("zero") << QStringLiteral("ab") << qsizetype(0) << QString();
        QTest::newRow("keeps mark") << QStringLiteral("e\u0301e\u0301") << qsizetype(1) << QStringLiteral("e\u0301");
        QTest::newRow("keeps pair") << QStringLiteral("\U0001F600\U0001F600") << qsizetype(1)
                                    << QStringLiteral("\U0001F600");
    }
    void graphemePrefix()
    {
        QFETCH(QString, text);
        QFETCH(qsizetype, count);
        QFETCH(QString, prefix);
        QCOMPARE(quarn::text::graphemePrefix(text, count), prefix);
    }

    void graphemeSuffix_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qsizetype>("count");
        QTest::addColumn<QString>("suffix");
        QTest::newRow("shorter") << QStringLiteral("ab") << qsizetype(5) << QStringLiteral("ab");
        QTest::newRow("zero") << QStringLiteral("ab") << qsizetype(0) << QString();
        QTest::newRow("keeps mark") << QStringLiteral("e\u0301e\u0301") << qsizetype(1) << QStringLiteral("e\u0301");
        QTest::newRow("keeps CR LF") << QStringLiteral("a\r\n") << qsizetype(1) << QStringLiteral("\r\n");
    }
    void graphemeSuffix()
    {
        QFETCH(QString, text);
        QFETCH(qsizetype, count);
        QFETCH(QString, suffix);
        QCOMPARE(quarn::text::graphemeSuffix(text, count), suffix);
    }

    void trimmedCoversUnicodeSpace()
    {
        QCOMPARE(quarn::text::trimmed(QStringLiteral("\u3000\u2028 a b\t\r\n\u0085")), QStringLiteral("a b"));
        QVERIFY(quarn::text::isWhiteSpace(U'\u3000'));
        QVERIFY(!quarn::text::isWhiteSpace(U'a'));
    }
};

QTEST_GUILESS_MAIN(TestText)
#include "test_text.moc"
