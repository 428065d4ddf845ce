// The failures of the protocol 2.0 servo update after the transfer: bringing
// the servo, its board and its master back to their rates, the factory reset
// and the protocol type written back, each with its texts and the port closed.
#include "tests/fw/Servo2FailureBench.h"

using namespace servo2;

namespace {

const FailureCase kAfterTheTransfer[] = {
    {"torque off after the transfer unanswered", silent("2.0 1 WRITE 40 00 00", 2),
     {"Update[2]: torque off fail"}, "QUORVEX Torque Off Failed"},
    {"rate write back unanswered twice", silent("2.0 1 WRITE 08 00 03"),
     {"Update[2]: change baudrate fail #2-1", "Update[2]: change baudrate fail #2-2"}, "Bootloader Restart Failed"},
    {"board rate write back unanswered",
     [](ServoBench &b, QvxFirmware::UpdateParam &) {
         behindABoard(b);
         b.noAnswerTo(QStringLiteral("2.0 200 WRITE 09 00 03"));
     },
     {"Update[2]: change baudrate fail #2-3"}, "QUORVEX Restart Failed"},
    {"master system write back unanswered",
     [](ServoBench &b, QvxFirmware::UpdateParam &o) {
         behindAMaster(b, o);
         b.noAnswerTo(QStringLiteral("2.0 9 SYSTEM_WRITE 15 00 03"));
     },
     {"Update[2]: change baudrate fail #2-5"}, "QUORVEX Restart Failed"},
    {"master write back unanswered",
     [](ServoBench &b, QvxFirmware::UpdateParam &o) {
         behindAMaster(b, o);
         b.noAnswerTo(QStringLiteral("2.0 9 WRITE 14 00 03"));
     },
     {"Update[2]: change baudrate fail #1-4-4"}, "QUORVEX Reboot Failed"},
    {"port gone at the reopen at the servo's rate",
     [](ServoBench &b, QvxFirmware::UpdateParam &) {
         b.pullAtClose([&b] { return b.heard(QStringLiteral("2.0 1 WRITE 08 00 03")); });
     },
     {"Update[2]: open fail"}, "Bootloader Restart Failed"},
    {"rate outside the table",
     [](ServoBench &, QvxFirmware::UpdateParam &o) { o.baudrate = 250000; },
     {}, "Bootloader Restart Failed", 250000},
    {"factory reset unanswered", silent("2.0 1 FACTORY_RESET 02"),
     {"Update[2]: OK!!!", "Update[2]: factory reset fail"}, "Bootloader Restart Failed"},
    {"torque off after the factory reset unanswered", silent("2.0 1 WRITE 40 00 00", 3),
     {"Update[2]: OK!!!", "Update[2]: torque off fail"}, "QUORVEX Torque Off Failed"},
    {"protocol type 1.0 not restored",
     [](ServoBench &b, QvxFirmware::UpdateParam &o) {
         speaksProtocol1(b, o);
         b.noAnswerTo(QStringLiteral("2.0 1 WRITE 0D 00 01"));
     },
     {"Update[2]: OK!!!", "Update[2]: restore protocol version fail #1", "Update[2]: restore protocol version fail #2"},
     "Bootloader Restart Failed"},
    {"protocol type Modbus not restored",
     [](ServoBench &b, QvxFirmware::UpdateParam &o) {
         speaksModbus(b, o);
         b.noAnswerTo(QStringLiteral("2.0 1 WRITE 0D 00 0A"));
     },
     {"Update[2]: OK!!!", "Update[2]: restore protocol version fail #1", "Update[2]: restore protocol version fail #2"},
     "Bootloader Restart Failed"},
};

} // namespace

TEST_P(ServoUpdate2Failure, GivesItsTextsWithThePortClosed) { run(GetParam()); }

INSTANTIATE_TEST_SUITE_P(AfterTheTransfer, ServoUpdate2Failure, ::testing::ValuesIn(kAfterTheTransfer), CaseNamedByWhat());
