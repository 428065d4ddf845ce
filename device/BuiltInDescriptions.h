#pragma once
// The index of the built-in descriptions, made when the program is built from
// the same files it carries: the registry takes their keys from here instead
// of reading every file at start.

#include <QtGlobal>

struct QvxBuiltInDescription
{
    const char *fileName; // in kBuiltInDescriptionFolder
    quint16 modelNumber;
    int minimumVersion;
};

inline constexpr char kBuiltInDescriptionFolder[] = ":/device/assets/xml";

extern const QvxBuiltInDescription kBuiltInDescriptions[];
extern const int kBuiltInDescriptionCount;
