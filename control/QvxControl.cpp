// QvxControl: construction, the connection, settings and the multi-port scan.

#include "control/QvxControl.h"

#include "comm/CommResult.h"
#include "console/io/Console.h"
#include "console/io/InputManager.h"
#include "control/CancelLoan.h"
#include "control/FirmwareUpdateFlow.h"
#include "control/MultiAgingFeatures.h"
#include "device/BaudConstants.h"
#include "device/QvxDeviceModel.h"
#include "fw/QvxFirmware.h"
#include "platform/OutputSink.h"

#include <QDir>
#include <QMetaType>
#include <QSerialPort>

#include <limits>

QvxControl::QvxControl(InputManager *input, QObject *parent)
    : QObject(parent)
    , transport_(std::make_unique<QvxFirmware>(true))
    , core_(*transport_, registry_)
    , inputManager_(input)
{
    qRegisterMetaType<QSerialPort::SerialPortError>();
    registry_.load(QStringLiteral(":/device/assets/xml/"), false);
    registry_.load(QDir::currentPath() + QStringLiteral("/xml"), true);
    if (inputManager_)
        inputManager_->setItemNames(registry_.visibleItemNames());
    connect(transport_.get(), &QvxComm::qvxFound, this, &QvxControl::qvxFound);
    multiAging_ = std::make_unique<MultiAgingFeatures>(
        *transport_, [this](uchar id) -> std::optional<MultiAgingFeatures::Device> {
            ushort modelNumber = 0;
            uchar firmware = 0;
            uchar error = 0;
            if (!pingDevice(id, &modelNumber, &firmware, &error, true))
                return std::nullopt;
            return MultiAgingFeatures::Device{findControlTable(modelNumber, firmware), modelNumber, firmware};
        });
    updateFlow_ = std::make_unique<FirmwareUpdateFlow>(*this, *transport_, inputManager_);
    loadConfig();
}

void QvxControl::loadConfig()
{
    multiAging_->config.load(AgingConfig::path(QDir::currentPath()));
}

QvxControl::~QvxControl()
{
    // Both live on this thread: close the port and free the transport now. A
    // deferred delete would need an event loop that script mode no longer
    // runs, and would leave the port open until then. The end of a run lets
    // the line go: nothing its devices still owe may meet the next program.
    transport_->awaitOwedAnswers();
    transport_->close();
}

void QvxControl::updateFirmware(uchar id)
{
    lastId_ = id;
    updateFlow_->updateFirmware(id);
}

QvxComm *QvxControl::transport() const
{
    return transport_.get();
}

// ----- Ports and settings

void QvxControl::closePort()
{
    if (!transport_)
        return;
    transport_->awaitOwedAnswers();
    dropPort();
}

void QvxControl::dropPort()
{
    transport_->close();
    portName_.clear();
    baudRate_ = 0;
}

bool QvxControl::openPort(const QString &name, uint baud)
{
    closePort();
    if (baud > uint(std::numeric_limits<int>::max()) || !transport_->open(name, int(baud)))
        return false;
    portName_ = name;
    baudRate_ = baud;
    return true;
}

bool QvxControl::isPortOpen() const
{
    return transport_ && transport_->isOpen();
}

QList<PortEntry> QvxControl::availablePorts()
{
    return systemPortEntries();
}

void QvxControl::printAvailablePorts() const
{
    const QList<PortEntry> ports = availablePorts();
    if (ports.isEmpty()) {
        Console::instance().printLine(QStringLiteral("No serial ports found"));
        return;
    }
    QString text = QStringLiteral("Available ports:\n");
    for (qsizetype i = 0; i < ports.size(); ++i)
        text += QStringLiteral("  %1. %2\n").arg(i + 1).arg(ports.at(i).title);
    platform::OutputSink::write(text);
}

void QvxControl::setTimeout(uint ms)
{
    transport_->setTimeout(int(std::min<uint>(ms, uint(std::numeric_limits<int>::max()))));
    Console::instance().printSuccess(QStringLiteral("set timeout %1[ms] OK").arg(ms));
}

void QvxControl::setProtocolVersion(const QString &version)
{
    transport_->setProtocolVersion(version);
    Console::instance().printSuccess(QStringLiteral("set protocol %1 OK").arg(version));
}

void QvxControl::setScanListenTime(int ms)
{
    scanListenMs_ = ms;
}

void QvxControl::scanPorts(bool verbose)
{
    scanPorts(availablePorts(), verbose);
}

void QvxControl::scanPorts(const QList<PortEntry> &ports, bool verbose)
{
    const Console &console = Console::instance();
    if (ports.isEmpty()) {
        console.printLine(QStringLiteral("No serial ports found"));
        return;
    }
    QString menu = QStringLiteral("Select ports to scan:\n  0: All ports\n");
    for (qsizetype i = 0; i < ports.size(); ++i)
        menu += QStringLiteral("  %1: %2\n").arg(i + 1).arg(ports.at(i).title);
    menu += QStringLiteral("Enter port numbers (comma separated, e.g., 0 or 1,2,3): ");
    platform::OutputSink::write(menu);
    const QString answer = inputManager_ ? inputManager_->readLine(true) : QString();

    const QList<PortEntry> selection = selectPorts(answer, ports);
    if (selection.isEmpty()) {
        console.printError(QStringLiteral("No valid ports selected. Scan cancelled."));
        return;
    }
    console.printLine(QStringLiteral("Scanning %1 port(s) for devices...").arg(selection.size()));
    console.printLine(QStringLiteral("Press Ctrl+C to cancel scan"));

    bool cancelled = false;
    {
        const CancelLoan loan(inputManager_, cancelFlag_);
        for (const PortEntry &port : selection) {
            if (loan.cancelled()) {
                cancelled = true;
                break;
            }
            scanOnePort(loan, port, verbose, cancelled);
            if (cancelled)
                break;
        }
    }
    if (!cancelled)
        console.printLine(QStringLiteral("Scan completed"));
}

void QvxControl::scanOnePort(const CancelLoan &loan, const PortEntry &port, bool verbose, bool &cancelled)
{
    for (const int baud : kBaudRates) {
        if (loan.cancelled()) {
            cancelled = true;
            return;
        }
        Console::instance().printLine(QStringLiteral("Scanning port: %1 at %2 bps...").arg(port.name, QString::number(baud)));
        dropPort();
        if (!transport_->open(port.name, baud)) {
            Console::instance().printError(QStringLiteral("Port not opened"));
            return; // the other rates of this port are not tried
        }
        portName_ = port.name;
        baudRate_ = uint(baud);
        if (verbose) {
            for (int id = 0; id <= 252; ++id) {
                if (loan.cancelled()) {
                    cancelled = true;
                    return; // the port stays open
                }
                pingAndPrint(uchar(id), true, true);
            }
        } else {
            if (loan.cancelled()) {
                cancelled = true;
                return;
            }
            transport_->cancelFlagPointer = &cancelFlag_;
            transport_->broadcastPing(scanListenMs_);
            transport_->cancelFlagPointer = nullptr;
            if (loan.cancelled()) {
                cancelled = true;
                return;
            }
        }
        dropPort();
    }
}
