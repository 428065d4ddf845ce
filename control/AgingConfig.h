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
    // Bounds of the file, read at every start of both front ends: far above
    // any real configuration, they keep a start short and small whatever the
    // file holds. A file beyond one is refused whole, and so is one that
    // declares entities (xml_safety), which the options need none of.
    static constexpr qint64 kMaxFileBytes = 1024 * 1024;
    static constexpr int kMaxDepth = 64;          // elements nested in each other
    static constexpr qint64 kMaxNodes = 50'000;   // elements and attributes
    static constexpr int kMaxAttributes = 1024;   // of one element
    // Write items times servos: the values the options hold, one per servo
    // of idCount for each item, written in the file or not.
    static constexpr qint64 kMaxWriteValues = 100'000;

    qvx::MultiAgingOption multiAgingOption;
    QList<GraphReadItem> graphItems;
    quint32 multiGraphInterval = 10; // ms between two multi-graph reads
    int loggingInterval = 1000;      // ms between two CSV rows

    // The file's place under `workingFolder`.
    static QString path(const QString &workingFolder);
    // Reads the file at `path` into the options, with an information line
    // first and an error line for a file that cannot be read, parsed or has
    // another root element, and for one that is no regular file, is beyond
    // a bound or declares entities (the options stay as they were then). No
    // file: nothing.
    void load(const QString &path);
};
