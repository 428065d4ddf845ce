// The interactive console as the program runs it for a bare invocation: the
// application object with the program's name and version, then QvxCommand.
// The console tests run it on a terminal and with piped input.
#include "console/QvxCommand.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zephlet-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.18.3"));
    QvxCommand console;
    return console.run();
}
