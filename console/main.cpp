#include "platform/OutputSink.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zephlet-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.18.3"));
    platform::OutputSink::write(QStringLiteral("zephlet-cli %1: the console is not available yet.\n")
                                    .arg(QCoreApplication::applicationVersion()));
    return 1;
}
