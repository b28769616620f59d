// The four local pages as the browser pane shows them: each loads from its own file alone, in
// UTF-8, without scripts, with links that lead somewhere, and without sideways scrolling at the
// window's initial size.
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
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
    // scripts, event handlers and anything embedded or fetched
    active: document.querySelectorAll('script, noscript, [src], link, iframe, object, embed, img, base').length +
            all.filter(e => [...e.attributes].some(a => a.name.startsWith('on'))).length,
    links: [...document.querySelectorAll('[href]')].map(e => e.getAttribute('href')),
    ids: all.filter(e => e.id).map(e => e.id),
    width: document.documentElement.scrollWidth + ' within ' + document.documentElement.clientWidth,
    wide: !(document.documentElement.scrollWidth <= document.documentElement.clientWidth &&
            document.documentElement.clientWidth > 0),
    text: document.body.innerText
  });
})()
)JS";

QString pagePath(const QString& page) {
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + page;
}

} // namespace

class TestPages : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void page_data() {
        QTest::addColumn<QString>("page");
        for (const QString& page : kPages)
            QTest::newRow(qPrintable(page)) << page;
    }

    void page() {
        QFETCH(QString, page);
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

        // The page declares UTF-8 itself (a local file has no header to say so) and decodes cleanly.
        QCOMPARE(survey[QLatin1String("charset")].toString(), QStringLiteral("UTF-8"));
        QVERIFY(!survey[QLatin1String("text")].toString().contains(QChar::ReplacementCharacter));
        QVERIFY(survey[QLatin1String("title")].toString().startsWith(QLatin1String("Tessaro")));
        QCOMPARE(survey[QLatin1String("active")].toInt(), 0);
        for (const QUrl& requested : recorder.urls)
            QVERIFY2(requested == url, qPrintable(requested.toString()));

        // A link goes to a place on the same page or to another of the local pages.
        const QVariantList ids = survey[QLatin1String("ids")].toArray().toVariantList();
        for (const QJsonValue& value : survey[QLatin1String("links")].toArray()) {
            const QString href = value.toString();
            QVERIFY2(href.startsWith(QLatin1Char('#')) ? ids.contains(href.mid(1)) : kPages.contains(href),
                     qPrintable(href));
        }

        QVERIFY2(!survey[QLatin1String("wide")].toBool(),
                 qPrintable(survey[QLatin1String("width")].toString()));
    }

    // The help page explains each error page by the heading the user sees on it.
    void helpNamesTheErrorPages() {
        auto read = [](const QString& page) {
            QFile file(pagePath(page));
            const QString text =
                file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
            return text.simplified();
        };
        const QString help = read(kPages[1]);
        static const QRegularExpression h1(QStringLiteral("<h1[^>]*>(.*?)</h1>"));
        for (const QString& page : {kPages[2], kPages[3]}) {
            const QRegularExpressionMatch heading = h1.match(read(page));
            QVERIFY2(heading.hasMatch() && help.contains(heading.captured(1)), qPrintable(page));
        }
    }
};

QTEST_MAIN(TestPages)
#include "test_pages.moc"
