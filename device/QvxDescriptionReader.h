#pragma once
// Builds a model from its description file with the streaming XML reader, the
// first time the registry is asked for it.

#include "device/QvxDescriptionHeader.h"
#include "device/QvxDeviceModel.h"

#include <QString>
#include <QStringList>

class QIODevice;

enum class QvxDescriptionRead {
    Built,
    NotDevice,
    NotWellFormed,
    Refused, // beyond a bound of the files read at start (QvxXmlError::refused)
};

// Builds into `model` what `file` describes, with `external` as given. Its items are created on the heap and belong to whoever
// keeps the model (the registry). `names`, when given, collects the names of
// visible plain items, each once. `path` only labels the warnings for runs and
// label lists too long to expand (they are cut, the rest of the file loads).
// When the file is not a well-formed "Device" description, or is refused (more
// than kMaxDescriptionBytes, entity declarations), nothing is kept: no item,
// no name, no warning; `error` (may be null) tells why.
QvxDescriptionRead readDeviceDescription(QIODevice &file, const QString &path, QStringList *names, bool external,
                                         QvxDeviceModel *model, QvxXmlError *error = nullptr);

// Deletes every item of `model`, those a later item hid in the maps included.
void deleteDescriptionItems(const QvxDeviceModel &model);
