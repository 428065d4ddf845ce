#pragma once
// The compact JSON text of a record's values, written in one pass straight
// from the variants: byte for byte what Qt's JSON classes make of them
// (QJsonObject::fromVariantMap, then QJsonDocument::toJson in its compact
// form), with every text, keys included, made displayable first (a lone
// surrogate, an undecodable byte of the user's, becomes U+FFFD). Objects list
// their keys in ascending UTF-16 order, as a QJsonObject does.

#include <QByteArray>
#include <QStringView>
#include <QVariant>
#include <QVariantMap>

namespace script::json {

// A JSON string: quotes, escapes and UTF-8.
void appendString(QByteArray &out, QStringView text);
// Any value of a record's maps.
void appendValue(QByteArray &out, const QVariant &value);
void appendObject(QByteArray &out, const QVariantMap &map);

} // namespace script::json
