#pragma once
// Records of the aging engines that belong to the transport's own scope. The
// abstract transport derives from QvxCommRecords, so they are reached as
// QvxComm::AgingData, QvxComm::MultiAgingParams and so on.

#include <QList>

struct QvxCommRecords
{
    // One point of an aging profile.
    struct AgingData
    {
        int time = 0; // ms from the start of the cycle
        int value = 0;
    };
    using AgingDatas = QList<AgingData>;

    // One servo of a multi-aging run.
    struct MultiAgingParam
    {
        int id = 0;
        int presentAddress = 0;
        int presentLength = 0; // 1, 2 or 4
        int goalAddress = 0;
        int goalLength = 0;
        int extraAddress = 0; // target of the optional pre-write
    };
    using MultiAgingParams = QList<MultiAgingParam>;

    // Internal records of the multi-aging engine: one timed write of one servo,
    // and the writes due at one moment of the cycle.
    struct MultiAgingItem
    {
        uchar id = 0;
        ushort address = 0;
        ushort length = 0;
        int value = 0;
    };
    struct MultiAgingStep
    {
        int time = 0; // ms within the cycle
        QList<MultiAgingItem> items;
    };
};
