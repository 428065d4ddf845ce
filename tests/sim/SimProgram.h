#pragma once
// The simulated servo bus as its own program (zephlet-sim, named by the
// environment variable ZEPHLET_SIM): simulated devices on a pseudo-terminal
// that the program under test opens like a serial adapter, and the log of
// every instruction they received.

#include "tests/support/EndWithTest.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

class SimProgram
{
public:
    // `devices`: one --device text each, e.g. "id=1,model=1020"; `options`
    // go to the program as they are (e.g. "--in-bootloader", "1").
    explicit SimProgram(const QStringList &devices, const QStringList &options = {})
    {
        QStringList arguments = options;
        for (const QString &device : devices)
            arguments << QStringLiteral("--device") << device;
        arguments << QStringLiteral("--log") << logPath();
        testsupport::endWithTest(process_);
        process_.start(qEnvironmentVariable("ZEPHLET_SIM"), arguments);
        EXPECT_TRUE(process_.waitForStarted()) << "ZEPHLET_SIM names the simulator program";
        EXPECT_TRUE(process_.waitForReadyRead(5000));
        portName_ = QString::fromLocal8Bit(process_.readLine()).trimmed();
        EXPECT_TRUE(portName_.startsWith(QLatin1String("/dev/"))) << portName_.toStdString();
    }
    ~SimProgram()
    {
        process_.kill();
        process_.waitForFinished();
    }
    SimProgram(const SimProgram &) = delete;
    SimProgram &operator=(const SimProgram &) = delete;

    QString portName() const { return portName_; }

    // The instructions received so far, one "<protocol> <id> <name> <params>" line each.
    QByteArrayList received() const
    {
        QFile log(logPath());
        if (!log.open(QIODevice::ReadOnly))
            return {};
        QByteArrayList lines = log.readAll().split('\n');
        lines.removeAll(QByteArray());
        return lines;
    }

    // Waits until `instruction` (a log line such as "2.0 7 PING") was
    // received; false after 20 s.
    bool waitForInstruction(const QByteArray &instruction) const
    {
        QElapsedTimer waited;
        waited.start();
        while (!received().contains(instruction)) {
            if (waited.hasExpired(20000))
                return false;
            QThread::msleep(10);
        }
        return true;
    }

    // A file in the program's own folder, e.g. for --boot-image.
    QString filePath(const QString &name) const { return folder_.filePath(name); }

private:
    QString logPath() const { return folder_.filePath(QStringLiteral("received.log")); }

    QTemporaryDir folder_;
    QProcess process_;
    QString portName_;
};
