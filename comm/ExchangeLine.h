#pragma once
// The rules every request and its answer keep on a byte link, whatever
// framing runs above it (the servo packet engines on a serial port or a TCP
// socket, the Modbus RTU client on a serial port). They are written here once:
//
//  - Nothing that arrived before a request answers it. Before a request
//    leaves, what the link holds is taken in and handed over as stray traffic.
//  - A request whose answer did not come within its window may still be
//    answered late. The next request to the same device that could take
//    that answer (one of the same size, or any request where a refusal has
//    one form all take) waits until it can no longer come (kLateWindows of
//    that window, at most kMaxLateMs), so that the late answer arrives
//    before the request and is stray. Requests to other devices go at once: every answer names its
//    device, and a wait never takes another device's answer. After a
//    broadcast any device may still answer, so the next request waits
//    whatever its device.
//  - An answer is taken only when it has the size its request asks for (or
//    is the device's refusal): each framing says which sizes those are.
//  - A new link (an open) holds nothing late.
//  - What is held stays bounded, whatever a peer sends.
//  - A link that can no longer carry bytes ends every wait at once.

#include "comm/CancellationToken.h"

#include <QByteArray>
#include <QDateTime>

#include <QList>

class QIODevice;

class ExchangeLine
{
public:
    // A request every device may answer (a broadcast).
    static constexpr int kAnyDevice = -1;
    // A request no device answers (a sync write, say).
    static constexpr int kNoAnswer = -2;
    // An answer up to this many windows late never answers a later request.
    static constexpr int kLateWindows = 4;
    // The longest a request waits for a late answer of an earlier one, ms: the
    // longest timeout a user can set would otherwise hold it for weeks.
    static constexpr qint64 kMaxLateMs = 2000;
    // The line is quiet once nothing arrived for this long, ms.
    static constexpr qint64 kQuietMs = 3;
    // The most bytes held between two reads of a wait: more than two of the
    // largest packets any framing takes, so a flood costs bounded memory.
    static constexpr qsizetype kMaxHeld = 160 * 1024;

    ExchangeLine();
    virtual ~ExchangeLine();
    ExchangeLine(const ExchangeLine &) = delete;
    ExchangeLine &operator=(const ExchangeLine &) = delete;

    // The link; not owned.
    QIODevice *device = nullptr;
    // Bytes read from the device and not yet consumed.
    QByteArray rxBuffer;
    CancellationToken *token = nullptr; // lent by the transport; not owned
    // Set when a wait found the link down; every wait then ends at once. A
    // request on a link that is up again clears it.
    bool linkLost = false;
    qint64 lastArrivalTime = 0; // wall-clock ms when bytes last arrived
    // The wall clock of the waits, in ms since the epoch. Tests and fuzzers
    // replace it to step time by hand.
    qint64 (*wallClock)() = &QDateTime::currentMSecsSinceEpoch;

    // The two token tests: whether the lent token is set or past its deadline,
    // and how long one blocking call may wait given `ms`.
    bool isCancelled() const;
    int remainingWait(int ms) const;

    // Whether the link reports that it can no longer carry bytes.
    bool isLinkDown() const;
    // Appends what the device has to rxBuffer, waiting up to waitMs for bytes
    // when none are pending. Returns whether bytes came. A link that can no
    // longer deliver sets linkLost instead of waiting. rxBuffer keeps at most
    // kMaxHeld bytes: the oldest go first.
    bool pullArrivals(int waitMs);

    // The two steps of one request whose answer comes from `address`
    // (kAnyDevice, kNoAnswer) with `answerSize` bytes (0: sizes of several
    // kinds). First its turn: a late answer that could be taken for its answer
    // (from that device and of that size) is waited out, and what arrived
    // before the request is handed over as stray. A request that repeats the
    // unanswered one byte for byte does not wait (a late answer answers the
    // same question), but its own answer may then come after the one it
    // takes, so the next other request of that size to that device waits for it.
    // COMM_OK; COMM_TX_FAIL when the link is down; COMM_CANCELLED.
    int takeTurn(const QByteArray &request, int address, qsizetype answerSize);
    // Then its bytes, which must leave within limitMs. COMM_OK; COMM_TX_FAIL
    // when the link did not take them (all) in time; COMM_CANCELLED.
    int writeRequest(const QByteArray &bytes, int limitMs);
    // After the wait for the answer of the last request ended without it
    // (time-out, corrupt answer, cancellation, the end of a broadcast's
    // listening): that answer may still come, up to kLateWindows of
    // `windowMs` later.
    void markUnanswered(qint64 windowMs);
    // A new link: nothing late can come on it.
    void forgetUnanswered();

protected:
    // Whether a device's refusal has one form that every request of it takes
    // as its answer (a protocol 2.0 status without data, a Modbus exception):
    // a late refusal may then answer a later request of any size, which
    // therefore waits for it as for an answer of its own size.
    bool refusalAnswersAnyRequest = false;

    // What arrived before a request, now in rxBuffer: the framing hands whole
    // packets on as traffic nobody asked for and drops the rest.
    virtual void handOverStray() = 0;

    // Told just before and right after arrived bytes are appended to rxBuffer.
    virtual void noteArrival(bool /*begins*/) {}
    // The native handle of the device (a serial port's, a socket's); -1 for
    // another kind of device or one that is not open.
    qintptr linkHandle() const;
    // Keeps rxBuffer within kMaxHeld, dropping the oldest bytes of a flood
    // (they answer nothing); true when it dropped any.
    bool boundHeld();

private:
    // An answer that may still come late: whose, of which size, until when
    // (wall-clock ms) and the request it answers.
    struct Late
    {
        int address = kNoAnswer;
        qsizetype answerSize = 0; // 0: of several sizes
        qint64 until = 0;
        QByteArray request;
        qint64 windowMs = 0; // the window the request had
    };
    // Few at a time: an entry goes once its time has passed.
    QList<Late> late_;
    static constexpr qsizetype kMaxLate = 64;
    // The request the next markUnanswered is about.
    int lastAddress_ = kNoAnswer;
    QByteArray lastRequest_;
    qsizetype lastAnswerSize_ = 0;

    // How long after a wait that ended without its answer that answer may come.
    static qint64 lateSpan(qint64 windowMs);
    // Until when a late answer may come that the request could take; 0 when
    // none can. A repeat of an unanswered request is renewed.
    qint64 lateUntil(const QByteArray &request, int address, qsizetype answerSize, qint64 now);
    // Waits until `until` is past and the line is quiet, taking in what arrives.
    void awaitTurn(qint64 until);
    // Appends arrived bytes to rxBuffer, keeping at most kMaxHeld.
    void takeIn(const char *data, qint64 size);
    static bool linkGone(qintptr handle);
};
