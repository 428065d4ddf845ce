#include "tests/sim/SimOptions.h"

#include "tests/sim/SimModels.h"

#include <QStringList>

namespace sim {

namespace {

bool toNumber(const QString &text, int low, int high, int *out)
{
    bool ok = false;
    const int value = text.toInt(&ok, 0); // decimal, or 0x... hex
    if (!ok || value < low || value > high)
        return false;
    *out = value;
    return true;
}

bool toHex(const QString &text, QByteArray *out)
{
    const QByteArray latin = text.toLatin1();
    if (latin.size() % 2 != 0 || latin.contains(' '))
        return false;
    *out = QByteArray::fromHex(latin);
    return out->size() * 2 == latin.size();
}

} // namespace

std::optional<Device> parseDevice(const QString &text, QString *error)
{
    int id = -1;
    int model = -1;
    int firmware = -1;
    int size = -1;
    std::optional<Protocol> protocol;
    Faults faults;
    std::optional<BootloaderSetup> boot;
    BootFaults bootFaults;
    bool bootFaultGiven = false;
    QList<QPair<int, QByteArray>> memory;
    int baud = 0;

    auto fail = [&](const QString &why) {
        *error = QStringLiteral("device \"%1\": %2").arg(text, why);
        return std::nullopt;
    };
    for (const QString &part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const qsizetype eq = part.indexOf(QLatin1Char('='));
        const QString key = part.left(eq).trimmed();
        const QString value = eq < 0 ? QString() : part.mid(eq + 1).trimmed();
        int number = 0;
        if (key == QLatin1String("silent") && eq < 0) {
            faults.silent = true;
        } else if (key == QLatin1String("corrupt") && eq < 0) {
            faults.corruptChecksum = true;
        } else if (key == QLatin1String("omit-data") && eq < 0) {
            faults.omitData = true;
        } else if (key.startsWith(QLatin1String("boot-")) && eq < 0) {
            bootFaultGiven = true;
            if (key == QLatin1String("boot-never"))
                bootFaults.neverEnters = true;
            else if (key == QLatin1String("boot-reject-load"))
                bootFaults.rejectLoad = true;
            else if (key == QLatin1String("boot-reject-block"))
                bootFaults.rejectBlock = true;
            else if (key == QLatin1String("boot-wrong-sum"))
                bootFaults.wrongSum = true;
            else
                return fail(QStringLiteral("unknown key \"%1\"").arg(key));
        } else if (eq < 0) {
            return fail(QStringLiteral("\"%1\" needs a value").arg(key));
        } else if (key == QLatin1String("id")) {
            if (!toNumber(value, 0, 253, &id))
                return fail(QStringLiteral("id must be 0 to 253"));
        } else if (key == QLatin1String("model")) {
            if (!toNumber(value, 0, 0xFFFF, &model))
                return fail(QStringLiteral("model must be 0 to 65535"));
        } else if (key == QLatin1String("fw")) {
            if (!toNumber(value, 0, 0xFF, &firmware))
                return fail(QStringLiteral("fw must be 0 to 255"));
        } else if (key == QLatin1String("protocol")) {
            if (value != QLatin1String("1.0") && value != QLatin1String("2.0"))
                return fail(QStringLiteral("protocol must be 1.0 or 2.0"));
            protocol = value == QLatin1String("1.0") ? Protocol::V1 : Protocol::V2;
        } else if (key == QLatin1String("size")) {
            if (!toNumber(value, 8, 0xFFFF, &size))
                return fail(QStringLiteral("size must be 8 to 65535"));
        } else if (key == QLatin1String("baud")) {
            if (!toNumber(value, 1, 100000000, &baud))
                return fail(QStringLiteral("baud must be a rate in bits per second"));
        } else if (key == QLatin1String("mem")) {
            const QStringList at = value.split(QLatin1Char(':'));
            QByteArray bytes;
            if (at.size() != 2 || !toNumber(at[0], 0, 0xFFFF, &number) || !toHex(at[1], &bytes))
                return fail(QStringLiteral("mem must be ADDRESS:HEXBYTES"));
            memory.append({number, bytes});
        } else if (key == QLatin1String("error")) {
            if (!toNumber(value, 0, 0xFF, &number))
                return fail(QStringLiteral("error must be 0 to 255"));
            faults.error = static_cast<quint8>(number);
        } else if (key == QLatin1String("delay")) {
            if (!toNumber(value, 0, 600000, &faults.delayMs))
                return fail(QStringLiteral("delay must be 0 to 600000 ms"));
        } else if (key == QLatin1String("gap")) {
            if (!toNumber(value, 0, 10000, &faults.byteGapMs))
                return fail(QStringLiteral("gap must be 0 to 10000 ms"));
        } else if (key == QLatin1String("truncate")) {
            if (!toNumber(value, 0, 0xFFFF, &faults.truncateTo))
                return fail(QStringLiteral("truncate must be 0 to 65535"));
        } else if (key == QLatin1String("boot")) {
            BootloaderSetup setup;
            if (value == QLatin1String("packets"))
                setup.packets = true;
            else if (!toNumber(value, 0, 5, &setup.dialect))
                return fail(QStringLiteral("boot must be a dialect 0 to 5 or packets"));
            boot = setup;
        } else if (key == QLatin1String("boot-answer")) {
            bootFaultGiven = true;
            bootFaults.streamAnswer = value.toLatin1();
        } else if (key == QLatin1String("boot-silent-after")) {
            bootFaultGiven = true;
            if (!toNumber(value, 0, 0x7FFFFFFF, &bootFaults.silentAfter))
                return fail(QStringLiteral("boot-silent-after must be a byte count"));
        } else if (key == QLatin1String("boot-nul-echoes")) {
            bootFaultGiven = true;
            if (!toNumber(value, 0, 1000, &bootFaults.nulEchoes))
                return fail(QStringLiteral("boot-nul-echoes must be 0 to 1000"));
        } else if (key == QLatin1String("boot-split")) {
            bootFaultGiven = true;
            if (!toNumber(value, 0, 10000, &bootFaults.splitGapMs))
                return fail(QStringLiteral("boot-split must be 0 to 10000 ms"));
        } else if (key == QLatin1String("noise")) {
            if (!toHex(value, &faults.noise))
                return fail(QStringLiteral("noise must be hex bytes"));
        } else {
            return fail(QStringLiteral("unknown key \"%1\"").arg(key));
        }
    }
    if (id < 0)
        return fail(QStringLiteral("id is missing"));
    if (bootFaultGiven && !boot)
        return fail(QStringLiteral("bootloader faults need boot=DIALECT"));
    if (model < 0)
        return fail(QStringLiteral("model is missing"));

    std::optional<Device> built;
    if (hasBuiltInDescription(static_cast<quint16>(model))) {
        // Laid out by the program's own description of the model.
        QString why;
        built = builtInDevice(static_cast<quint16>(model), static_cast<quint8>(id),
                              firmware < 0 ? std::nullopt : std::optional<int>(firmware), &why);
        if (!built)
            return fail(why);
        if (size >= 0)
            return fail(QStringLiteral("size comes from the description of model %1").arg(model));
        if (protocol && *protocol != built->protocol)
            return fail(QStringLiteral("model %1 does not speak that protocol").arg(model));
    } else if (protocol.value_or(Protocol::V2) == Protocol::V2) {
        built = Device::protocol2(static_cast<quint8>(id), static_cast<quint16>(model),
                                  static_cast<quint8>(qMax(firmware, 0)), size < 0 ? 256 : size);
    } else {
        built = Device::protocol1(static_cast<quint8>(id), static_cast<quint16>(model),
                                  static_cast<quint8>(qMax(firmware, 0)), size < 0 ? 50 : size);
    }
    Device &device = *built;
    for (const auto &[address, bytes] : std::as_const(memory)) {
        if (!device.holds(address, static_cast<int>(bytes.size())))
            return fail(QStringLiteral("mem at %1 lies outside the table").arg(address));
        device.setInitial(address, bytes);
    }
    device.faults = faults;
    device.baudRate = baud;
    if (boot) {
        boot->faults = bootFaults;
        device.bootloader = boot;
    }
    return device;
}

} // namespace sim
