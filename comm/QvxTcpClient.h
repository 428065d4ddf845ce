#pragma once
// The TCP client transport: a packet-engine transport whose link is one TCP
// connection. The servo packets go over the socket exactly as over the serial
// line, without framing of their own; the far end (the TCP-to-serial bridge,
// say) puts them on a servo bus. There is no baud rate: the engines keep
// their default rate for the packet time-outs, and the extra latency never
// drops below kMinLatencyMs, which covers the network and the relay.
//
// Bytes that arrive between transactions are not handled on arrival; the next
// transaction's receive step reads them with its reply.

#include "comm/QvxProtocolComm.h"

#include <QString>

class QTcpSocket;

class QvxTcpClient : public QvxProtocolComm
{
    Q_OBJECT

public:
    explicit QvxTcpClient(QObject *parent = nullptr);
    ~QvxTcpClient() override;

    bool isOpen() const override;
    // A TCP link has no baud rate: always false, nothing changes.
    bool setBaudRate(int baudrate) override;
    // Stores at least kMinLatencyMs.
    void setTimeout(int ms) override;
    // Selects the engine, which gets the socket as its device.
    void setProtocolVersion(QString version) override;
    // Opens networkAddress:networkPort (as the settings keys 7 and 6 stored
    // them) and checks that servo `id` answers, with one retry.
    bool doConnectQvx(uchar id) override;
    void doDisconnectQvx() override;

    QTcpSocket *tcp_socket = nullptr; // the link: a child, the current engine's device

    // Floor of the extra latency, ms.
    static constexpr int kMinLatencyMs = 100;
    // A connection not made within this window counts as failed, ms.
    static constexpr int kConnectMs = 100;
    // How long close waits for the socket to report the disconnection, ms.
    static constexpr int kCloseWaitMs = 500;
    // Pause before the connect step's second ping, ms.
    static constexpr int kRetryPauseMs = 100;

public slots:
    // Connects to ip_address:port within kConnectMs (after a close). Neither
    // value is stored in networkAddress or networkPort.
    bool open(QString ip_address, int port) override;
    // Stops the polling and plain aging, drops the connection and waits up to
    // kCloseWaitMs for the socket to report it. closed() and the state change
    // come from onDisconnected only.
    void close() override;
    void onConnected();
    void onDisconnected();

protected:
    // The link check of the polling reads: the connection is made again when
    // it is down or leads elsewhere than networkAddress:networkPort;
    // COMM_NOT_AVAILABLE when that fails.
    int checkPollLink() override;
    // Never: the multi-graph poll is always the plain BULK_READ.
    bool fastMultiGraphPoll() const override;
};
