#include "browserhost/TSMarkup.h"

namespace TSMarkup {

QString AttributeEscape(const QString& sText) {
    QString out;
    out.reserve(sText.size() + sText.size() / 8);
    for (const QChar c : sText) {
        switch (c.unicode()) {
        case u'&':
            out += QLatin1String("&amp;");
            break;
        case u'\'':
            out += QLatin1String("&#39;");
            break;
        case u'"':
            out += QLatin1String("&quot;");
            break;
        case u'<':
            out += QLatin1String("&lt;");
            break;
        case u'>':
            out += QLatin1String("&gt;");
            break;
        default:
            out += c;
        }
    }
    return out;
}

QString HiddenFields(const QList<QPair<QString, QString>>& fields) {
    QString out;
    for (const auto& field : fields) {
        out += QLatin1String("<input type='hidden' name='");
        out += AttributeEscape(field.first);
        out += QLatin1String("' value='");
        out += AttributeEscape(field.second);
        out += QLatin1String("'>");
    }
    return out;
}

QString JsStringLiteral(const QString& sText) {
    static const char kHex[] = "0123456789abcdef";
    QString out;
    out.reserve(sText.size() + 2);
    out += QLatin1Char('"');
    for (const QChar c : sText) {
        const char16_t u = c.unicode();
        if (u == u'"' || u == u'\\') {
            out += QLatin1Char('\\');
            out += c;
        } else if (u >= 0x20 && u < 0x7f) {
            out += c;
        } else {
            out += QLatin1String("\\u");
            for (int shift = 12; shift >= 0; shift -= 4)
                out += QLatin1Char(kHex[(u >> shift) & 0xf]);
        }
    }
    out += QLatin1Char('"');
    return out;
}

} // namespace TSMarkup
