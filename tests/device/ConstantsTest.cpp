#include "device/BaseConstants.h"
#include "device/BaudConstants.h"
#include "device/ConsoleConstants.h"
#include "device/DeviceConstants.h"
#include "device/ModelTableConstants.h"
#include "tests/support/QtPrinters.h"

#include <QDir>
#include <QRegularExpression>
#include <QSet>
#include <gtest/gtest.h>

TEST(ConstantTables, BaudRegisterMapsAreExactInverses)
{
    ASSERT_EQ(kBaudRateByRegister2.size(), 10);
    ASSERT_EQ(kRegisterByBaudRate2.size(), 10);
    for (auto it = kBaudRateByRegister2.cbegin(); it != kBaudRateByRegister2.cend(); ++it)
        EXPECT_EQ(kRegisterByBaudRate2.value(it.value(), 0xFF), it.key()) << it.value();
}

TEST(ConstantTables, Protocol1RegisterMapHasNoEntryForUnknownValue)
{
    EXPECT_FALSE(kBaudRateByRegister1.contains(3));
    EXPECT_EQ(kBaudRateByRegister1.value(3), 0);
    // Keys ascend as unsigned bytes: 207 and 252 come after 34.
    EXPECT_EQ(kBaudRateByRegister1.keys(), (QList<quint8>{0, 1, 16, 34, 207, 252}));
}

TEST(ConstantTables, BaudChoicesPairWithTheirNames)
{
    ASSERT_EQ(kBaudRates.size(), 9);
    ASSERT_EQ(kBaudRateNames.size(), 9);
    EXPECT_FALSE(kBaudRates.contains(10500000));
    EXPECT_EQ(kBaudRateNames.at(kBaudRates.indexOf(1000000)), QStringLiteral("1Mbps"));
    EXPECT_EQ(kBaudRateNames.at(kBaudRates.indexOf(4500000)), QStringLiteral("4.5Mbps"));
}

TEST(ConstantTables, ErrorNameTablesIndexAsTheDeviceReportsThem)
{
    ASSERT_EQ(kProtocol2ErrorNames.size(), 8);
    ASSERT_EQ(kProtocol1ErrorBitNames.size(), 8);
    ASSERT_EQ(kModbusExceptionNames.size(), 8);
    const quint8 error = 0x85; // bit 7 is the alert flag
    EXPECT_EQ(kProtocol2ErrorNames.at((error & 0x7F) - 1), QStringLiteral("Data Length"));
    EXPECT_TRUE(kProtocol1ErrorBitNames.at(7).isEmpty());
    EXPECT_EQ(kModbusExceptionNames.at(0), QStringLiteral("Function"));
}

TEST(ConstantTables, DataDirectoryIsDocumentsFolderPlusOurName)
{
    const QString docs = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    EXPECT_EQ(kDataDirectory, docs + QStringLiteral("/Quorvex Zephlet2"));
}

TEST(ConstantTables, ModelTablesHaveTheirShape)
{
    EXPECT_EQ(kModelNames.size(), 25);
    EXPECT_EQ(QSet<QString>(kModelNames.begin(), kModelNames.end()).size(), 25);
    ASSERT_EQ(kSeriesModelTable.size(), 106);
    // Group sizes, in order; a group is a run of rows with one product-line name.
    QList<int> groups;
    QString line;
    for (const auto &row : kSeriesModelTable) {
        if (row.first != line) {
            groups.append(0);
            line = row.first;
        }
        ++groups.last();
    }
    EXPECT_EQ(groups, (QList<int>{24, 33, 6, 7, 3, 1, 2, 4, 17, 5, 1, 3}));
    EXPECT_EQ(kSeriesModelTable.at(103).second, kControllerBoardName); // controller boards close the table
}

TEST(ConstantTables, GraphAndCommandLists)
{
    EXPECT_EQ(kGraphItemNames.size(), 17);
    EXPECT_EQ(kGoalItemNames.size(), 5);
    ASSERT_EQ(kGraphColors.size(), 20);
    for (const QString &c : kGraphColors)
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^#[0-9A-F]{6}$")).match(c).hasMatch()) << c.toStdString();
    ASSERT_EQ(kCommandNames.size(), 20);
    QStringList sorted = kCommandNames;
    sorted.sort();
    EXPECT_EQ(sorted, kCommandNames);
    EXPECT_EQ(kPrompt, QStringLiteral(">>> "));
}

TEST(ConstantTables, ItemConstantNamesFollowTheirTexts)
{
    EXPECT_EQ(kItemBaudRateBus, QStringLiteral("Baud Rate (Bus)"));
    EXPECT_EQ(kItemSecondaryShadowId, QStringLiteral("Secondary(Shadow) ID"));
    EXPECT_EQ(kItemLedRed, QStringLiteral("LED Red"));
    EXPECT_EQ(kModeCurrentBasedPosition, QStringLiteral("Current-based Position"));
    EXPECT_EQ(kItemFingerTorqueEnable, QStringLiteral("Finger Torque Enable"));
}
