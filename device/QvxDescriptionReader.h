#pragma once
// Turns the "Device" element of one description file into a QvxDeviceModel.

#include "device/QvxDeviceModel.h"

#include <QDomElement>
#include <QString>
#include <QStringList>

// Builds the model described by `device`. Its items are created on the heap and
// belong to whoever keeps the model (the registry). `names`, when given, collects
// the names of visible items, each once. `path` only labels warnings, which are
// given for ranges too long to expand (they are cut, the rest of the file loads).
QvxDeviceModel readDeviceDescription(const QDomElement &device, const QString &path, QStringList *names,
                                     bool external);
