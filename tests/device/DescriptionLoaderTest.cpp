// Reading description files: attribute kinds, hands, categories and numbered
// runs, the name sink, derived members, the warnings for bad files, and the
// limits on absurd ranges.
#include "device/DeviceConstants.h"
#include "device/QvxDescriptionHeader.h"
#include "device/QvxDescriptionReader.h"
#include "device/QvxModelRegistry.h"
#include "tests/device/DescriptionFolder.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/WarningCapture.h"

#include <QBuffer>
#include <QDir>
#include <QDirIterator>
#include <QDomDocument>
#include <QFile>
#include <QMap>

#include <gtest/gtest.h>

#include <functional>

namespace {

// Loads one description file; the registry and the warnings stay for inspection.
class OneFile
{
public:
    explicit OneFile(const QByteArray &content)
    {
        m_path = m_folder.write(QStringLiteral("model.xml"), content);
        WarningCapture capture;
        registry.load(m_folder.path(), &names, false);
        warnings = capture.warnings;
    }

    const QvxDeviceModel &model() const
    {
        static const QvxDeviceModel none;
        return registry.models().isEmpty() ? none : registry.models().first();
    }
    QvxControlItem *item(const QString &name) const { return model().itemsByName.value(name); }
    QString path() const { return m_path; }

    QvxModelRegistry registry;
    QStringList names;
    QStringList warnings;

private:
    DescriptionFolder m_folder;
    QString m_path;
};

QString item(const QString &attributes)
{
    return QStringLiteral("<Item %1/>").arg(attributes);
}

} // namespace

TEST(DescriptionLoading, AttributeKindsTellAbsentFromEmptyAndWrapOrReject)
{
    using Get = std::function<double(const OneFile &)>;
    const Get rw = [](const OneFile &f) { return f.item(QStringLiteral("X"))->rw; };
    const Get memory = [](const OneFile &f) { return f.item(QStringLiteral("X"))->memory; };
    const Get address = [](const OneFile &f) { return f.item(QStringLiteral("X"))->address; };
    const Get sign = [](const OneFile &f) { return f.item(QStringLiteral("X"))->sign; };
    const Get init = [](const OneFile &f) { return f.item(QStringLiteral("X"))->init; };
    const Get hidden = [](const OneFile &f) { return f.item(QStringLiteral("X"))->hidden; };
    const Get modelNumber = [](const OneFile &f) { return f.model().modelNumber; };
    const Get angle = [](const OneFile &f) { return f.model().angleRange; };
    const Get reset = [](const OneFile &f) { return f.model().modbusResetRegister; };
    const Get temperatureMax = [](const OneFile &f) { return f.model().temperatureMax; };
    const Get temperatureMin = [](const OneFile &f) { return f.model().temperatureMin; };
    const Get recommended = [](const OneFile &f) { return f.model().voltageRecommended; };

    struct Case
    {
        const char *what;
        QString device;
        QString body;
        Get get;
        double expected;
    };
    const QString plain = QStringLiteral("ModelNumber=\"7\"");
    auto items = [](const QString &attributes) {
        return QStringLiteral("<ControlItems><Item Name=\"X\" %1/></ControlItems>").arg(attributes);
    };
    const Case cases[] = {
        {"RW absent is 1", plain, items(QString()), rw, 1},
        {"RW empty is 0", plain, items(QStringLiteral("RW=\"\"")), rw, 0},
        {"Memory keeps its low byte", plain, items(QStringLiteral("Memory=\"257\"")), memory, 1},
        {"Address 65536 is 0", plain, items(QStringLiteral("Address=\"65536\"")), address, 0},
        {"Address 65535 stays", plain, items(QStringLiteral("Address=\"65535\"")), address, 65535},
        {"Address -1 is 0", plain, items(QStringLiteral("Address=\"-1\"")), address, 0},
        {"Sign above 32 bits is 0", plain, items(QStringLiteral("Sign=\"4294967296\"")), sign, 0},
        {"Sign 4294967295 stays", plain, items(QStringLiteral("Sign=\"4294967295\"")), sign, 4294967295.0},
        {"Sign -1 is 0", plain, items(QStringLiteral("Sign=\"-1\"")), sign, 0},
        {"Init beyond int is 0", plain, items(QStringLiteral("Init=\"2147483648\"")), init, 0},
        {"Init -2147483648 stays", plain, items(QStringLiteral("Init=\"-2147483648\"")), init, -2147483648.0},
        {"flag from any nonzero number", plain, items(QStringLiteral("Hidden=\"2\"")), hidden, 1},
        {"flag from a word is false", plain, items(QStringLiteral("Hidden=\"true\"")), hidden, 0},
        {"ModelNumber -1 is 0", QStringLiteral("ModelNumber=\"-1\""), QString(), modelNumber, 0},
        {"ModelNumber 65536 is 0", QStringLiteral("ModelNumber=\"65536\""), QString(), modelNumber, 0},
        {"ModelNumber 65535 stays", QStringLiteral("ModelNumber=\"65535\""), QString(), modelNumber, 65535},
        {"AngleRange absent is 360", plain, QString(), angle, 360},
        {"AngleRange empty is 0", plain + QStringLiteral(" AngleRange=\"\""), QString(), angle, 0},
        {"AngleRange is real", plain + QStringLiteral(" AngleRange=\"300.5\""), QString(), angle, 300.5},
        {"Reset register keeps its low 16 bits", plain,
         QStringLiteral("<ModbusCommand Reset=\"65537\"/>"), reset, 1},
        {"Temperature without Max keeps 80", plain,
         QStringLiteral("<Diagnosis><Temperature Min=\"-7\"/></Diagnosis>"), temperatureMax, 80},
        {"Temperature Min is read", plain,
         QStringLiteral("<Diagnosis><Temperature Min=\"-7\"/></Diagnosis>"), temperatureMin, -7},
        {"no Diagnosis keeps the defaults", plain, QString(), recommended, 120},
        {"later Diagnosis child of a name wins", plain,
         QStringLiteral("<Diagnosis><Voltage Recommand=\"90\"/><Voltage Recommand=\"95\"/></Diagnosis>"),
         recommended, 95},
    };
    for (const Case &c : cases) {
        const OneFile file(DescriptionFolder::device(c.device, c.body));
        ASSERT_EQ(file.registry.models().size(), 1) << c.what;
        if (!c.body.contains(QStringLiteral("Item")) || file.item(QStringLiteral("X")))
            EXPECT_EQ(c.get(file), c.expected) << c.what;
        else
            ADD_FAILURE() << c.what << ": item missing";
        EXPECT_TRUE(file.warnings.isEmpty()) << c.what;
    }
}

TEST(DescriptionLoading, HandJointPerFingerKeepsFiveFingersOfAtMostFourJoints)
{
    struct Case
    {
        const char *attribute; // null: absent
        QList<int> joints;
        int fingers;
        int sum;
    };
    const Case cases[] = {
        {nullptr, {4, 4, 4, 4, 4}, 5, 20},
        {"", {4, 4, 4, 4, 4}, 5, 20},
        {"4,0,3,0,4", {4, 0, 3, 0, 4}, 3, 11},
        {"9", {4, 0, 0, 0, 0}, 1, 4},
        {"-2,x", {0, 0, 0, 0, 0}, 0, 0},
        {" 2 ,,3", {2, 3, 0, 0, 0}, 2, 5},
        {"1,2,3,4,4,4", {1, 2, 3, 4, 4}, 5, 14},
    };
    for (const Case &c : cases) {
        QString attributes = QStringLiteral("ModelNumber=\"9\"");
        if (c.attribute)
            attributes += QStringLiteral(" HandJointPerFinger=\"%1\"").arg(QLatin1String(c.attribute));
        const OneFile file(DescriptionFolder::device(attributes));
        const QvxDeviceModel &model = file.model();
        EXPECT_EQ(model.handJointPerFinger, c.joints) << (c.attribute ? c.attribute : "absent");
        EXPECT_EQ(model.fingerCount, c.fingers) << (c.attribute ? c.attribute : "absent");
        EXPECT_EQ(model.jointSum, c.sum) << (c.attribute ? c.attribute : "absent");
    }
}

TEST(DescriptionLoading, CategoriesPrefixTheirItemsAndRangesNumberThem)
{
    const OneFile file(DescriptionFolder::withItems(
        QStringLiteral("ModelNumber=\"1\""),
        QStringLiteral(
            "<Item Address=\"0\" Length=\"2\" Name=\"Model Number\"/>"
            "<Category Name=\"Indirect Address\">"
            "  <Item Address=\"168\" Length=\"2\" Name=\"{0}\" Continue=\"1~28\" Label=\"A{0}\" Min=\"0\" Max=\"1\""
            "        Unit=\"ms\" Scale=\"2\" Sign=\"128\" Hidden=\"1\"/>"
            "</Category>"
            "<Category Name=\"Indirect Data\">"
            "  <Item Address=\"224\" Length=\"1\" Name=\"{0}\" Continue=\"1~28\" RW=\"3\" Memory=\"2\" UI=\"1\"/>"
            "</Category>"
            "<Category Name=\"Error History\"><Item Address=\"300\" Length=\"1\" Name=\"Count\"/></Category>"
            "<Category Name=\"Port Setup\" HidePrefix=\"1\">"
            "  <Item Address=\"400\" Length=\"1\" Name=\"Port {0} Mode\" Continue=\"1~3\"/>"
            "  <Item Address=\"410\" Length=\"1\" Name=\"Servo Power\"/>"
            "</Category>"
            "<Category Name=\"Mixed\">"
            "  <Item Address=\"500\" Length=\"1\" Name=\"X{0}\" Continue=\"1~2\"/>"
            "  <Item Address=\"510\" Length=\"1\" Name=\"After\"/>"
            "</Category>"
            "<Category Name=\"Backwards\"><Item Address=\"600\" Name=\"{0}\" Continue=\"5~3\"/></Category>"
            "<Category Name=\"Same\"><Item Address=\"700\" Length=\"1\" Name=\"fixed\" Continue=\"1~2\"/></Category>"
            "<Unknown Address=\"800\"/>")));
    const QvxDeviceModel &model = file.model();
    ASSERT_EQ(model.categories.size(), 7);
    QStringList categoryNames;
    for (const QvxItemCategory &category : model.categories)
        categoryNames << category.name;
    EXPECT_EQ(categoryNames,
              (QStringList{QStringLiteral("Indirect Address 1~28"), QStringLiteral("Indirect Data 1~28"),
                           QStringLiteral("Error History"), QStringLiteral("Port Setup 1~3"),
                           QStringLiteral("Mixed 1~2"), QStringLiteral("Backwards 5~3"), QStringLiteral("Same 1~2")}));

    struct Expected
    {
        const char *name;
        int address;
    };
    const Expected expected[] = {
        {"Indirect Address 1", 168}, {"Indirect Address 28", 222}, {"Indirect Data 1", 224},
        {"Indirect Data 28", 251},   {"Error History Count", 300}, {"Port 2 Mode", 401},
        {"Servo Power", 410},        {"Mixed X1", 500},            {"Mixed 1~2 After", 510},
    };
    for (const Expected &e : expected) {
        const QvxControlItem *found = file.item(QString::fromLatin1(e.name));
        ASSERT_NE(found, nullptr) << e.name;
        EXPECT_EQ(found->address, e.address) << e.name;
    }
    EXPECT_EQ(model.categories.at(0).items.size(), 28);
    EXPECT_TRUE(model.categories.at(5).items.isEmpty());
    EXPECT_EQ(model.categories.at(6).items.size(), 2);
    EXPECT_EQ(model.categories.at(6).items.at(1)->name, QStringLiteral("Same fixed"));
    EXPECT_EQ(model.itemsByName.size(), 1 + 28 + 28 + 1 + 3 + 1 + 2 + 1 + 1); // "Same fixed" twice, one entry
    EXPECT_EQ(model.items.size(), 1); // the unknown element is skipped

    // A numbered item takes only the run's own attributes; of the derived lists only the labels.
    const QvxControlItem *slot = file.item(QStringLiteral("Indirect Address 3"));
    EXPECT_EQ(slot->labels, (QStringList{QStringLiteral("A0"), QStringLiteral("A1")}));
    EXPECT_EQ(slot->sign, 0u);
    EXPECT_FALSE(slot->hidden);
    EXPECT_TRUE(slot->unit.isEmpty());
    EXPECT_TRUE(slot->units.isEmpty());
    EXPECT_TRUE(slot->mins.isEmpty());
    const QvxControlItem *data = file.item(QStringLiteral("Indirect Data 2"));
    EXPECT_EQ(data->rw, 3);
    EXPECT_EQ(data->memory, 2);
    EXPECT_EQ(data->ui, 1);
    EXPECT_EQ(data->length, 1);
    EXPECT_EQ(model.itemsByLowerName.value(QStringLiteral("indirect data 2")), data);
    // A plain item gets its lists, one empty entry for an empty text.
    const QvxControlItem *count = file.item(QStringLiteral("Error History Count"));
    EXPECT_EQ(count->units, QStringList{QString()});
    EXPECT_EQ(count->labels, QStringList{QString()});
    EXPECT_TRUE(file.warnings.isEmpty()) << file.warnings.join(QLatin1Char('\n')).toStdString();
}

// A run's name is numbered only where it holds a place marker ("%" or "%L" and
// a digit, "{0}" being one); any other "%" stays as it is on every item.
TEST(DescriptionLoading, RunNamesAreNumberedOnlyAtAPlaceMarker)
{
    const struct
    {
        const char *name;
        const char *second; // the name of the run's second item, number 8
    } cases[] = {
        {"Gain {0}", "Gain 8"}, {"Gain %1", "Gain 8"},   {"Gain %L1", "Gain 8"}, {"A%%1", "A%8"},
        {"50%", "50%"},         {"%L", "%L"},             {"x%Lz1", "x%Lz1"},     {"% 1", "% 1"},
        {"End %", "End %"},     {"{0}%", "8%"},
    };
    for (const auto &c : cases) {
        const OneFile file(DescriptionFolder::withItems(
            QStringLiteral("ModelNumber=\"1\""),
            QStringLiteral("<Category Name=\"Run\" HidePrefix=\"1\">"
                           "<Item Address=\"10\" Length=\"1\" Name=\"%1\" Continue=\"7~8\"/></Category>")
                .arg(QLatin1String(c.name))));
        ASSERT_EQ(file.model().categories.size(), 1) << c.name;
        ASSERT_EQ(file.model().categories.at(0).items.size(), 2) << c.name;
        EXPECT_EQ(file.model().categories.at(0).items.at(1)->name, QLatin1String(c.second)) << c.name;
    }
}

TEST(DescriptionLoading, RunWithoutTildeMakesOneItemAndSaysSo)
{
    const OneFile file(DescriptionFolder::withItems(
        QStringLiteral("ModelNumber=\"1\""),
        QStringLiteral("<Category Name=\"Slot\"><Item Address=\"10\" Length=\"1\" Name=\"{0}\" Continue=\"5\"/>"
                       "</Category>")));
    ASSERT_NE(file.item(QStringLiteral("Slot 5")), nullptr);
    EXPECT_EQ(file.model().categories.at(0).items.size(), 1);
    EXPECT_EQ(file.warnings,
              QStringList{file.path() + QStringLiteral(" category \"Slot\": range \"5\" has no \"~\", read as 5~5")});
}

TEST(DescriptionLoading, NameSinkTakesVisiblePlainItemsOnce)
{
    DescriptionFolder folder;
    folder.write(QStringLiteral("a.xml"),
                 DescriptionFolder::withItems(
                     QStringLiteral("ModelNumber=\"1\""),
                     item(QStringLiteral("Address=\"64\" Length=\"1\" Name=\"Torque Enable\""))
                         + item(QStringLiteral("Address=\"65\" Length=\"1\" Name=\"LED\""))
                         + item(QStringLiteral("Address=\"66\" Length=\"1\" Name=\"Secret\" Hidden=\"1\""))
                         + QStringLiteral("<Category Name=\"Slot\"><Item Address=\"70\" Length=\"1\" Name=\"{0}\""
                                          " Continue=\"1~2\"/></Category>")));
    folder.write(QStringLiteral("b.xml"),
                 DescriptionFolder::withItems(
                     QStringLiteral("ModelNumber=\"2\""),
                     item(QStringLiteral("Address=\"64\" Length=\"1\" Name=\"Torque Enable\""))
                         + item(QStringLiteral("Address=\"65\" Length=\"1\" Name=\"Led\""))));
    QvxModelRegistry registry;
    QStringList names{QStringLiteral("LED")}; // the sink may already hold names
    registry.load(folder.path(), &names, false);
    names.sort();
    EXPECT_EQ(names, (QStringList{QStringLiteral("LED"), QStringLiteral("Led"), QStringLiteral("Torque Enable")}));

    // The plain overload hands the loader no sink: nothing to collect, nothing breaks.
    QvxModelRegistry plain;
    plain.load(folder.path(), false);
    EXPECT_EQ(plain.models().size(), 2);
}

TEST(DescriptionLoading, GearRatioNumeratorMultipliesTheResolution)
{
    struct Case
    {
        const char *what;
        QString items;
        int resolution;
    };
    const QString numerator = QStringLiteral("<Item Address=\"14\" Length=\"2\" Name=\"Gear Ratio Numerator\" Init=\"%1\"/>");
    const Case cases[] = {
        {"top-level item", numerator.arg(3), 3 * 4096},
        {"category that hides its prefix",
         QStringLiteral("<Category Name=\"Gear\" HidePrefix=\"1\">%1</Category>").arg(numerator.arg(5)), 5 * 4096},
        {"prefixed category renames it", QStringLiteral("<Category Name=\"Gear\">%1</Category>").arg(numerator.arg(5)),
         4096},
        {"each such item multiplies", numerator.arg(2) + numerator.arg(3), 6 * 4096},
        {"32-bit wrap", numerator.arg(1048576), 0},
    };
    for (const Case &c : cases) {
        const OneFile file(DescriptionFolder::withItems(QStringLiteral("ModelNumber=\"1\" Resolution=\"4096\""),
                                                        c.items));
        EXPECT_EQ(file.model().resolution, c.resolution) << c.what;
    }
}

TEST(DescriptionLoading, TableSizeIsHighestAddressPlusItsLengthIn16Bits)
{
    auto at = [](int address, int length) {
        return QStringLiteral("<Item Name=\"A%1\" Address=\"%1\" Length=\"%2\"/>").arg(address).arg(length);
    };
    struct Case
    {
        const char *what;
        QString items;
        int tableSize;
    };
    const Case cases[] = {
        {"no items", QString(), 0},
        {"all at address 0", at(0, 4) + at(0, 2), 0},
        {"highest item decides, wherever it stands", at(132, 4) + at(0, 2) + at(64, 1), 136},
        {"first item at the highest address keeps its length", at(10, 4) + at(10, 1), 14},
        {"wraps at 16 bits", at(65535, 2), 1},
        {"numbered items count too",
         at(10, 1) + QStringLiteral("<Category Name=\"S\"><Item Address=\"20\" Length=\"2\" Name=\"{0}\""
                                    " Continue=\"1~3\"/></Category>"),
         26},
    };
    for (const Case &c : cases) {
        const OneFile file(DescriptionFolder::withItems(QStringLiteral("ModelNumber=\"1\""), c.items));
        EXPECT_EQ(file.model().tableSize, c.tableSize) << c.what;
    }
}

TEST(DescriptionLoading, LaterItemAtAnAddressOrNameWinsTheMapsBothStayListed)
{
    const OneFile file(DescriptionFolder::withItems(
        QStringLiteral("ModelNumber=\"1\""),
        item(QStringLiteral("Address=\"10\" Length=\"1\" Name=\"First\""))
            + item(QStringLiteral("Address=\"10\" Length=\"1\" Name=\"Second\""))
            + item(QStringLiteral("Address=\"11\" Length=\"1\" Name=\"second\""))));
    const QvxDeviceModel &model = file.model();
    EXPECT_EQ(model.items.size(), 3);
    EXPECT_EQ(model.itemsByAddress.value(10)->name, QStringLiteral("Second"));
    EXPECT_EQ(model.itemsByName.size(), 3);
    EXPECT_EQ(model.itemsByLowerName.value(QStringLiteral("second"))->address, 11);
    EXPECT_TRUE(model.itemNamesDifferInCaseOnly); // "Second" and "second"
}

TEST(DescriptionLoading, NamesThatDifferInCaseOnlyAreNoted)
{
    const OneFile same(DescriptionFolder::withItems(
        QStringLiteral("ModelNumber=\"1\""),
        item(QStringLiteral("Address=\"10\" Length=\"1\" Name=\"Speed\""))
            + item(QStringLiteral("Address=\"10\" Length=\"1\" Name=\"Speed\""))
            + item(QStringLiteral("Address=\"11\" Length=\"1\" Name=\"Present Speed\""))));
    EXPECT_FALSE(same.model().itemNamesDifferInCaseOnly) << "one name twice is no pair in case only";
    const OneFile cased(DescriptionFolder::withItems(
        QStringLiteral("ModelNumber=\"1\""),
        item(QStringLiteral("Address=\"10\" Length=\"1\" Name=\"LED\""))
            + item(QStringLiteral("Address=\"11\" Length=\"1\" Name=\"Led\""))));
    EXPECT_TRUE(cased.model().itemNamesDifferInCaseOnly);
}

TEST(DescriptionLoading, LastEnabledReleaseGivesLatestVersionAndImagePath)
{
    auto release = [](int version, const char *file, bool enable, bool encrypt) {
        return QStringLiteral("<Release Version=\"%1\" FileName=\"%2\" Enable=\"%3\" Encrypt=\"%4\" Date=\"d\""
                              " Note=\"n\"/>")
            .arg(version)
            .arg(QLatin1String(file))
            .arg(enable ? 1 : 0)
            .arg(encrypt ? 1 : 0);
    };
    struct Case
    {
        const char *what;
        QString releases;
        int version;
        const char *path;
    };
    const Case cases[] = {
        {"document order, not version order", release(45, "A_45", true, false) + release(44, "A_44", true, false),
         44, ":/fw/assets/fw/A_44.bin"},
        {"disabled releases do not count", release(45, "A_45", true, true) + release(46, "A_46", false, false), 45,
         ":/fw/assets/fw/A_45.ecp"},
        {"empty file name", release(3, "", true, false), 3, ":/fw/assets/fw/.bin"},
        {"version keeps its low byte", release(300, "A", true, false), 44, ":/fw/assets/fw/A.bin"},
        {"none enabled", release(7, "A", false, false), 0, ""},
    };
    for (const Case &c : cases) {
        const OneFile file(DescriptionFolder::device(
            QStringLiteral("ModelNumber=\"1\""),
            QStringLiteral("<ReleaseNotes MinimumVersion=\"9\">%1</ReleaseNotes>").arg(c.releases)));
        EXPECT_EQ(file.model().latestFirmwareVersion, c.version) << c.what;
        EXPECT_EQ(file.model().firmwarePath, QString::fromLatin1(c.path)) << c.what;
    }
    const OneFile both(DescriptionFolder::device(
        QStringLiteral("ModelNumber=\"1\""),
        QStringLiteral("<ReleaseNotes>%1</ReleaseNotes>").arg(release(5, "X", true, true))));
    ASSERT_EQ(both.model().releaseNotes.size(), 1);
    const QvxReleaseNote &note = both.model().releaseNotes.first();
    EXPECT_EQ(note.version, 5);
    EXPECT_EQ(note.fileName, QStringLiteral("X"));
    EXPECT_EQ(note.date, QStringLiteral("d"));
    EXPECT_EQ(note.note, QStringLiteral("n"));
    EXPECT_TRUE(note.enable);
    EXPECT_TRUE(note.encrypt);
}

TEST(DescriptionLoading, MasterModelNotesItsBaudRateAddresses)
{
    const QString bauds = item(QStringLiteral("Address=\"8\" Length=\"1\" Name=\"Baud Rate (Bus)\""))
                        + item(QStringLiteral("Address=\"10\" Length=\"1\" Name=\"Baud Rate (QVX)\""));
    struct Case
    {
        const char *what;
        QString device;
        QString items;
        int bus;
        int qvx;
    };
    const Case cases[] = {
        {"master", QStringLiteral("ModelNumber=\"1\" IsMaster=\"1\""), bauds, 8, 10},
        {"not a master", QStringLiteral("ModelNumber=\"1\""), bauds, 0, 0},
        {"master without the items", QStringLiteral("ModelNumber=\"1\" IsMaster=\"1\""),
         item(QStringLiteral("Address=\"8\" Length=\"1\" Name=\"Baud Rate\"")), 0, 0},
        {"prefixed names do not count", QStringLiteral("ModelNumber=\"1\" IsMaster=\"1\""),
         QStringLiteral("<Category Name=\"Comm\">%1</Category>").arg(bauds), 0, 0},
    };
    for (const Case &c : cases) {
        const OneFile file(DescriptionFolder::withItems(c.device, c.items));
        EXPECT_EQ(file.model().baudRateBusAddress, c.bus) << c.what;
        EXPECT_EQ(file.model().baudRateQvxAddress, c.qvx) << c.what;
    }
}

TEST(DescriptionLoading, SectionsAreTakenFromTheFirstDirectChildOfTheirName)
{
    const OneFile file(DescriptionFolder::device(
        QStringLiteral("Name=\"M\" BootLoaderName=\"BL\" ModelNumber=\"4\" Type=\"QuorvexM\" MinimumVersion=\"3\""
                       " ModbusCommand=\"1\" MasterIdAddr=\"\" Easy=\"2\" SupportsAiHands=\"1\""),
        QStringLiteral(
            "<ControlItems><Item Address=\"1\" Length=\"1\" Name=\"A\"/></ControlItems>"
            "<ControlItems><Item Address=\"2\" Length=\"1\" Name=\"B\"/></ControlItems>"
            "<Modes><Mode Name=\"Joint\" Set=\"addr6=0,addr8=1023\" Condition=\"addr8!=0\"/><Mode/></Modes>"
            "<ErrorCodes><ErrorCode Code=\"0016\" Name=\"Overload\"/></ErrorCodes>"
            "<Multiturn Min=\"-256\" Max=\"255\"/>"
            "<ModbusCommand Reset=\"512\" Reboot=\"514\" Clear=\"516\" Backup=\"518\" BootEntry=\"520\"/>"
            "<Diagnosis><Dump Address=\"0\" Length=\"64\"/><Log Address=\"120\" Length=\"28\"/>"
            "  <Position Threshold=\"20\"/><Velocity RPM=\"57.5\" Voltage=\"12\"/></Diagnosis>"
            "<Restoration><Caution En=\"nested\" Kr=\"nested\"/></Restoration>"
            "<Caution En=\"Careful\" Kr=\"주의\"/>"
            "<Wrapper><Modes><Mode Name=\"Deep\"/></Modes></Wrapper>")));
    const QvxDeviceModel &m = file.model();
    EXPECT_EQ(m.name, QStringLiteral("M"));
    EXPECT_EQ(m.bootLoaderName, QStringLiteral("BL"));
    EXPECT_EQ(m.type, kDeviceTypeModbus);
    EXPECT_EQ(m.minimumVersion, 3);
    EXPECT_EQ(m.modbusCommand, 1);
    EXPECT_EQ(m.masterIdAddr, 0);
    EXPECT_EQ(m.easy, 2);
    EXPECT_TRUE(m.supportsAiHands);
    EXPECT_FALSE(m.external);
    EXPECT_NE(m.itemsByName.value(QStringLiteral("A")), nullptr);
    EXPECT_EQ(m.itemsByName.value(QStringLiteral("B")), nullptr);
    ASSERT_EQ(m.modes.size(), 2);
    EXPECT_EQ(m.modes.at(0).set, QStringLiteral("addr6=0,addr8=1023"));
    EXPECT_EQ(m.modes.at(0).condition, QStringLiteral("addr8!=0"));
    EXPECT_TRUE(m.modes.at(1).name.isEmpty());
    ASSERT_EQ(m.errorCodes.size(), 1);
    EXPECT_EQ(m.errorCodes.at(0).code, QStringLiteral("0016"));
    EXPECT_EQ(m.multiturnMin, -256);
    EXPECT_EQ(m.multiturnMax, 255);
    EXPECT_EQ(m.modbusRebootRegister, 514);
    EXPECT_EQ(m.modbusBootEntryRegister, 520);
    EXPECT_EQ(m.dumpLength, 64);
    EXPECT_EQ(m.logAddress, 120);
    EXPECT_EQ(m.positionThreshold, 20);
    EXPECT_DOUBLE_EQ(m.velocityRpm, 57.5);
    EXPECT_EQ(m.cautionEn, QStringLiteral("Careful"));
    EXPECT_EQ(m.cautionKr, QStringLiteral("주의"));
}

TEST(DescriptionLoading, BadFilesCostOneExactWarningEachAndNothingElse)
{
    DescriptionFolder folder;
    folder.write(QStringLiteral("good.xml"), DescriptionFolder::device(QStringLiteral("ModelNumber=\"1\"")));
    const QByteArray note = "Remember to recalibrate.\n";
    const QString notePath = folder.write(QStringLiteral("notes.txt"), note);
    const QByteArray broken = "<?xml version=\"1.0\"?>\n<Device ModelNumber=\"2\">\n  <ControlItems>\n</Device>\n";
    const QString brokenPath = folder.write(QStringLiteral("broken.xml"), broken);
    folder.write(QStringLiteral("config.xml"), "<Config ModelNumber=\"3\"/>"); // another kind of file: skipped
    QDir(folder.path()).mkdir(QStringLiteral("nested.xml"));                    // folders are not entered

    // The parser's own words and position, as the loader must pass them on.
    auto parseWarning = [](const QString &path, const QByteArray &content) {
        QDomDocument document;
        QString message;
        int line = 0;
        int column = 0;
        const bool parsed = document.setContent(content, &message, &line, &column);
        EXPECT_FALSE(parsed);
        return QStringLiteral("%1 parse failed, line: %2, col: %3, %4").arg(path).arg(line).arg(column).arg(message);
    };

    QvxModelRegistry registry;
    WarningCapture capture;
    registry.load(folder.path(), false);
    QStringList warnings = capture.warnings;
    warnings.sort();
    QStringList expected{parseWarning(brokenPath, broken), parseWarning(notePath, note)};
    expected.sort();
    EXPECT_EQ(warnings, expected);
    EXPECT_EQ(registry.models().keys(), QList<QvxModelKey>{(QvxModelKey{1, 0})});
}

TEST(DescriptionLoading, BrokenFilesWarnAtLoadInTheParsersWordsWhetherBuiltThenOrLater)
{
    // A "Device" with a run too long to make: were the file built before its
    // fault shows, that would warn too.
    const QByteArray longRun = "<Device ModelNumber=\"9\"><ControlItems><Category Name=\"S\"><Item Address=\"1\""
                               " Length=\"1\" Name=\"{0}\" Continue=\"1~99999\"/></Category></ControlItems>";
    const QByteArray cases[] = {
        "",
        "   \n",
        "plain words",
        "<?xml version=\"1.0\"?>",
        longRun,
        longRun + "</Device><Device/>",
        longRun + "</Device>trailing",
        longRun + "</Ctrl></Device>",
        "<!DOCTYPE Device><!DOCTYPE Device><Device ModelNumber=\"1\"/>",
        "<Device ModelNumber=\"1\"><ControlItems><!DOCTYPE Device></ControlItems></Device>",
        "<Device ModelNumber=\"1\"/><!DOCTYPE Device>",
        "<Device ModelNumber=\"1\" ModelNumber=\"2\"/>",
        "<Device ModelNumber=\"1\">&undeclared;</Device>",
        "<Device ModelNumber=\"1\">\x01</Device>",
        "<?xml version=\"2.0\"?><Device/>",
        "<Config><Device ModelNumber=\"1\"></Config>",
        "<Device ModelNumber=\"1\"><ControlItems><Item Name=\"A\" Address=\"1\"/>\n<Item Name=\"B\"",
    };
    for (const QByteArray &content : cases) {
        // What the document builder says of it: the loader's warning, word for word.
        QDomDocument document;
        QString message;
        int line = 0;
        int column = 0;
        ASSERT_FALSE(document.setContent(content, &message, &line, &column)) << content.toStdString();
        for (bool withSink : {false, true}) {
            DescriptionFolder folder;
            const QString path = folder.write(QStringLiteral("broken.xml"), content);
            QvxModelRegistry registry;
            QStringList names;
            WarningCapture capture;
            registry.load(folder.path(), withSink ? &names : nullptr, false);
            EXPECT_EQ(capture.warnings, QStringList{QStringLiteral("%1 parse failed, line: %2, col: %3, %4")
                                                        .arg(path)
                                                        .arg(line)
                                                        .arg(column)
                                                        .arg(message)})
                << content.toStdString() << (withSink ? " (built at once)" : "");
            EXPECT_TRUE(registry.models().isEmpty()) << content.toStdString();
            EXPECT_TRUE(registry.versions().isEmpty()) << content.toStdString();
            EXPECT_TRUE(names.isEmpty()) << content.toStdString();
            EXPECT_EQ(capture.warnings.size(), 1) << content.toStdString();
        }
    }
}

namespace {

// A description of model 5 that is `size` bytes long, its lines ended by `lineEnd`.
QByteArray descriptionOfSize(qint64 size, const QByteArray &lineEnd)
{
    const QByteArray head = "<Device ModelNumber=\"5\">" + lineEnd + "<!-- ";
    const QByteArray tail = " -->" + lineEnd + "</Device>" + lineEnd;
    return head + QByteArray(size - head.size() - tail.size(), 'x') + tail;
}

} // namespace

TEST(DescriptionLoading, FilesBeyondTheBoundsOfAStartAreRefusedWhetherBuiltThenOrLater)
{
    struct Case
    {
        const char *what;
        QByteArray content;
        QString refusal; // empty: model 5 loads without a word
    };
    const QString entity = QStringLiteral("an entity declaration (line %1, column %2)");
    const QByteArray large(4000, 'x');
    const Case cases[] = {
        {"an internal entity", "<!DOCTYPE Device [<!ENTITY n \"5\">]><Device ModelNumber=\"&n;\"/>",
         entity.arg(1).arg(35)},
        {"4,000 characters referred to 16,000 times",
         "<!DOCTYPE Device [<!ENTITY e \"" + large + "\">]><Device ModelNumber=\"5\" Name=\""
             + QByteArray("&e;").repeated(16'000) + "\"/>",
         entity.arg(1).arg(4034)},
        {"a parameter entity", "<!DOCTYPE Device [<!ENTITY % p \"x\">]><Device ModelNumber=\"5\"/>",
         entity.arg(1).arg(37)},
        {"an external entity",
         "<!DOCTYPE Device [<!ENTITY e SYSTEM \"/dev/zero\">]><Device ModelNumber=\"5\">&e;</Device>",
         entity.arg(1).arg(50)},
        {"an unparsed entity",
         "<!DOCTYPE Device [<!NOTATION n SYSTEM \"x\"><!ENTITY e SYSTEM \"y\" NDATA n>]><Device ModelNumber=\"5\"/>",
         entity.arg(1).arg(74)},
        {"an entity a few lines down",
         "<?xml version=\"1.0\"?>\n<!DOCTYPE Device [\n  <!ENTITY n \"5\">\n]>\n<Device ModelNumber=\"&n;\"/>\n",
         entity.arg(4).arg(2)},
        {"a declaration without entities", "<!DOCTYPE Device [<!ELEMENT Device ANY>]><Device ModelNumber=\"5\"/>",
         QString()},
        {"as large as the bound", descriptionOfSize(kMaxDescriptionBytes, "\n"), QString()},
        {"one byte larger", descriptionOfSize(kMaxDescriptionBytes + 1, "\n"),
         QStringLiteral("larger than 1048576 bytes")},
        // The bound is the file's size, also where reading drops the carriage returns.
        {"one byte larger with carriage returns", descriptionOfSize(kMaxDescriptionBytes + 1, "\r\n"),
         QStringLiteral("larger than 1048576 bytes")},
    };
    enum Path { Indexed, BuiltAtOnce, BuiltLater };
    for (const Case &c : cases) {
        for (Path way : {Indexed, BuiltAtOnce, BuiltLater}) {
            static const char *const kWays[] = {" (indexed)", " (built at once)", " (built later)"};
            const std::string label = std::string(c.what) + kWays[way];
            DescriptionFolder folder;
            // Built later: the file that took stock was a plain one, changed since.
            const QByteArray plain = DescriptionFolder::device(QStringLiteral("ModelNumber=\"5\""));
            const QString path = folder.write(QStringLiteral("model.xml"), way == BuiltLater ? plain : c.content);
            QvxModelRegistry registry;
            QStringList names;
            WarningCapture capture;
            registry.load(folder.path(), way == BuiltAtOnce ? &names : nullptr, false);
            if (way == BuiltLater)
                folder.write(QStringLiteral("model.xml"), c.content);
            const QvxDeviceModel *model = registry.find(5, 0);
            if (c.refusal.isEmpty()) {
                EXPECT_NE(model, nullptr) << label;
                EXPECT_TRUE(capture.warnings.isEmpty()) << label << ": " << capture.warnings.join('\n').toStdString();
                continue;
            }
            EXPECT_EQ(model, nullptr) << label;
            EXPECT_EQ(capture.warnings, QStringList{path + QStringLiteral(" refused: ") + c.refusal}) << label;
            EXPECT_TRUE(names.isEmpty()) << label;
        }
    }
}

TEST(DescriptionLoading, TheLookAtStartTakesTheKeyTheBuildFinds)
{
    struct Case
    {
        const char *what;
        QByteArray content;
        bool device;
        QvxModelKey key;
    };
    const Case cases[] = {
        {"plain", "<Device ModelNumber=\"12\" MinimumVersion=\"3\"/>", true, {12, 3}},
        {"declaration, byte-order mark, carriage returns",
         "\xEF\xBB\xBF<?xml version='1.0' encoding='utf-8'?>\r\n<Device ModelNumber='12'>\r\n</Device>\r\n", true, {12, 0}},
        {"white space around the number", "<Device ModelNumber=\"\t12\n\" MinimumVersion=\" -1 \"/>", true, {12, -1}},
        {"predefined entity", "<Device Name=\"A&amp;B\" ModelNumber=\"7\"><Item Unit=\"&lt;\"/>&gt;</Device>", true, {7, 0}},
        {"character references", "<Device ModelNumber=\"&#49;&#x32;\"/>", true, {12, 0}},
        {"character data and instructions", "<?pi x?><Device ModelNumber=\"5\"><![CDATA[<x>]]><?pi y?></Device>", true, {5, 0}},
        {"comments and non-ASCII text", "<!-- ° --><Device ModelNumber=\"5\" Name=\"주의\"><!-- μs --></Device><!-- end -->",
         true, {5, 0}},
        {"prefixed names", "<Device xmlns:q=\"urn:q\" ModelNumber=\"5\"><q:Item/></Device>", true, {5, 0}},
        {"number out of range", "<Device ModelNumber=\"65536\" MinimumVersion=\"x\"/>", true, {0, 0}},
        {"another root", "<Config ModelNumber=\"5\"/>", false, {}},
        {"prefixed root", "<q:Device xmlns:q=\"urn:q\" ModelNumber=\"5\"/>", false, {}},
    };
    for (const Case &c : cases) {
        QBuffer file;
        file.setData(c.content);
        file.open(QIODevice::ReadOnly | QIODevice::Text);
        const QvxDescriptionHeader header = readDescriptionHeader(file);
        EXPECT_TRUE(header.wellFormed) << c.what << ": " << header.error.message.toStdString();
        EXPECT_EQ(header.device, c.device) << c.what;

        file.seek(0);
        QvxDeviceModel model;
        const QvxDescriptionRead read = readDeviceDescription(file, QStringLiteral("x.xml"), nullptr, false, &model);
        EXPECT_EQ(read, c.device ? QvxDescriptionRead::Built : QvxDescriptionRead::NotDevice) << c.what;
        if (!c.device)
            continue;
        EXPECT_EQ(header.key.modelNumber, c.key.modelNumber) << c.what;
        EXPECT_EQ(header.key.minimumVersion, c.key.minimumVersion) << c.what;
        EXPECT_EQ(model.modelNumber, c.key.modelNumber) << c.what;
        EXPECT_EQ(model.minimumVersion, c.key.minimumVersion) << c.what;
        deleteDescriptionItems(model);
    }
}

TEST(DescriptionLoading, AFolderOfManyFilesGivesTheWarningsAndWinnersOfItsOrder)
{
    // Enough files for the look at start to be shared out among threads: in
    // whatever order they are looked at, the warnings come in the folder's
    // order and the later file of a key wins. Files with carriage returns are
    // among them and share keys with the others.
    DescriptionFolder folder;
    QMap<QString, QByteArray> contents;
    for (int i = 0; i < 300; ++i) {
        const QString attributes = QStringLiteral("ModelNumber=\"%1\" Name=\"file %2\"").arg(1000 + i % 40).arg(i);
        QByteArray content;
        switch (i % 5) {
        case 0: content = "<Device " + attributes.toUtf8() + "><ControlItems></Device>\n"; break;
        case 1: content = DescriptionFolder::device(attributes).replace("\n", "\r\n"); break;
        case 2: content = "<Config " + attributes.toUtf8() + "/>"; break;
        default: content = DescriptionFolder::device(attributes); break;
        }
        contents.insert(folder.write(QStringLiteral("d%1.xml").arg(i, 3, 10, QLatin1Char('0')), content), content);
    }

    QStringList warnings;
    QMap<quint16, QString> winners;
    QDirIterator it(folder.path(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        const QString path = it.next();
        QDomDocument document;
        QString message;
        int line = 0;
        int column = 0;
        if (!document.setContent(contents.value(path), &message, &line, &column))
            warnings.append(QStringLiteral("%1 parse failed, line: %2, col: %3, %4").arg(path).arg(line).arg(column).arg(message));
        else if (document.documentElement().tagName() == QLatin1String("Device"))
            winners.insert(quint16(document.documentElement().attribute("ModelNumber").toUInt()),
                           document.documentElement().attribute("Name"));
    }

    QvxModelRegistry registry;
    WarningCapture capture;
    registry.load(folder.path(), false);
    EXPECT_EQ(capture.warnings, warnings);
    ASSERT_EQ(registry.versions().keys(), winners.keys());
    for (auto winner = winners.cbegin(); winner != winners.cend(); ++winner) {
        const QvxDeviceModel *model = registry.find(winner.key(), 0);
        ASSERT_NE(model, nullptr) << winner.key();
        EXPECT_EQ(model->name, winner.value()) << winner.key();
    }
}

TEST(DescriptionLoading, FileThatCannotBeOpenedIsNamedAndSkipped)
{
    DescriptionFolder folder;
    folder.write(QStringLiteral("good.xml"), DescriptionFolder::device(QStringLiteral("ModelNumber=\"1\"")));
    QString locked = folder.write(QStringLiteral("locked.xml"), DescriptionFolder::device(QStringLiteral("ModelNumber=\"2\"")));
    QFile::setPermissions(locked, QFileDevice::Permissions());
    QFile probe(locked);
    if (probe.open(QIODevice::ReadOnly)) {
        // Permissions do not stop this user; a write-only kernel file does.
        probe.close();
        QFile::remove(locked);
        locked = folder.path() + QStringLiteral("/locked.xml");
        if (!QFile::link(QStringLiteral("/proc/sys/vm/drop_caches"), locked))
            GTEST_SKIP() << "no way to make an unreadable file here";
        QFile kernel(locked);
        if (kernel.open(QIODevice::ReadOnly))
            GTEST_SKIP() << "every file is readable here";
    }

    QvxModelRegistry registry;
    WarningCapture capture;
    registry.load(folder.path(), false);
    EXPECT_EQ(capture.warnings, QStringList{locked + QStringLiteral(" open failed")});
    EXPECT_EQ(registry.models().size(), 1);
}

TEST(DescriptionLoading, AbsurdRangesAreCutWithAWarningAndTheFileStillLoads)
{
    const OneFile file(DescriptionFolder::withItems(
        QStringLiteral("ModelNumber=\"1\""),
        QStringLiteral("<Category Name=\"Slot\">"
                       "  <Item Address=\"100\" Length=\"7\" Name=\"{0}\" Continue=\"1~2000000000\" Label=\"{0}\""
                       "        Min=\"0\" Max=\"70000\"/>"
                       "</Category>"
                       "<Item Address=\"3\" Length=\"1\" Name=\"Huge\" Label=\"V{0}\" Min=\"-2147483648\""
                       "      Max=\"2147483647\"/>"
                       "<Item Address=\"4\" Length=\"1\" Name=\"After\"/>")));
    const QvxDeviceModel &model = file.model();
    ASSERT_EQ(model.categories.size(), 1);
    const QList<QvxControlItem *> &numbered = model.categories.at(0).items;
    ASSERT_EQ(numbered.size(), QvxControlItem::kMaxRangeCount);
    EXPECT_EQ(numbered.last()->name, QStringLiteral("Slot 65536"));
    EXPECT_EQ(numbered.last()->address, static_cast<quint16>(100 + 65535 * 7)); // 16-bit address arithmetic
    EXPECT_EQ(numbered.last()->labels.size(), QvxControlItem::kMaxRangeCount);
    EXPECT_EQ(file.item(QStringLiteral("Huge"))->labels.size(), QvxControlItem::kMaxRangeCount);
    EXPECT_NE(file.item(QStringLiteral("After")), nullptr);
    EXPECT_EQ(file.warnings,
              (QStringList{file.path()
                               + QStringLiteral(" category \"Slot\": range \"1~2000000000\" has 2000000000 numbers,"
                                                " only the first 65536 made"),
                           file.path()
                               + QStringLiteral(" item \"Slot\": labels for 70001 values, only the first 65536 kept"),
                           file.path()
                               + QStringLiteral(" item \"Huge\": labels for 4294967296 values, only the first 65536"
                                                " kept")}));
}
