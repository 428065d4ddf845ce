#include "device/QvxDescriptionReader.h"

#include "device/DescriptionXml.h"
#include "device/DeviceConstants.h"
#include "device/XmlSafety.h"

#include <QtDebug>

#include <algorithm>
#include <numeric>

namespace {

using namespace description_xml;

quint8 toByte(const QString &text)
{
    return static_cast<quint8>(toInt(text) & 0xFF);
}

quint16 toShort(const QString &text)
{
    return static_cast<quint16>(toInt(text) & 0xFFFF);
}

quint32 toU32(const QString &text)
{
    bool ok = false;
    const qulonglong v = text.toULongLong(&ok, 10);
    return ok && v <= 0xFFFFFFFFull ? static_cast<quint32>(v) : 0;
}

bool toFlag(const QString &text)
{
    return toInt(text) != 0;
}

double toReal(const QString &text)
{
    return text.toDouble();
}

const QString kZero = QStringLiteral("0");

// Whether `text` holds a place marker that QString::arg fills: "%" and a digit,
// or "%L" and a digit.
bool hasArgMarker(const QString &text)
{
    const auto isDigit = [&text](qsizetype i) {
        return i < text.size() && text.at(i) >= QLatin1Char('0') && text.at(i) <= QLatin1Char('9');
    };
    for (qsizetype i = text.indexOf(QLatin1Char('%')); i >= 0; i = text.indexOf(QLatin1Char('%'), i + 1)) {
        if (isDigit(i + 1) || (i + 1 < text.size() && text.at(i + 1) == QLatin1Char('L') && isDigit(i + 2)))
            return true;
    }
    return false;
}

// The Item attributes that plain items and numbered runs read alike.
void readSharedAttributes(const Attributes &e, QvxControlItem &item)
{
    item.memory = toByte(attr(e, "Memory", kZero));
    item.rw = toByte(attr(e, "RW", QStringLiteral("1")));
    item.length = toU16(attr(e, "Length", kZero));
    item.min = attr(e, "Min");
    item.max = attr(e, "Max");
    item.label = attr(e, "Label");
    item.init = toInt(attr(e, "Init", kZero));
    item.multi = toByte(attr(e, "Multi", kZero));
    item.ui = toByte(attr(e, "UI", kZero));
}

// Builds one model; keeps the running table-size counters, and the names and
// warnings that count only once the whole file has proved well-formed.
class Reader
{
public:
    Reader(QXmlStreamReader &xml, const QString &path, bool external)
        : m_xml(xml), m_path(path)
    {
        m_model.external = external;
    }

    // At the root element's start: reads the model, up to the root's end.
    void read();

    QvxDeviceModel m_model;
    QStringList m_names;
    QStringList m_warnings;

private:
    void readDeviceAttributes(const Attributes &d);
    void readHandJoints(const QString &text);
    void readControlItems();
    void readCategory();
    void readRangeItem(const Attributes &e, QvxItemCategory &category, const QString &categoryName);
    QvxControlItem *readPlainItem(const Attributes &e, const QString &name);
    void finishItem(QvxControlItem *item, QList<QvxControlItem *> &list, bool plain);
    void readDiagnosis();
    void readRelease(const Attributes &e);
    QStringList valueLabels(const QvxControlItem &item);

    QXmlStreamReader &m_xml;
    const QString &m_path;
    quint16 m_highestAddress = 0;
    quint16 m_lengthAtHighest = 0;
};

void Reader::read()
{
    readDeviceAttributes(m_xml.attributes());

    // Each section is the first direct child of its name; a later one is ignored.
    enum Section { ControlItems, Modes, ErrorCodes, Multiturn, ModbusCommand, Diagnosis, Caution, ReleaseNotes, Count };
    static const char *const kSections[Count] = {"ControlItems", "Modes",     "ErrorCodes", "Multiturn",
                                                 "ModbusCommand", "Diagnosis", "Caution",    "ReleaseNotes"};
    bool seen[Count] = {};
    while (readNextChild(m_xml)) {
        int section = 0;
        while (section < Count && !isElement(m_xml, kSections[section]))
            ++section;
        if (section == Count || seen[section]) {
            skipElement(m_xml);
            continue;
        }
        seen[section] = true;
        const Attributes e = m_xml.attributes();
        switch (section) {
        case ControlItems:
            readControlItems();
            continue;
        case Diagnosis:
            readDiagnosis();
            continue;
        case Multiturn:
            m_model.multiturnMin = toInt(attr(e, "Min", kZero));
            m_model.multiturnMax = toInt(attr(e, "Max", kZero));
            break;
        case ModbusCommand:
            m_model.modbusResetRegister = toShort(attr(e, "Reset", kZero));
            m_model.modbusRebootRegister = toShort(attr(e, "Reboot", kZero));
            m_model.modbusClearRegister = toShort(attr(e, "Clear", kZero));
            m_model.modbusBackupRegister = toShort(attr(e, "Backup", kZero));
            m_model.modbusBootEntryRegister = toShort(attr(e, "BootEntry", kZero));
            break;
        case Caution:
            m_model.cautionEn = attr(e, "En");
            m_model.cautionKr = attr(e, "Kr");
            break;
        case Modes:
        case ErrorCodes:
        case ReleaseNotes:
            while (readNextChild(m_xml)) {
                const Attributes child = m_xml.attributes();
                if (section == Modes && isElement(m_xml, "Mode"))
                    m_model.modes.append({attr(child, "Name"), attr(child, "Set"), attr(child, "Condition")});
                else if (section == ErrorCodes && isElement(m_xml, "ErrorCode"))
                    m_model.errorCodes.append({attr(child, "Code"), attr(child, "Name")});
                else if (section == ReleaseNotes && isElement(m_xml, "Release"))
                    readRelease(child);
                skipElement(m_xml);
            }
            continue;
        }
        skipElement(m_xml);
    }

    m_model.tableSize = static_cast<quint16>(m_highestAddress + m_lengthAtHighest);
    if (m_model.isMaster) {
        if (const QvxControlItem *bus = m_model.itemsByName.value(kItemBaudRateBus))
            m_model.baudRateBusAddress = bus->address;
        if (const QvxControlItem *qvx = m_model.itemsByName.value(kItemBaudRateQvx))
            m_model.baudRateQvxAddress = qvx->address;
    }
}

void Reader::readDeviceAttributes(const Attributes &d)
{
    m_model.name = attr(d, "Name");
    m_model.bootLoaderName = attr(d, "BootLoaderName");
    const QvxModelKey key = keyOf(d); // the fallback's ModelNumber -1 gives 0
    m_model.modelNumber = key.modelNumber;
    m_model.minimumVersion = key.minimumVersion;
    m_model.angleRange = toReal(attr(d, "AngleRange", QStringLiteral("360")));
    m_model.type = attr(d, "Type");
    m_model.minMaxType = toInt(attr(d, "MinMaxType", kZero));
    m_model.positionMin = toInt(attr(d, "PositionMin", kZero));
    m_model.positionMax = toInt(attr(d, "PositionMax", kZero));
    m_model.resolution = toInt(attr(d, "Resolution", kZero));
    m_model.multiturnClear = toInt(attr(d, "MultiturnClear", kZero));
    m_model.modbusCommand = toInt(attr(d, "ModbusCommand", kZero));
    m_model.urdfName = attr(d, "UrdfName");
    m_model.imgName = attr(d, "ImgName");
    m_model.masterIdAddr = toInt(attr(d, "MasterIdAddr"));
    m_model.isMaster = toFlag(attr(d, "IsMaster", kZero));
    m_model.supportsAiHands = toFlag(attr(d, "SupportsAiHands", kZero));
    m_model.emanual = attr(d, "Emanual");
    m_model.easy = toInt(attr(d, "Easy", kZero));
    readHandJoints(attr(d, "HandJointPerFinger"));
}

void Reader::readHandJoints(const QString &text)
{
    if (text.isEmpty())
        return; // keeps five fingers of four joints
    const QStringList parts = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    QList<int> joints(5, 0);
    int fingers = 0;
    for (qsizetype i = 0; i < std::min<qsizetype>(parts.size(), 5); ++i) {
        const int n = toInt(parts.at(i).trimmed());
        if (n > 0)
            ++fingers;
        joints[i] = std::clamp(n, 0, 4);
    }
    m_model.handJointPerFinger = joints;
    m_model.fingerCount = fingers;
    m_model.jointSum = std::accumulate(joints.cbegin(), joints.cend(), 0);
}

void Reader::readControlItems()
{
    while (readNextChild(m_xml)) {
        if (isElement(m_xml, "Item")) {
            const Attributes e = m_xml.attributes();
            finishItem(readPlainItem(e, attr(e, "Name")), m_model.items, true);
        } else if (isElement(m_xml, "Category")) {
            readCategory();
            continue; // at the category's end already
        }
        skipElement(m_xml);
    }
}

void Reader::readCategory()
{
    QvxItemCategory category;
    const Attributes element = m_xml.attributes();
    category.name = attr(element, "Name");
    category.hidePrefix = toFlag(attr(element, "HidePrefix", kZero));
    const QString elementName = category.name; // without the suffixes that range items add
    while (readNextChild(m_xml)) {
        if (isElement(m_xml, "Item")) {
            const Attributes e = m_xml.attributes();
            if (!attr(e, "Continue").isEmpty()) {
                readRangeItem(e, category, elementName);
            } else {
                const QString name = category.hidePrefix ? attr(e, "Name")
                                                         : category.name + QLatin1Char(' ') + attr(e, "Name");
                finishItem(readPlainItem(e, name), category.items, true);
            }
        }
        skipElement(m_xml);
    }
    m_model.categories.append(category); // also when the file broke off inside: its items are the model's to free
}

QvxControlItem *Reader::readPlainItem(const Attributes &e, const QString &name)
{
    auto *item = new QvxControlItem;
    readSharedAttributes(e, *item);
    item->address = toU16(attr(e, "Address", kZero));
    item->name = name;
    item->sign = toU32(attr(e, "Sign", kZero));
    item->signCondition = attr(e, "SignCondition");
    item->direction = toInt(attr(e, "Direction", kZero));
    item->unit = attr(e, "Unit");
    item->scale = attr(e, "Scale");
    item->unitCondition = attr(e, "UnitCondition");
    item->minMaxCondition = attr(e, "MinMaxCondition");
    item->minimumVersion = toInt(attr(e, "MinimumVersion", kZero));
    item->hidden = toFlag(attr(e, "Hidden", kZero));
    item->labels = valueLabels(*item);
    return item;
}

QStringList Reader::valueLabels(const QvxControlItem &item)
{
    if (item.labelsCapped())
        m_warnings.append(QStringLiteral("%1 item \"%2\": labels for %3 values, only the first %4 kept")
                              .arg(m_path, item.name, QString::number(item.labelCount()),
                                   QString::number(QvxControlItem::kMaxRangeCount)));
    return item.buildValueLabels();
}

void Reader::readRangeItem(const Attributes &e, QvxItemCategory &category, const QString &categoryName)
{
    const QString range = attr(e, "Continue");
    const QStringList bounds = range.split(QLatin1Char('~'));
    const int first = toInt(bounds.at(0));
    // A lone number (no "~") stands for itself.
    const int last = bounds.size() > 1 ? toInt(bounds.at(1)) : first;
    if (bounds.size() < 2)
        m_warnings.append(QStringLiteral("%1 category \"%2\": range \"%3\" has no \"~\", read as %4~%4")
                              .arg(m_path, categoryName, range, QString::number(first)));
    category.name += QLatin1Char(' ') + range;

    qint64 count = static_cast<qint64>(last) - first + 1;
    if (count <= 0)
        return;
    if (count > QvxControlItem::kMaxRangeCount) {
        m_warnings.append(QStringLiteral("%1 category \"%2\": range \"%3\" has %4 numbers, only the first %5 made")
                              .arg(m_path, categoryName, range, QString::number(count),
                                   QString::number(QvxControlItem::kMaxRangeCount)));
        count = QvxControlItem::kMaxRangeCount;
    }

    // Everything but address and name is the same for each number; the labels
    // depend only on label and limits, so one list is built and shared.
    QvxControlItem pattern;
    readSharedAttributes(e, pattern);
    pattern.name = categoryName;
    pattern.labels = valueLabels(pattern);

    const quint32 base = static_cast<quint32>(toInt(attr(e, "Address", kZero)));
    const quint32 stride = static_cast<quint32>(toInt(attr(e, "Length", kZero)));
    QString name = attr(e, "Name");
    name.replace(QStringLiteral("{0}"), QStringLiteral("%1"));
    const bool numbered = hasArgMarker(name);
    const QString prefix = category.hidePrefix ? QString() : categoryName + QLatin1Char(' ');

    for (qint64 k = 0; k < count; ++k) {
        auto *item = new QvxControlItem(pattern);
        item->address = static_cast<quint16>(base + static_cast<quint32>(k) * stride);
        item->name = prefix + (numbered ? name.arg(first + k) : name);
        finishItem(item, category.items, false);
    }
}

// The steps every new item takes once its attributes are read. `plain` items
// (not made from a range) also get their ":"-split lists and their names kept.
void Reader::finishItem(QvxControlItem *item, QList<QvxControlItem *> &list, bool plain)
{
    item->value = 0;
    if (plain) {
        const QChar colon(QLatin1Char(':'));
        item->units = item->unit.split(colon);
        item->scales = item->scale.split(colon);
        item->mins = item->min.split(colon);
        item->maxes = item->max.split(colon);
        item->unitConditions = item->unitCondition.split(colon);
        item->minMaxConditions = item->minMaxCondition.split(colon);
        if (!item->hidden)
            m_names.append(item->name);
    }
    list.append(item);
    m_model.itemsByAddress.insert(item->address, item);
    m_model.itemsByName.insert(item->name, item);
    const QString lower = item->name.toLower();
    if (const QvxControlItem *earlier = m_model.itemsByLowerName.value(lower); earlier && earlier->name != item->name)
        m_model.itemNamesDifferInCaseOnly = true;
    m_model.itemsByLowerName.insert(lower, item);
    if (item->name == kItemGearRatioNumerator) // 32-bit wrapping product, once per such item
        m_model.resolution = static_cast<int>(static_cast<quint32>(m_model.resolution)
                                              * static_cast<quint32>(item->init));
    if (item->address > m_highestAddress) {
        m_highestAddress = item->address;
        m_lengthAtHighest = item->length;
    }
}

void Reader::readRelease(const Attributes &e)
{
    QvxReleaseNote note;
    note.version = toInt(attr(e, "Version", kZero));
    note.date = attr(e, "Date");
    note.fileName = attr(e, "FileName");
    note.note = attr(e, "Note");
    note.enable = toFlag(attr(e, "Enable", kZero));
    note.encrypt = toFlag(attr(e, "Encrypt", kZero));
    m_model.releaseNotes.append(note);
    // The last enabled release in document order is the latest, whatever its number.
    if (note.enable) {
        m_model.latestFirmwareVersion = static_cast<quint8>(note.version & 0xFF);
        m_model.firmwarePath = (note.encrypt ? QStringLiteral(":/fw/assets/fw/%1.ecp")
                                             : QStringLiteral(":/fw/assets/fw/%1.bin"))
                                   .arg(note.fileName);
    }
}

void Reader::readDiagnosis()
{
    while (readNextChild(m_xml)) {
        const Attributes e = m_xml.attributes();
        if (isElement(m_xml, "Dump")) {
            m_model.dumpAddress = toU16(attr(e, "Address", kZero));
            m_model.dumpLength = toU16(attr(e, "Length", kZero));
        } else if (isElement(m_xml, "Log")) {
            m_model.logAddress = toU16(attr(e, "Address", kZero));
            m_model.logLength = toU16(attr(e, "Length", kZero));
        } else if (isElement(m_xml, "Position")) {
            m_model.positionThreshold = toU16(attr(e, "Threshold", kZero));
        } else if (isElement(m_xml, "Velocity")) {
            m_model.velocityRpm = toReal(attr(e, "RPM", kZero));
            m_model.velocityVoltage = toReal(attr(e, "Voltage", kZero));
        } else if (isElement(m_xml, "Temperature")) {
            m_model.temperatureMin = toInt(attr(e, "Min", QStringLiteral("-5")));
            m_model.temperatureMax = toInt(attr(e, "Max", QStringLiteral("80")));
        } else if (isElement(m_xml, "Voltage")) {
            m_model.voltageMin = toInt(attr(e, "Min", QStringLiteral("100")));
            m_model.voltageMax = toInt(attr(e, "Max", QStringLiteral("200")));
            m_model.voltageRecommended = toInt(attr(e, "Recommand", QStringLiteral("120")));
        }
        skipElement(m_xml);
    }
}

} // namespace

QvxDescriptionRead readDeviceDescription(QIODevice &file, const QString &path, QStringList *names, bool external,
                                         QvxDeviceModel *model, QvxXmlError *error)
{
    QByteArray bytes;
    if (!xml_safety::readBounded(file, kMaxDescriptionBytes, &bytes)) {
        if (error)
            *error = oversizedDescription();
        return QvxDescriptionRead::Refused;
    }
    QXmlStreamReader xml(bytes);
    startReading(xml);
    const xml_safety::Prologue prologue = xml_safety::readToRoot(xml);
    if (prologue != xml_safety::Prologue::Root) {
        const bool refused = prologue == xml_safety::Prologue::Refused;
        if (error)
            *error = errorOf(xml, refused);
        return refused ? QvxDescriptionRead::Refused : QvxDescriptionRead::NotWellFormed;
    }
    const bool device = isElement(xml, "Device");
    Reader reader(xml, path, external);
    if (device)
        reader.read();
    if (!readToEnd(xml)) {
        deleteDescriptionItems(reader.m_model);
        if (error)
            *error = errorOf(xml);
        return QvxDescriptionRead::NotWellFormed;
    }
    if (!device)
        return QvxDescriptionRead::NotDevice;

    for (const QString &warning : std::as_const(reader.m_warnings))
        qWarning().noquote() << warning;
    if (names) {
        for (const QString &name : std::as_const(reader.m_names))
            if (!names->contains(name))
                names->append(name);
    }
    *model = reader.m_model;
    return QvxDescriptionRead::Built;
}

void deleteDescriptionItems(const QvxDeviceModel &model)
{
    // Every item is in exactly one list (top level or one category), so the
    // lists reach each item once, including those a later item hid in the maps.
    qDeleteAll(model.items);
    for (const QvxItemCategory &category : model.categories)
        qDeleteAll(category.items);
}
