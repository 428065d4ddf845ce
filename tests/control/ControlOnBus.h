#pragma once
// A QvxControl on the simulated servo bus: the real transport opens the
// pseudo-terminal through QSerialPort, prompts are answered with typed keys
// through the real line editor, and everything printed is captured. The
// working folder is a temporary one whose "xml" folder holds the test
// description, so the control finds it beside the built-in ones.

#include "comm/QvxComm.h"
#include "console/io/InputManager.h"
#include "control/QvxControl.h"
#include "tests/control/TestModel.h"
#include "tests/sim/SimBus.h"
#include "tests/sim/SimModels.h"
#include "tests/support/KeyPipe.h"
#include "tests/support/OutputCapture.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>

namespace control_test {

// The working folder of one test, with an "xml" folder of descriptions.
class WorkingFolder
{
public:
    WorkingFolder()
        : previous_(QDir::currentPath())
    {
        QDir(dir_.path()).mkdir(QStringLiteral("xml"));
        writeDescription(QStringLiteral("ts-100.xml"), testDescription());
        QDir::setCurrent(dir_.path());
    }
    ~WorkingFolder() { QDir::setCurrent(previous_); }

    void writeDescription(const QString &name, const QByteArray &content) const
    {
        QFile file(dir_.filePath(QStringLiteral("xml/") + name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

private:
    QString previous_;
    QTemporaryDir dir_;
};

class ControlOnBus : public ::testing::Test
{
protected:
    static constexpr quint8 kDevice = 1; // a TS-100 at firmware 7
    static constexpr int kSlackMs = sim::kReplySlackMs; // added to every reply window

    void SetUp() override
    {
        ASSERT_TRUE(bus_.isOpen()) << bus_.errorString().toStdString();
        bus_.addDevice(sim::deviceFromModel(ts_.model(), kDevice, kTestFirmware));
        makeControl();
        ASSERT_TRUE(control_->openPort(bus_.portName(), 1000000));
        control_->setProtocolVersion(QStringLiteral("2.0"));
        output_.take();
    }

    // A fresh control (the descriptions of the working folder as they are now),
    // whose reply windows leave the loaded machine some slack.
    void makeControl()
    {
        control_.reset();
        control_ = std::make_unique<QvxControl>(&editor_);
        control_->transport()->setTimeout(kSlackMs); // tests about time-outs set their own
    }

    void type(const QByteArray &keys) { pipe_.send(keys); }
    QString out() { return QString::fromUtf8(output_.take()); }
    // Instructions received with this code (0x03 WRITE, 0x02 READ, ...).
    int received(quint8 code) const { return bus_.receivedCount(code); }
    void setMemory(int address, const QByteArray &hex, quint8 id = kDevice)
    {
        bus_.setMemory(id, address, QByteArray::fromHex(hex));
    }
    // Sets the flag the line editor holds now, as Ctrl+C does.
    void pressCtrlC()
    {
        if (std::atomic<bool> *flag = editor_.interruptFlag())
            flag->store(true);
    }

    TestModel ts_;
    WorkingFolder folder_;
    sim::SimBus bus_;
    QString prompt_ = QStringLiteral(">>> ");
    KeyPipe pipe_;
    InputManager editor_{&prompt_, pipe_.keys()};
    OutputCapture output_;
    std::unique_ptr<QvxControl> control_;
};

} // namespace control_test
