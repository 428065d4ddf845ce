// zephlet-sim: serves simulated servos on a pseudo-terminal until it is killed.
// The first line on standard output is the path of the port to open.
#include "platform/OutputSink.h"
#include "tests/sim/SimBus.h"
#include "tests/sim/SimOptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated servo bus on a pseudo-terminal. Prints the port path, then serves until killed."));
    parser.addHelpOption();
    const QCommandLineOption deviceOption(
        QStringLiteral("device"),
        QStringLiteral("A device: id=N,model=N[,fw=N][,protocol=1.0|2.0][,size=N][,baud=N][,mem=ADDR:HEX]"
                       "[,error=N][,delay=MS][,gap=MS][,truncate=N][,noise=HEX][,silent][,corrupt][,omit-data]"
                       "[,boot=0..5|packets][,boot-never][,boot-reject-load][,boot-reject-block][,boot-wrong-sum]"
                       "[,boot-answer=TEXT][,boot-silent-after=N][,boot-nul-echoes=N][,boot-split=MS]."),
        QStringLiteral("keys"));
    const QCommandLineOption logOption(QStringLiteral("log"),
                                       QStringLiteral("Append one line per received instruction to this file."),
                                       QStringLiteral("file"));
    const QCommandLineOption bootNowOption(
        QStringLiteral("in-bootloader"),
        QStringLiteral("The device with this ID starts in its bootloader (as when switched on)."), QStringLiteral("id"));
    const QCommandLineOption bootImageOption(
        QStringLiteral("boot-image"),
        QStringLiteral("Write each image a bootloader received to this file when the device restarts."),
        QStringLiteral("file"));
    parser.addOption(deviceOption);
    parser.addOption(logOption);
    parser.addOption(bootNowOption);
    parser.addOption(bootImageOption);
    parser.process(app);

    sim::SimBus bus;
    if (!bus.isOpen()) {
        std::fprintf(stderr, "zephlet-sim: %s\n", qPrintable(bus.errorString()));
        return 1;
    }
    for (const QString &text : parser.values(deviceOption)) {
        QString error;
        const std::optional<sim::Device> device = sim::parseDevice(text, &error);
        if (!device) {
            std::fprintf(stderr, "zephlet-sim: %s\n", qPrintable(error));
            return 2;
        }
        bus.addDevice(*device);
    }
    if (parser.isSet(logOption) && !bus.setLogFile(parser.value(logOption))) {
        std::fprintf(stderr, "zephlet-sim: cannot open the log file %s\n", qPrintable(parser.value(logOption)));
        return 1;
    }
    if (parser.isSet(bootImageOption))
        bus.setBootImageFile(parser.value(bootImageOption));
    if (parser.isSet(bootNowOption)) {
        bool ok = false;
        const int id = parser.value(bootNowOption).toInt(&ok);
        if (!ok || id < 0 || id > 253 || !bus.startBootloader(static_cast<quint8>(id))) {
            std::fprintf(stderr, "zephlet-sim: no device with a bootloader at ID %s\n",
                         qPrintable(parser.value(bootNowOption)));
            return 2;
        }
    }
    platform::OutputSink::write(bus.portName() + QLatin1Char('\n'));
    return app.exec();
}
