// Script string literals built around values. (Hidden fields are checked where it counts, in the
// browser pane's test: their values arrive at the site exactly as given.)

#include "browserhost/TSMarkup.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

class TestMarkup : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void jsStringLiteralIsExactJson_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << QString();
        QTest::newRow("quotes and backslashes") << QStringLiteral("\"'\\\\\"); alert(1); (\"");
        QTest::newRow("controls") << QString::fromUtf16(u"\0\x01\t\n\r\x1f\x7f", 7);
        QTest::newRow("line separators") << QString::fromUtf16(u"a\u2028b\u2029c");
        QTest::newRow("script end") << QStringLiteral("</script><!--");
        QTest::newRow("non-ASCII") << QStringLiteral("Résumé – 東京 📄");
    }
    void jsStringLiteralIsExactJson() {
        QFETCH(QString, text);
        const QString literal = TSMarkup::JsStringLiteral(text);
        for (const QChar c : literal)
            QVERIFY2(c.unicode() >= 0x20 && c.unicode() < 0x7f, "the literal is printable ASCII");
        // An independent JSON parser reads back exactly the text.
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(("[" + literal + "]").toUtf8(), &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(doc.array().at(0).toString(), text);
    }

    void jsStringLiteralKeepsUnpairedSurrogates() {
        const QString text = QString(QChar(0xd800)) + QLatin1Char('x') + QChar(0xdc00);
        QCOMPARE(TSMarkup::JsStringLiteral(text), QStringLiteral("\"\\ud800x\\udc00\""));
    }
};

QTEST_GUILESS_MAIN(TestMarkup)
#include "test_markup.moc"
