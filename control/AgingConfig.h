#pragma once
// The options of multi-aging, the multi-graph and the CSV graph log, read
// from "aging/config.xml" under the working folder. Without the file every
// option keeps its default.

#include "comm/QvxRecords.h"

#include <QList>
#include <QString>

// One item the multi-graph samples.
struct GraphReadItem
{
    QString color; // a colour text, written unchanged into the CSV header
    int id = -1;   // servo ID
    QString name;  // control-table item name, matched exactly
    int yAxis = 0; // axis number, written unchanged into the CSV header
};

struct AgingConfig
{
    // The servo IDs a file may list: a larger idCount is cut to this.
    static constexpr int kMaxIdCount = 253;

    qvx::MultiAgingOption multiAgingOption;
    QList<GraphReadItem> graphItems;
    quint32 multiGraphInterval = 10; // ms between two multi-graph reads
    int loggingInterval = 1000;      // ms between two CSV rows

    // The file's place under `workingFolder`.
    static QString path(const QString &workingFolder);
    // Reads the file at `path` into the options, with an information line
    // first and an error line for a file that cannot be read, parsed or has
    // another root element (the options stay as they were then). No file: nothing.
    void load(const QString &path);
};
