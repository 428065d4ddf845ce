#pragma once
// Value records of the multi-graph reader, the aging engines and the hand-preset
// transfers. Plain values; the ones that travel in queued signals are registered
// as meta-types by registerCommMetaTypes().

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QMetaType>

#include <array>

namespace qvx {

// One servo's read range of a multi-graph poll.
struct MultiGraphReadParam
{
    uchar id = 0;
    ushort startAddress = 9999; // first control-table address to read
    ushort endAddress = 0;      // last address to read, inclusive
    ushort length = 0;          // bytes to read
};
// Keyed by servo ID.
using MultiGraphReadParams = QMap<int, MultiGraphReadParam>;

// One servo's reply to a multi-graph poll.
struct MultiGraphReadResult
{
    uchar id = 0;
    ushort address = 0; // start of the range read
    ushort length = 0;
    QByteArray data;
    uchar error = 0; // the servo's status error byte
};
using MultiGraphReadResults = QList<MultiGraphReadResult>;

// One waypoint of a multi-aging profile.
struct MultiAgingWriteItem
{
    int playTime = 0;  // ms taken by the move to this waypoint
    int delayTime = 0; // ms held after it
    QList<int> values; // target per servo position
};

struct MultiAgingOption
{
    int mode = 0;      // carried; the engine does not read it
    int interval = 20; // ms between interpolation and hold steps
    int repeat = 0;    // cycles; 0 runs without end
    int idCount = 1;   // servos taken from the parameters and from each write item
    QList<int> ids;    // carried; the engine does not read it
    QList<MultiAgingWriteItem> writeItems;
    bool preWrite = false;
    int preWriteValue = 0;
};

struct MotionTarget
{
    int id = 0; // servo ID; its low byte goes into packets
    int goalPosition = 0;
    int profileVelocity = 0;
    int profileAcceleration = 0;
};

struct MotionStep
{
    QList<MotionTarget> targets;
    int dwell = 0; // ms to wait after the motion has ended
};

struct MotionAgingOption
{
    QList<MotionStep> steps;
    int reserved1 = 10; // carried by the record; nothing reads it
    int repeat = 0;     // cycles; 0 runs without end
    int reserved2 = 6;  // carried by the record; nothing reads it
    QList<int> reservedList;
    int goalPositionAddress = 116;
    int profileVelocityAddress = 112;
    int profileAccelerationAddress = 108;
    int movingStatusAddress = 123;
};

// One hand preset; travels as an 88-byte block (see the packet-engine transport).
struct HandPresetData
{
    QList<qint16> firstValues;  // one per joint slot
    QList<qint16> secondValues; // one per joint slot
    std::array<qint16, 4> trailer{};
};

} // namespace qvx

Q_DECLARE_METATYPE(qvx::MultiAgingOption)
Q_DECLARE_METATYPE(qvx::MotionAgingOption)
Q_DECLARE_METATYPE(qvx::HandPresetData)
