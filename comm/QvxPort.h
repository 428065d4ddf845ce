#pragma once
// The serial-port transport: a packet-engine transport whose link is one
// QSerialPort. The servos are reached directly on the port, or through a
// controller board at ID 200 that relays the bus at its own baud rate; opening
// through a board also tells it, with one protocol 2.0 write, at which rate the
// servos run. It adds the polling reads, the handling of bytes that arrive
// between transactions, the reaction to a lost port, the whole-table read with
// the hex trace and a read that announces its data by a signal.

#include "comm/QvxProtocolComm.h"

#include <QSerialPort>


class QTimer;

class QvxPort : public QvxProtocolComm
{
    Q_OBJECT

public:
    // With `listen`, bytes that arrive outside a transaction go to the current
    // engine's stream parser.
    explicit QvxPort(bool listen, QObject *parent = nullptr);
    ~QvxPort() override;

    bool isOpen() const override;
    // The protocol text last set: "1.0", "2.0" or any other text stored.
    QString version() const override;
    // Stores any text; "1.0" and "2.0" also select the engine.
    void setProtocolVersion(QString version) override;
    // Reopens at another rate. `baudRate` keeps the rate of the last open.
    bool setBaudRate(int baudrate) override;
    bool doConnectQvx(uchar id) override;
    void doDisconnectQvx() override;

    // A read from address 0 (a whole control table) with the hex trace as
    // `verbose`; the trace is off afterwards.
    int readVerbose(uchar id, ushort length, uchar *data, uchar *error, bool verbose);
    // A read whose bytes (the `length` bytes now in `data`) also go out in
    // readCompleted.
    int readAndNotify(uchar id, ushort address, ushort length, uchar *data, uchar *error);
    // Both engines back to idle, the sniffer buffer emptied, the port no longer held.
    void resetReceivers();
    bool setDataBits(int dataBits);
    bool setParity(int parity);
    bool setStopBits(int stopBits);
    bool setFlowControl(int flowControl);
    // Stores a setting by key and applies it: key 1 sets the baud rate, keys 2
    // to 5 the serial format. Other keys apply nothing and give false.
    bool applySetting(int key, const QVariant &value);

    QSerialPort *serial_port = nullptr; // the link: a child, the device of both engines
    bool listen = false;
    QString protocol_text; // returned by version()
    QList<QvxProtocol::PacketItem> packet_list; // replay list
    QTimer *play_timer = nullptr;
    bool playing = false;
    qint64 play_clock = 0;
    int play_index = 0;
    QByteArray modbus_buffer; // bytes of the Modbus frame sniffer
    QTimer *modbus_timer = nullptr;
    // The port was lost (a pulled adapter, a hung-up line) and is not closed
    // yet. The loss is reported once; the dead port is closed on the next turn
    // of the event loop, or by the next poll when that comes first.
    bool portLost = false;

    // CRC-16/MODBUS of bytes 0 to `last` of modbus_buffer (those there are).
    int modbusCrc(int last) const;

    // Ms the link settles after an open before the first packet.
    static constexpr int kSettleMs = 100;

public slots:
    bool open(QString port_name, int baudrate) override;
    void close() override;
    void handleReadyRead();
    void handleError(QSerialPort::SerialPortError error);
    // Sends the bytes as they are and traces them as sent; COMM_TX_FAIL when
    // they have not left within the current engine's packet time-out.
    int writeRaw(QByteArray write_data);
    // Replays packet_list on a 1 ms tick, keeping the recorded spacing: one
    // item a tick at most, only instruction packets of protocols 1.0 and 2.0.
    void startPlay();
    void stopPlay();
    void onPlayTimer();
    // 50 ms without arrivals: the sniffer drops what it could not frame.
    void onModbusTimeoutTimer();

signals:
    void readCompleted(int result, uchar id, ushort address, ushort length, QByteArray data, uchar error);
    void playStopped();
    void playIndexChanged(int index);

private:
    // The Modbus branch of handleReadyRead: the arrivals cut into frames, each
    // traced as received.
    void sniffModbus();
    // A trace item of the traffic tools, with this transport's protocol text.
    QvxProtocol::PacketItem trafficItem(int direction, const QByteArray &data) const;
    // Configures and opens the port for a link whose servos run at
    // `baudrate`, telling a controller board when there is one. Both engines
    // get the rate and the latency. A failed board handshake closes the port.
    bool openLink(int baudrate);
    // The protocol 2.0 write that tells the controller board the servos' rate.
    bool tellBoard(int baudrate);
    // Whether the serial port is the one named `name` (QSerialPort reports a
    // Unix device path without its "/dev/" folder).
    bool isPort(const QString &name) const;
    // Closes the port that was lost, unless it was closed or opened again meanwhile.
    void closeLostPort();

protected:
    // The link check of the polling reads: the port is reopened (or set back
    // to `baudRate`) when needed; COMM_NOT_AVAILABLE when that fails.
    int checkPollLink() override;
    // The fast bulk read when multiGraphFast is set.
    bool fastMultiGraphPoll() const override;
};
