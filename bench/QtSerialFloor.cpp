// The fair floor of a short script run: a bare Qt program that does through
// QSerialPort what `open`, `ping 1` and `get 1 "Present Position"` put on the
// line (open with the port's lock file, flush, the settle pause after an
// open, two protocol 2.0 PINGs and a 4-byte READ of address 132 of ID 1, each
// awaited in full), then closes. No model, no description, no output.
// Usage: zephlet_qt_serial_floor PORT BAUD; exit code 0 when every reply came.
// Built a second time with every Qt module the program links (the Modbus and
// TCP transports need Serial Bus and Network, the aging options Xml): what
// loading those libraries costs a start, whatever the command.
#include <QCoreApplication>
#include <QSerialPort>
#include <QThread>

#ifdef ZEPHLET_FLOOR_WITH_PROGRAM_LIBRARIES
#include <QDomDocument>
#include <QModbusRtuSerialClient>
#include <QTcpSocket>
#endif

namespace {

constexpr int kSettleMs = 100; // as the program's own open
constexpr int kReplyWaitMs = 1000;

// The instruction, and the length of the status packet it is answered with.
struct Exchange
{
    QByteArray instruction;
    qsizetype replyLength;
};

bool exchange(QSerialPort &port, const Exchange &step)
{
    if (port.write(step.instruction) != step.instruction.size())
        return false;
    QByteArray reply;
    while (reply.size() < step.replyLength) {
        if (!port.waitForReadyRead(kReplyWaitMs))
            return false;
        reply += port.readAll();
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
#ifdef ZEPHLET_FLOOR_WITH_PROGRAM_LIBRARIES
        // Never run; keeps each library needed at link time.
        const QDomDocument document;
        const QModbusRtuSerialClient client;
        const QTcpSocket socket;
#endif
        return 2;
    }
    QSerialPort port;
    port.setPortName(QString::fromLocal8Bit(argv[1]));
    port.setBaudRate(QByteArray(argv[2]).toInt());
    if (!port.open(QIODevice::ReadWrite))
        return 1;
    port.clear(QSerialPort::AllDirections);
    QThread::msleep(kSettleMs);

    static const char ping[] = "\xFF\xFF\xFD\x00\x01\x03\x00\x01\x19\x4E";
    static const char read[] = "\xFF\xFF\xFD\x00\x01\x07\x00\x02\x84\x00\x04\x00\x1D\x15";
    const Exchange steps[] = {
        {QByteArray(ping, sizeof ping - 1), 14},
        {QByteArray(ping, sizeof ping - 1), 14},
        {QByteArray(read, sizeof read - 1), 15},
    };
    for (const Exchange &step : steps)
        if (!exchange(port, step))
            return 1;
    port.clear(QSerialPort::AllDirections);
    port.close();
    return 0;
}
