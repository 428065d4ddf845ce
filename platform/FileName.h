#pragma once
// Text that came from outside the program (a model name from a description
// file, say) made fit to stand in one file name: it can neither name another
// folder nor break the line a path is printed on.

#include <QString>

namespace platform {

// `text` with every character that cannot stand in one file name here (the
// folder separator, NUL) and every control character (a line break, say)
// replaced by '_'; any other text stays as it is.
QString fileNamePart(const QString &text);

} // namespace platform
