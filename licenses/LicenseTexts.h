#pragma once
// The texts every front end can show: the software licence (a resource,
// followed by a notice on the libraries the program uses), the copyright
// notice, and the answer to "upgrade", which this program does not do.

#include <QString>

#include <functional>

// The copyright notice: six lines, each ended by a line end.
QString copyrightText();
// The licence text with the library notice appended, or empty when the
// resource cannot be read; then *error (when given) says so.
QString loadLicenseText(QString *error = nullptr);

// Write the texts to standard output as UTF-8. printLicense returns true on
// failure, after writing the reason to standard error.
void printCopyright();
bool printLicense();

// Says that upgrading is not supported here and returns 1. `checkOnly` and
// `readLine` (reads one answer line; may be empty) do not change that.
int printUpgradeUnsupported(bool checkOnly, const std::function<bool(QString &)> &readLine);
