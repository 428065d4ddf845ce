#include "licenses/LicenseTexts.h"

#include "platform/OutputSink.h"

#include <QFile>

namespace {

const QString kLicenseResource = QStringLiteral(":/licenses/license.txt");

// The libraries we ship with and their licence; the em dash is U+2014.
QString libraryNotice()
{
    return QStringLiteral("\nThird-party software:\n"
                          "  Qt 6 \u2014 GNU Lesser General Public License v3.0\n"
                          "  Full license text: COPYING.LESSER\n");
}

} // namespace

QString copyrightText()
{
    return QStringLiteral("\u00A9 2026 The zephlet-cli developers\n"
                          "All rights reserved\n"
                          "\n"
                          "This distribution includes Qt 6 libraries licensed under the\n"
                          "GNU Lesser General Public License v3.0.\n"
                          "See COPYING.LESSER for the full license text.\n");
}

QString loadLicenseText(QString *error)
{
    if (error)
        error->clear();
    QFile file(kLicenseResource);
    // Text mode: CR LF line ends read as single line ends.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        if (error)
            *error = QStringLiteral("Failed to load the software license.");
        return {};
    }
    QString text = QString::fromUtf8(file.readAll());
    if (!text.endsWith(QLatin1Char('\n')))
        text += QLatin1Char('\n');
    return text + libraryNotice();
}

void printCopyright()
{
    platform::OutputSink::write(copyrightText());
}

bool printLicense()
{
    QString error;
    const QString text = loadLicenseText(&error);
    if (!error.isEmpty()) {
        platform::ErrorSink::write(error + QLatin1Char('\n'));
        return true;
    }
    platform::OutputSink::write(text);
    return false;
}

int printUpgradeUnsupported(bool checkOnly, const std::function<bool(QString &)> &readLine)
{
    Q_UNUSED(checkOnly)
    Q_UNUSED(readLine)
    platform::OutputSink::write(QStringLiteral("upgrade is only supported on the Linux AppImage build.\n"));
    return 1;
}
