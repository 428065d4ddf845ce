// The model registry: choosing a description by firmware version, replacing
// descriptions (the working folder's "xml" override included), item names for
// completion, freeing, and the built-in description set.
#include "device/BaseConstants.h"
#include "device/BuiltInDescriptions.h"
#include "device/DeviceConstants.h"
#include "device/QvxDescriptionHeader.h"
#include "device/QvxModelRegistry.h"
#include "tests/device/DescriptionFolder.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/WarningCapture.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSet>

#include <gtest/gtest.h>

namespace {

const QString kBuiltIn = QStringLiteral(":/device/assets/xml/");

QByteArray describe(int modelNumber, int minimumVersion, const QString &name, const QString &items = QString())
{
    return DescriptionFolder::withItems(
        QStringLiteral("Name=\"%1\" ModelNumber=\"%2\" MinimumVersion=\"%3\"").arg(name).arg(modelNumber).arg(minimumVersion),
        items);
}

QString visible(const QString &name, int address, bool hidden = false)
{
    return QStringLiteral("<Item Address=\"%1\" Length=\"1\" Name=\"%2\" Hidden=\"%3\"/>")
        .arg(address)
        .arg(name)
        .arg(hidden ? 1 : 0);
}

// Runs a test body with the working folder switched to a fresh temporary one.
class WorkingFolder
{
public:
    WorkingFolder() : m_previous(QDir::currentPath()) { QDir::setCurrent(m_folder.path()); }
    ~WorkingFolder() { QDir::setCurrent(m_previous); }
    WorkingFolder(const WorkingFolder &) = delete;
    WorkingFolder &operator=(const WorkingFolder &) = delete;

    // Writes a file into the "xml" folder under the working folder.
    QString writeOverride(const QString &name, const QByteArray &content) const
    {
        QDir(m_folder.path()).mkpath(QStringLiteral("xml"));
        return m_folder.write(QStringLiteral("xml/") + name, content);
    }

private:
    DescriptionFolder m_folder;
    QString m_previous;
};

// What the device operations do when they start: built-in set, then the override folder.
void loadLikeTheProgram(QvxModelRegistry &registry)
{
    registry.load(kBuiltIn, false);
    registry.load(QDir::currentPath() + QStringLiteral("/xml"), true);
}

} // namespace

TEST(ModelRegistry, FindTakesHighestMinimumVersionTheFirmwareReaches)
{
    DescriptionFolder folder;
    folder.write(QStringLiteral("old.xml"), describe(1020, 0, QStringLiteral("old")));
    folder.write(QStringLiteral("new.xml"), describe(1020, 53, QStringLiteral("new")));
    folder.write(QStringLiteral("only-new.xml"), describe(77, 53, QStringLiteral("only new")));
    folder.write(QStringLiteral("negative.xml"), describe(78, -1, QStringLiteral("negative")));
    QvxModelRegistry registry;
    registry.load(folder.path(), false);
    EXPECT_EQ(registry.versions().value(1020), (QList<int>{0, 53}));

    struct Case
    {
        quint16 model;
        int firmware;
        const char *name; // null: no description
    };
    const Case cases[] = {
        {1020, 52, "old"}, {1020, 53, "new"}, {1020, 60, "new"},   {1020, -1, "old"},
        {77, 52, nullptr}, {77, 53, "only new"}, {78, -1, "negative"}, {78, 0, "negative"},
        {78, -2, nullptr}, {9999, 60, nullptr},
    };
    for (const Case &c : cases) {
        const QvxDeviceModel *model = registry.find(c.model, c.firmware);
        if (c.name) {
            ASSERT_NE(model, nullptr) << c.model << " fw " << c.firmware;
            EXPECT_EQ(model->name, QString::fromLatin1(c.name)) << c.model << " fw " << c.firmware;
        } else {
            EXPECT_EQ(model, nullptr) << c.model << " fw " << c.firmware;
        }
    }
    EXPECT_EQ(registry.models().size(), 4); // find adds nothing
    EXPECT_EQ(registry.versions().size(), 3);
}

TEST(ModelRegistry, LaterDescriptionWithTheSameKeyReplacesTheWholeEntry)
{
    DescriptionFolder first;
    first.write(QStringLiteral("a.xml"), describe(5, 0, QStringLiteral("first"), visible(QStringLiteral("Old"), 1)));
    DescriptionFolder second;
    second.write(QStringLiteral("a.xml"), describe(5, 0, QStringLiteral("second"), visible(QStringLiteral("New"), 2)));

    QvxModelRegistry registry;
    registry.load(first.path(), false);
    registry.load(second.path(), true);
    registry.load(second.path(), true); // again: a fresh copy, the previous one freed
    ASSERT_EQ(registry.models().size(), 1);
    const QvxDeviceModel *model = registry.find(5, 0);
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->name, QStringLiteral("second"));
    EXPECT_TRUE(model->external);
    EXPECT_EQ(model->itemsByName.keys(), QStringList{QStringLiteral("New")});
    EXPECT_EQ(registry.versions().value(5), QList<int>{0});
    EXPECT_EQ(registry.visibleItemNames(), QStringList{QStringLiteral("New")});
}

TEST(ModelRegistry, OverrideFolderReplacesABuiltInDescriptionAndAddsNewOnes)
{
    WorkingFolder work;
    work.writeOverride(QStringLiteral("my-ar-240.xml"),
                       describe(1020, 0, QStringLiteral("AR-240 bench"), visible(QStringLiteral("Bench Item"), 1)));
    work.writeOverride(QStringLiteral("prototype"), describe(60000, 0, QStringLiteral("Prototype")));

    QvxModelRegistry registry;
    WarningCapture capture;
    loadLikeTheProgram(registry);
    EXPECT_TRUE(capture.warnings.isEmpty()) << capture.warnings.join(QLatin1Char('\n')).toStdString();

    const QvxDeviceModel *replaced = registry.find(1020, 20);
    ASSERT_NE(replaced, nullptr);
    EXPECT_EQ(replaced->name, QStringLiteral("AR-240 bench"));
    EXPECT_TRUE(replaced->external);
    const QvxDeviceModel *untouched = registry.find(1020, 53); // another key of the same model
    ASSERT_NE(untouched, nullptr);
    EXPECT_EQ(untouched->name, QStringLiteral("AR-240"));
    EXPECT_FALSE(untouched->external);
    const QvxDeviceModel *added = registry.find(60000, 1); // any file name, any suffix
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(added->name, QStringLiteral("Prototype"));
    EXPECT_TRUE(registry.visibleItemNames().contains(QStringLiteral("Bench Item")));
}

TEST(ModelRegistry, BadOverrideFilesCostOnlyThemselves)
{
    QvxModelRegistry reference;
    reference.load(kBuiltIn, false);

    WorkingFolder work;
    const QString notXml = work.writeOverride(QStringLiteral("readme.xml"), "Put your own descriptions here.\n");
    // Cut short: the built-in description of this key must survive it.
    work.writeOverride(QStringLiteral("cut.xml"), describe(1020, 0, QStringLiteral("cut")).left(60));
    const QString absurd = work.writeOverride(
        QStringLiteral("absurd.xml"),
        DescriptionFolder::withItems(QStringLiteral("Name=\"Absurd\" ModelNumber=\"61000\" HandJointPerFinger=\"99,-5\""
                                                    " Resolution=\"2147483647\""),
                                     QStringLiteral("<Item Address=\"99999999999\" Length=\"70000\" Name=\"Gear Ratio"
                                                    " Numerator\" Init=\"2147483647\" Sign=\"99999999999\"/>"
                                                    "<Category Name=\"Run\"><Item Address=\"2147483647\""
                                                    " Length=\"2147483647\" Name=\"{0}\" Continue=\"-2147483648~2147483647\"/>"
                                                    "</Category>")));
    work.writeOverride(QStringLiteral("good.xml"), describe(61001, 0, QStringLiteral("Good")));

    QvxModelRegistry registry;
    WarningCapture capture;
    loadLikeTheProgram(registry);

    // The start warns of the files it cannot read; what only building finds comes with the build.
    EXPECT_EQ(capture.warnings.size(), 2) << capture.warnings.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(capture.warnings.filter(notXml + QStringLiteral(" parse failed")).size() == 1);
    for (auto it = reference.models().cbegin(); it != reference.models().cend(); ++it) {
        const QvxDeviceModel *kept = registry.find(it.key().modelNumber, it.key().minimumVersion);
        ASSERT_NE(kept, nullptr) << it.value().name.toStdString();
        EXPECT_EQ(kept->name, it.value().name);
    }
    ASSERT_NE(registry.find(61001, 0), nullptr);
    const QvxDeviceModel *odd = registry.find(61000, 0);
    ASSERT_NE(odd, nullptr);
    EXPECT_EQ(capture.warnings.size(), 3) << capture.warnings.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(capture.warnings.filter(absurd + QStringLiteral(" category \"Run\"")).size(), 1);
    EXPECT_EQ(odd->handJointPerFinger, (QList<int>{4, 0, 0, 0, 0}));
    EXPECT_EQ(odd->categories.at(0).items.size(), QvxControlItem::kMaxRangeCount);
}

TEST(ModelRegistry, ModelsAreBuiltWhenFirstAskedForAndOnlyFromTheWinningFile)
{
    // A run without "~" costs a warning that only building finds: it shows when a file is built.
    auto describeWithRun = [](int modelNumber, const QString &name) {
        return describe(modelNumber, 0, name,
                        QStringLiteral("<Category Name=\"%1\"><Item Address=\"10\" Length=\"1\" Name=\"{0}\""
                                       " Continue=\"5\"/></Category>")
                            .arg(name));
    };
    auto built = [](const QString &path, const QString &name) {
        return path + QStringLiteral(" category \"%1\": range \"5\" has no \"~\", read as 5~5").arg(name);
    };
    DescriptionFolder first;
    const QString asked = first.write(QStringLiteral("asked.xml"), describeWithRun(1, QStringLiteral("Asked")));
    const QString unasked = first.write(QStringLiteral("unasked.xml"), describeWithRun(2, QStringLiteral("Unasked")));
    const QString gone = first.write(QStringLiteral("gone.xml"), describeWithRun(3, QStringLiteral("Gone")));
    first.write(QStringLiteral("replaced.xml"), describeWithRun(4, QStringLiteral("Replaced")));
    DescriptionFolder second;
    const QString winner = second.write(QStringLiteral("winner.xml"), describeWithRun(4, QStringLiteral("Winner")));

    QvxModelRegistry registry;
    WarningCapture capture;
    registry.load(first.path(), false);
    registry.load(second.path(), true);
    EXPECT_TRUE(capture.warnings.isEmpty()) << capture.warnings.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(registry.versions().keys(), (QList<quint16>{1, 2, 3, 4}));

    const QvxDeviceModel *model = registry.find(1, 0);
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->name, QStringLiteral("Asked"));
    EXPECT_EQ(capture.warnings, QStringList{built(asked, QStringLiteral("Asked"))});
    EXPECT_EQ(registry.find(1, 7), model); // kept: not built again
    EXPECT_EQ(capture.warnings.size(), 1);

    capture.warnings.clear();
    const QvxDeviceModel *replacement = registry.find(4, 0);
    ASSERT_NE(replacement, nullptr);
    EXPECT_EQ(replacement->name, QStringLiteral("Winner"));
    EXPECT_EQ(capture.warnings, QStringList{built(winner, QStringLiteral("Winner"))});

    // What needs every model builds the rest, each once; a file gone since the start costs its warning then.
    capture.warnings.clear();
    QFile::remove(gone);
    const QStringList names = registry.visibleItemNames();
    EXPECT_EQ(names, (QStringList{QStringLiteral("Asked 5"), QStringLiteral("Unasked 5"), QStringLiteral("Winner 5")}));
    EXPECT_EQ(capture.warnings,
              (QStringList{built(unasked, QStringLiteral("Unasked")), gone + QStringLiteral(" open failed")}));
    EXPECT_EQ(registry.find(3, 0), nullptr);
    EXPECT_EQ(registry.models().keys(), (QList<QvxModelKey>{{1, 0}, {2, 0}, {4, 0}}));
    EXPECT_EQ(registry.visibleItemNames(), names);
    EXPECT_EQ(capture.warnings.size(), 2);
}

TEST(ModelRegistry, VisibleItemNamesAreUniqueAndSortedByCodeUnit)
{
    DescriptionFolder folder;
    folder.write(QStringLiteral("a.xml"),
                 describe(1, 0, QStringLiteral("A"),
                          visible(QStringLiteral("torque"), 1) + visible(QStringLiteral("Torque Enable"), 2)
                              + visible(QStringLiteral("Secret"), 3, true) + visible(QStringLiteral("Zeta"), 4)));
    folder.write(QStringLiteral("b.xml"),
                 describe(2, 0, QStringLiteral("B"),
                          visible(QStringLiteral("Torque Enable"), 2, true) + visible(QStringLiteral("Secret"), 3)
                              + QStringLiteral("<Category Name=\"Slot\"><Item Address=\"10\" Length=\"1\""
                                               " Name=\"{0}\" Continue=\"1~2\"/></Category>")));
    folder.write(QStringLiteral("c.xml"), describe(3, 0, QStringLiteral("C"), visible(QStringLiteral("Hidden Only"), 1, true)));
    QvxModelRegistry registry;
    registry.load(folder.path(), false);
    EXPECT_EQ(registry.visibleItemNames(),
              (QStringList{QStringLiteral("Secret"), QStringLiteral("Slot 1"), QStringLiteral("Slot 2"),
                           QStringLiteral("Torque Enable"), QStringLiteral("Zeta"), QStringLiteral("torque")}));
}

TEST(ModelRegistry, ClearFreesEveryModelButKeepsTheVersionLists)
{
    QvxModelRegistry empty;
    EXPECT_EQ(empty.find(0, 0), nullptr);
    EXPECT_TRUE(empty.visibleItemNames().isEmpty());
    WarningCapture capture;
    empty.load(QStringLiteral("/nonexistent/folder"), false);
    EXPECT_TRUE(capture.warnings.isEmpty());

    QvxModelRegistry registry;
    registry.load(kBuiltIn, false);
    ASSERT_NE(registry.find(1020, 53), nullptr);
    registry.clear();
    EXPECT_EQ(registry.find(1020, 53), nullptr);
    EXPECT_EQ(registry.find(0, 0), nullptr);
    EXPECT_TRUE(registry.models().isEmpty());
    EXPECT_TRUE(registry.visibleItemNames().isEmpty());
    EXPECT_EQ(registry.versions().value(1020), (QList<int>{0, 53}));
}

TEST(ModelRegistry, ItemsHiddenBehindALaterItemAtTheirAddressAreFreedToo)
{
    // The sanitizer's leak check fails this test if the first item outlives the registry.
    DescriptionFolder folder;
    folder.write(QStringLiteral("a.xml"),
                 describe(1, 0, QStringLiteral("A"), visible(QStringLiteral("First"), 7) + visible(QStringLiteral("Second"), 7)));
    QvxModelRegistry registry;
    registry.load(folder.path(), false);
    const QvxDeviceModel *model = registry.find(1, 0);
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->itemsByAddress.size(), 1);
    EXPECT_EQ(model->items.size(), 2);
    registry.clear();
}

TEST(BuiltInDescriptions, LoadWithoutWarningsAndCoverEveryKind)
{
    QvxModelRegistry registry;
    QStringList names;
    WarningCapture capture;
    registry.load(kBuiltIn, &names, false);
    EXPECT_TRUE(capture.warnings.isEmpty()) << capture.warnings.join(QLatin1Char('\n')).toStdString();
    EXPECT_FALSE(names.isEmpty());

    QMap<QString, QSet<quint16>> modelsByKind;
    for (auto it = registry.models().cbegin(); it != registry.models().cend(); ++it) {
        const QvxDeviceModel &model = it.value();
        modelsByKind[model.type].insert(model.modelNumber);
        EXPECT_FALSE(model.items.isEmpty()) << model.name.toStdString();
        EXPECT_GT(model.tableSize, 0) << model.name.toStdString();
        EXPECT_LE(model.tableSize, 2020) << model.name.toStdString();
        EXPECT_NE(model.itemsByName.value(kItemModelNumber), nullptr) << model.name.toStdString();
        EXPECT_EQ(model.itemsByName.value(kItemModelNumber)->address, 0) << model.name.toStdString();
        EXPECT_NE(model.itemsByName.value(kItemBaudRateBus), nullptr) << model.name.toStdString();
        for (const QvxErrorCode &code : model.errorCodes)
            EXPECT_FALSE(code.name.isEmpty()) << model.name.toStdString();
    }
    EXPECT_GE(modelsByKind.value(kDeviceTypeProtocol2).size(), 2);
    EXPECT_GE(modelsByKind.value(kDeviceTypeProtocol1).size(), 1);
    EXPECT_GE(modelsByKind.value(kDeviceTypeModbus).size(), 1);
    ASSERT_GE(modelsByKind.value(kDeviceTypeController).size(), 1);
    for (quint16 board : modelsByKind.value(kDeviceTypeController))
        EXPECT_TRUE(kControllerModelNumbers.contains(board)) << board;

    // A protocol 2.0 servo with two descriptions that differ by minimum version.
    bool twoVersions = false;
    for (quint16 number : modelsByKind.value(kDeviceTypeProtocol2))
        twoVersions = twoVersions || registry.versions().value(number).size() >= 2;
    EXPECT_TRUE(twoVersions);

    // The fallback is entered under model number 0.
    const QvxDeviceModel *fallback = registry.find(0, 0);
    ASSERT_NE(fallback, nullptr);
    EXPECT_TRUE(fallback->cautionEn.startsWith(QStringLiteral("This device")));

    bool master = false;
    bool modbusCommands = false;
    bool indirect = false;
    for (const QvxDeviceModel &model : registry.models()) {
        if (model.isMaster) {
            master = true;
            EXPECT_EQ(model.baudRateBusAddress, model.itemsByName.value(kItemBaudRateBus)->address);
            EXPECT_NE(model.baudRateQvxAddress, 0);
        }
        if (model.type == kDeviceTypeModbus) {
            modbusCommands = model.modbusCommand != 0 && model.modbusResetRegister != 0;
            EXPECT_NE(model.itemsByName.value(kItemProtocolType), nullptr);
        }
        if (model.itemsByName.contains(kItemIndirectAddress + QStringLiteral(" 1"))
            && model.itemsByName.contains(kItemIndirectData + QStringLiteral(" 1")))
            indirect = true;
    }
    EXPECT_TRUE(master);
    EXPECT_TRUE(modbusCommands);
    EXPECT_TRUE(indirect);
}

TEST(BuiltInDescriptions, IndexMadeByTheBuildMatchesTheFilesCarried)
{
    QMap<QString, QvxModelKey> carried;
    QDirIterator it(kBuiltIn, QDir::Files);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
        const QvxDescriptionHeader header = readDescriptionHeader(file);
        EXPECT_TRUE(header.wellFormed && header.device) << path.toStdString();
        carried.insert(it.fileName(), header.key);
    }
    QMap<QString, QvxModelKey> indexed;
    for (int i = 0; i < kBuiltInDescriptionCount; ++i)
        indexed.insert(QString::fromLatin1(kBuiltInDescriptions[i].fileName),
                       {kBuiltInDescriptions[i].modelNumber, kBuiltInDescriptions[i].minimumVersion});
    EXPECT_EQ(indexed.keys(), carried.keys());
    EXPECT_TRUE(indexed == carried);
}

TEST(BuiltInDescriptions, ServosHaveTheItemsTheDeviceOperationsLookUp)
{
    QvxModelRegistry registry;
    registry.load(kBuiltIn, false);
    const QStringList everyServo{kItemModelNumber, kItemTorqueEnable, kItemPresentPosition, kItemGoalPosition,
                                 kItemPresentInputVoltage};
    for (const QvxDeviceModel &model : registry.models()) {
        const bool servo = model.type == kDeviceTypeProtocol1 || model.type == kDeviceTypeProtocol2
                        || model.type == kDeviceTypeModbus;
        if (!servo || model.isMaster) // a master hand has joints, not one position
            continue;
        for (const QString &name : everyServo)
            EXPECT_NE(model.itemsByName.value(name), nullptr) << model.name.toStdString() << ": " << name.toStdString();
        EXPECT_FALSE(model.firmwarePath.isEmpty()) << model.name.toStdString();
        EXPECT_NE(model.latestFirmwareVersion, 0) << model.name.toStdString();
        EXPECT_FALSE(model.modes.isEmpty()) << model.name.toStdString();
        // Labels of enumerated items cover their range, so every value has a name.
        for (const QvxControlItem *item : model.itemsByAddress) {
            if (item->ui == 2 || item->ui == 3) {
                EXPECT_EQ(item->labels.size(), item->max.toInt() - item->min.toInt() + 1)
                    << model.name.toStdString() << ": " << item->name.toStdString();
            }
        }
    }
}
