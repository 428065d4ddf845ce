#pragma once
// The serial ports the console offers: each with the number in its name, the
// name and a title, sorted by that number; and the reading of the answer to
// the multi-port scan's port question.

#include <QList>
#include <QPair>
#include <QString>

struct PortEntry
{
    int number = 0; // the decimal number in the name (COM12 gives 12); 0 when the rest is not a whole number
    QString name;   // the system's port name
    QString title;  // the name, or "name (description)" when the port has a description
};

// Entries for (name, description) pairs, sorted by number; names without a
// decimal digit are left out.
QList<PortEntry> portEntries(const QList<QPair<QString, QString>> &ports);

// The system's serial ports as entries.
QList<PortEntry> systemPortEntries();

// The ports an answer such as "1,3" or "0" selects from `ports`: "0" selects
// every port (and ends the reading), each other number the port it counts
// from 1 (a port named twice is taken twice). Unreadable parts and numbers
// outside the list are warned about and skipped.
QList<PortEntry> selectPorts(const QString &answer, const QList<PortEntry> &ports);
