#pragma once
// The text form of a successful script record, for people: a fixed layout per
// command and an indented generic layout for anything else. Layouts read only
// the keys they name; a missing or mistyped value reads as empty, 0 or false.
// Lines are separated by "\n" and the text always ends with one.

#include "script/ScriptResult.h"

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

namespace script {

QString formatText(const ScriptResult &record);
// "ID <id>[: <model>][ (model <number>[, firmware <version>])]"
QString deviceLine(const QVariantMap &device);
// An item's display value (or raw value), then " <unit>" when it has one.
QString valueText(const QVariantMap &item);
// Booleans as "yes"/"no", string lists joined by ", ", the rest as text.
QString variantText(const QVariant &value);
// Appends "key: value" lines, nested maps and lists indented two blanks a level.
void prettyPrint(QStringList &lines, const QString &key, const QVariant &value, int depth);

} // namespace script
