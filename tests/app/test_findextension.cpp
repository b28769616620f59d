#include "app/FindExtension.h"

#include <QTest>

class TestFindExtension : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void extension_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        const char* const rows[][2] = {
            {"report.doc", "doc"},
            {"archive.tar.gz", "gz"},
            {"a.b", "b"},
            {"abc", ""},
            {"ab", ""},
            {"", ""},
            {".", ""},
            {"..", ""},
            {"...", "."},
            {"name.", ""},
            {".profile", ""},
            {"x.y.", "y."},
            {"a..b", "b"},
            {"dir.x\\file", "x\\file"},
            {"dir.x/file", "x/file"},
            {"report.doc.p7s", "p7s"},
            {"a.p7s", "p7s"},
            {".p7s", ""},
        };
        for (const auto& [name, expected] : rows)
            QTest::newRow(name[0] ? name : "(empty)")
                << QString::fromUtf8(name) << QString::fromUtf8(expected);
        // Non-ASCII names and characters outside the basic plane count as UTF-16 code units.
        QTest::newRow("non-ascii") << QStringLiteral("Résumé – 履歴書.doc") << QStringLiteral("doc");
        QTest::newRow("surrogates") << QString::fromUtf8("\xF0\x9F\x93\x84.txt") << QStringLiteral("txt");
    }
    void extension() {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        const QString before = name;
        QCOMPARE(FindExtension(name), expected);
        QCOMPARE(name, before);
    }
};

QTEST_APPLESS_MAIN(TestFindExtension)
#include "test_findextension.moc"
