#pragma once
// A TCP peer of the TCP client transport on a thread of its own, standing for
// a bridge with one protocol 2.0 servo behind it: it answers a PING of ID 1
// and a READ of ID 1 from its table. It can flood the connection with bytes
// while nobody asks, and hang up.

#include "tests/sim/SimPackets.h"

#include <QByteArray>

#include <arpa/inet.h>
#include <atomic>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

class TcpPeer
{
public:
    TcpPeer()
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0
            || ::listen(listener_, 4) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &size) != 0)
            return;
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~TcpPeer()
    {
        stopping_ = true;
        if (thread_.joinable())
            thread_.join();
        hangUp();
        if (listener_ >= 0)
            ::close(listener_);
    }
    TcpPeer(const TcpPeer &) = delete;
    TcpPeer &operator=(const TcpPeer &) = delete;

    quint16 port() const { return port_; }
    // The READ answers come from this table of ID 1.
    void setTable(const QByteArray &table)
    {
        std::lock_guard lock(mutex_);
        table_ = table;
    }
    // Stops answering.
    void setSilent(bool on) { silent_ = on; }
    // Sends bytes that hold no packet, as fast as the connection takes them,
    // for `ms` (returns when done).
    void flood(int ms)
    {
        const QByteArray noise(64 * 1024, '\x5A');
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            std::lock_guard lock(mutex_);
            if (connection_ < 0)
                return;
            pollfd p{connection_, POLLOUT, 0};
            if (::poll(&p, 1, 5) == 1 && (p.revents & POLLOUT))
                (void)::send(connection_, noise.constData(), static_cast<size_t>(noise.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
    }
    // Puts bytes on the connection as they are.
    void sendRaw(const QByteArray &bytes)
    {
        std::lock_guard lock(mutex_);
        if (connection_ >= 0)
            (void)::send(connection_, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL);
    }
    // Ends the connection.
    void hangUp()
    {
        std::lock_guard lock(mutex_);
        if (connection_ >= 0)
            ::close(connection_);
        connection_ = -1;
    }

private:
    void serve()
    {
        QByteArray inbox;
        while (!stopping_) {
            int connection;
            {
                std::lock_guard lock(mutex_);
                connection = connection_;
            }
            if (connection < 0) {
                pollfd p{listener_, POLLIN, 0};
                if (::poll(&p, 1, 20) == 1) {
                    const int c = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                    std::lock_guard lock(mutex_);
                    connection_ = c;
                    inbox.clear();
                }
                continue;
            }
            pollfd p{connection, POLLIN, 0};
            if (::poll(&p, 1, 20) != 1)
                continue;
            char chunk[512];
            std::lock_guard lock(mutex_);
            if (connection_ != connection)
                continue;
            const ssize_t got = ::recv(connection_, chunk, sizeof chunk, MSG_DONTWAIT);
            if (got <= 0)
                continue;
            inbox.append(chunk, got);
            answer(inbox);
        }
    }

    // Answers every whole instruction at the front of the inbox (called with the lock held).
    void answer(QByteArray &inbox)
    {
        for (;;) {
            const qsizetype h = inbox.indexOf(QByteArray("\xFF\xFF\xFD\x00", 4));
            if (h < 0 || inbox.size() - h < 10)
                return;
            inbox.remove(0, h);
            const int total = (static_cast<quint8>(inbox.at(5)) | static_cast<quint8>(inbox.at(6)) << 8) + 7;
            if (inbox.size() < total)
                return;
            const QByteArray in = inbox.left(total);
            inbox.remove(0, total);
            if (silent_ || static_cast<quint8>(in.at(4)) != 1)
                continue;
            QByteArray reply;
            if (in.at(7) == 0x01) {
                reply = sim::status2(1, 0, QByteArray("\xFC\x03\x35", 3)); // model 1020, firmware 53
            } else if (in.at(7) == 0x02 && total >= 14) {
                const int address = static_cast<quint8>(in.at(8)) | static_cast<quint8>(in.at(9)) << 8;
                const int length = static_cast<quint8>(in.at(10)) | static_cast<quint8>(in.at(11)) << 8;
                reply = sim::status2(1, 0, table_.mid(address, length).leftJustified(length, '\0'));
            }
            if (!reply.isEmpty())
                (void)::send(connection_, reply.constData(), static_cast<size_t>(reply.size()), MSG_NOSIGNAL);
        }
    }

    int listener_ = -1;
    int connection_ = -1;
    quint16 port_ = 0;
    std::mutex mutex_;
    QByteArray table_ = QByteArray(256, '\0');
    std::atomic<bool> silent_{false};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
