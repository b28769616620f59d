// The four local pages as the browser pane shows them: each loads from its own file alone, in
// UTF-8, without scripts, with links that lead somewhere, and without sideways scrolling at the
// window's initial size.
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStringDecoder>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineView>

namespace {

const QStringList kPages = {QStringLiteral("ts_intro.htm"), QStringLiteral("ts_Help_Contents.htm"),
                            QStringLiteral("ts_noaccess.htm"), QStringLiteral("ts_noregister.htm")};

// Records every address the page asks for.
class RequestRecorder : public QWebEngineUrlRequestInterceptor {
public:
    using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;
    void interceptRequest(QWebEngineUrlRequestInfo& info) override {
        urls.append(info.requestUrl());
        info.block(!info.requestUrl().isLocalFile()); // the test never goes out to the network
    }
    QList<QUrl> urls;
};

// Everything the checks need, gathered in the page in one go.
const char kSurvey[] = R"JS(
(() => {
  const all = [...document.querySelectorAll('*')];
  return JSON.stringify({
    charset: document.characterSet,
    title: document.title,
    scripts: document.querySelectorAll('script, noscript').length,
    handlers: all.filter(e => [...e.attributes].some(a => a.name.startsWith('on'))).length,
    embedded: document.querySelectorAll('[src], link, iframe, object, embed, img, base').length,
    links: [...document.querySelectorAll('[href]')].map(e => e.getAttribute('href')),
    ids: all.filter(e => e.id).map(e => e.id),
    scrollWidth: document.documentElement.scrollWidth,
    clientWidth: document.documentElement.clientWidth,
    text: document.body.innerText
  });
})()
)JS";

QString pagePath(const QString& page) {
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + page;
}

QString normalised(QString text) {
    return text.replace(QRegularExpression(QStringLiteral("\\s+")), " ");
}

} // namespace

class TestPages : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void page_data() {
        QTest::addColumn<QString>("page");
        QTest::addColumn<QString>("inTitle");
        QTest::newRow("introduction") << kPages[0] << QStringLiteral("Tessaro");
        QTest::newRow("help") << kPages[1] << QStringLiteral("Help");
        QTest::newRow("no access") << kPages[2] << QStringLiteral("Tessaro");
        QTest::newRow("no register") << kPages[3] << QStringLiteral("Tessaro");
    }

    void page() {
        QFETCH(QString, page);
        QFETCH(QString, inTitle);

        // The file is UTF-8 and says so itself, so no browser has to guess its encoding.
        QFile file(pagePath(page));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QStringDecoder utf8(QStringDecoder::Utf8);
        const QString source = utf8.decode(bytes);
        QVERIFY(!utf8.hasError());
        const QString head = source.left(source.indexOf(QLatin1String("</head>"), 0, Qt::CaseInsensitive));
        QVERIFY(head.contains(QRegularExpression(QStringLiteral("<meta\\s+charset=\"?utf-8\"?\\s*/?>"),
                                                 QRegularExpression::CaseInsensitiveOption)));

        QWebEngineProfile profile;
        RequestRecorder recorder;
        profile.setUrlRequestInterceptor(&recorder);
        QWebEngineView view;
        auto* webPage = new QWebEnginePage(&profile, &view);
        view.setPage(webPage);
        // Let the page reach out, so that any address it refers to shows up in the recorder.
        webPage->settings()->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, true);
        view.resize(675, 458);
        view.show();
        QSignalSpy loaded(webPage, &QWebEnginePage::loadFinished);
        const QUrl url = QUrl::fromLocalFile(pagePath(page));
        view.load(url);
        QVERIFY(loaded.wait(60000));
        QVERIFY(loaded.first().first().toBool());

        QString json;
        webPage->runJavaScript(QString::fromLatin1(kSurvey),
                               [&json](const QVariant& v) { json = v.toString(); });
        QTRY_VERIFY_WITH_TIMEOUT(!json.isEmpty(), 30000);
        const QJsonObject survey = QJsonDocument::fromJson(json.toUtf8()).object();

        QCOMPARE(survey[QLatin1String("charset")].toString(), QStringLiteral("UTF-8"));
        QVERIFY(!survey[QLatin1String("text")].toString().contains(QChar::ReplacementCharacter));
        const QString title = survey[QLatin1String("title")].toString();
        QVERIFY2(title.contains(inTitle), qPrintable(title));

        QCOMPARE(survey[QLatin1String("scripts")].toInt(), 0);
        QCOMPARE(survey[QLatin1String("handlers")].toInt(), 0);
        QCOMPARE(survey[QLatin1String("embedded")].toInt(), 0);
        for (const QUrl& requested : recorder.urls)
            QVERIFY2(requested == url, qPrintable(requested.toString()));

        // A link goes to a place on the same page or to another of the local pages.
        QStringList ids;
        for (const QJsonValue& id : survey[QLatin1String("ids")].toArray())
            ids << id.toString();
        for (const QJsonValue& value : survey[QLatin1String("links")].toArray()) {
            const QString href = value.toString();
            if (href.startsWith(QLatin1Char('#')))
                QVERIFY2(ids.contains(href.mid(1)), qPrintable(href));
            else
                QVERIFY2(kPages.contains(href), qPrintable(href));
        }

        const int scrollWidth = survey[QLatin1String("scrollWidth")].toInt();
        const int clientWidth = survey[QLatin1String("clientWidth")].toInt();
        QVERIFY2(clientWidth > 0 && scrollWidth <= clientWidth,
                 qPrintable(QStringLiteral("%1 > %2").arg(scrollWidth).arg(clientWidth)));
    }

    // The help page explains each error page by the heading the user sees on it.
    void helpNamesTheErrorPages() {
        auto read = [](const QString& page) {
            QFile file(pagePath(page));
            return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
        };
        const QString help = normalised(read(kPages[1]));
        QVERIFY(!help.isEmpty());
        static const QRegularExpression h1(QStringLiteral("<h1[^>]*>(.*?)</h1>"),
                                           QRegularExpression::DotMatchesEverythingOption);
        for (const QString& page : {kPages[2], kPages[3]}) {
            const QRegularExpressionMatch heading = h1.match(read(page));
            QVERIFY2(heading.hasMatch(), qPrintable(page));
            QVERIFY2(help.contains(normalised(heading.captured(1))), qPrintable(heading.captured(1)));
        }
    }
};

QTEST_MAIN(TestPages)
#include "test_pages.moc"
