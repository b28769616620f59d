#pragma once

#include <QList>
#include <QPair>
#include <QString>

// Text that goes into markup or script built by the program. Values are never pasted in
// raw: they are escaped for the place they go.
namespace TSMarkup {

// Escapes a text for an HTML attribute value quoted with ' or ": & ' " < > become character
// references, so the parsed attribute holds the text exactly and cannot end the attribute
// or the element.
QString AttributeEscape(const QString& sText);

// The markup of a form's hidden fields, in the order given, with nothing between them:
// <input type='hidden' name='NAME' value='VALUE'> for each (name, value) pair, name and value
// escaped.
QString HiddenFields(const QList<QPair<QString, QString>>& fields);

// A JSON (and JavaScript) string literal holding the text exactly, quotes included. Every
// UTF-16 unit outside printable ASCII, and " and \, is written as an escape, so the literal
// is plain ASCII and keeps even unpaired surrogates.
QString JsStringLiteral(const QString& sText);

} // namespace TSMarkup
