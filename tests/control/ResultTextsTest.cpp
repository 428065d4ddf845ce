// Result-code names and the status-error tests and texts of each protocol.

#include "control/QvxControl.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

TEST(ResultTexts, ResultCodesHaveNamesOrTheirNumber)
{
    const QList<QPair<int, QString>> cases = {
        {0, "COMM_OK"},
        {-1000, "COMM_PORT_BUSY"},
        {-1001, "COMM_TX_FAIL"},
        {-1002, "COMM_RX_FAIL"},
        {-2000, "COMM_TX_ERROR"},
        {-3000, "COMM_RX_WAITING"},
        {-3001, "COMM_RX_TIMEOUT"},
        {-3002, "COMM_RX_CORRUPT"},
        {-9000, "COMM_NOT_AVAILABLE"},
        {-3003, "Unknown (-3003)"},
        {-1, "Unknown (-1)"},
        {1, "Unknown (1)"},
    };
    for (const auto &[code, name] : cases)
        EXPECT_EQ(QvxControl::communicationResultName(code), name) << code;
}

TEST(ResultTexts, StatusErrorsByProtocol)
{
    struct Case
    {
        const char *protocol;
        uchar error;
        bool isError;
        const char *text;
    };
    const Case cases[] = {
        // 1.0: only Range, Checksum and Instruction are errors; the text names every set bit.
        {"1.0", 0x01, false, "Input Voltage Error"},
        {"1.0", 0x08, true, "Range Error"},
        {"1.0", 0x48, true, "Range Error, Instruction Error"},
        {"1.0", 0x0C, true, "Overheating Error, Range Error"},
        {"1.0", 0x80, false, " Error"},
        // 2.0: the number without the alert bit.
        {"2.0", 0x80, false, "Unknown Error (0)"},
        {"2.0", 0x82, true, "Instruction Error"},
        {"2.0", 0x07, true, "Access Error"},
        {"2.0", 0x08, true, " Error"},
        // Numbers beyond the table get a text of their own instead of reading past it.
        {"2.0", 0x09, true, "Unknown Error (9)"},
        {"2.0", 0x7F, true, "Unknown Error (127)"},
        {"MODBUS", 0x02, false, "Address Error"},
        {"MODBUS", 0x88, false, "Parity Error"},
        {"MODBUS", 0x0B, false, "Unknown Error (11)"},
        // The transport's form: exception code + 100.
        {"MODBUS", 102, false, "Address Error"},
        {"MODBUS", 108, false, "Parity Error"},
        {"MODBUS", 109, false, "Unknown Error (9)"},
        {"MODBUS", 99, false, "Unknown Error (99)"},
        {"3.0", 0x08, false, ""},
    };
    for (const Case &c : cases) {
        const QString protocol = QString::fromUtf8(c.protocol);
        EXPECT_EQ(QvxControl::hasStatusError(c.error, protocol), c.isError) << c.protocol << " " << int(c.error);
        EXPECT_EQ(QvxControl::statusErrorText(c.error, protocol), QString::fromUtf8(c.text))
            << c.protocol << " " << int(c.error);
    }
}

} // namespace
