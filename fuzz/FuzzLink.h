#pragma once
// The link of a fuzzed engine: hands the engine the fuzz input in pieces, one
// piece per wait for arriving bytes, and takes whatever it writes. Time is a
// counter that moves one millisecond per reading, so every wait of the engine
// ends after a bounded number of steps without sleeping.

#include "FuzzCheck.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QIODevice>
#include <QList>

#include <cstdint>
#include <cstring>

class FuzzLink : public QIODevice
{
public:
    // Splits data into pieces of 1 to `piece` bytes (cycling through the sizes).
    FuzzLink(const QByteArray &data, int piece)
    {
        for (qsizetype at = 0, n = 1; at < data.size(); at += n, n = n % piece + 1)
            m_pieces.append(data.mid(at, n));
        open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    }

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_ready.size(); }
    qint64 bytesToWrite() const override { return 0; }
    bool waitForBytesWritten(int) override { return false; }
    bool waitForReadyRead(int) override
    {
        if (m_pieces.isEmpty())
            return false;
        m_ready += m_pieces.takeFirst();
        return true;
    }
    // Moves the next piece up, as if it had just arrived.
    bool arrive() { return waitForReadyRead(0); }
    bool exhausted() const { return m_pieces.isEmpty() && m_ready.isEmpty(); }

    static qint64 clock()
    {
        static qint64 now = 0;
        return ++now;
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 n = qMin<qint64>(maxSize, m_ready.size());
        std::memcpy(data, m_ready.constData(), static_cast<size_t>(n));
        m_ready.remove(0, n);
        return n;
    }
    qint64 writeData(const char *, qint64 size) override { return size; }

private:
    QList<QByteArray> m_pieces;
    QByteArray m_ready;
};

// Engines, timers and serial ports want a QCoreApplication.
inline void ensureApplication()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
}

