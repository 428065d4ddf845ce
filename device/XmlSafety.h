#pragma once
// The look that an XML file from the working folder gets before any reader
// expands a byte of it: `aging/config.xml` and the descriptions of the `xml`
// folder, which every start reads, whoever left them there.
//
// A declared entity may stand for thousands of characters and be referred to
// thousands of times, so that a file of a few kilobytes expands to gigabytes
// in every pass over it. None of these files needs one, so a file that
// declares any entity is refused. What is left, the five predefined entities
// and character references, stands for one character each: the text a reader
// makes of an accepted file is never longer than the file, and the bound of
// its size bounds its expanded text too.

#include <QByteArray>
#include <QString>
#include <QXmlStreamReader>

class QIODevice;

namespace xml_safety {

// Reads the rest of `file` into `*bytes`, as its open mode gives it (in text
// mode without carriage returns), reading no more than one byte past `limit`
// bytes of the file. False when the file holds more than `limit` bytes.
bool readBounded(QIODevice &file, qint64 limit, QByteArray *bytes);

// The reason given for a file of more than `limit` bytes.
QString largerThan(qint64 limit);

enum class Prologue {
    Root,    // at the root element's start
    Broken,  // the document ended or was not well-formed before it: the reader's error
    Refused, // it declares entities: an error raised on the reader says so, where
};

// Reads `xml` up to the start of its root element, through at most one
// document type declaration. A declaration that declares entities (general or
// parameter, internal or external) stops the reading at once, before anything
// refers to them: the root's attributes are not read.
Prologue readToRoot(QXmlStreamReader &xml);

} // namespace xml_safety
