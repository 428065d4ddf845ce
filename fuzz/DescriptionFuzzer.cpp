// Any bytes as a description file. The quick look the registry takes at start
// and the full build must agree with each other, and with the XML document
// builder, on whether the file is well-formed, on the words and position of
// its warning, on its root and on its key; building whatever the file holds
// neither crashes nor leaks.
#include "FuzzCheck.h"
#include "device/QvxDescriptionHeader.h"
#include "device/QvxDescriptionReader.h"

#include <QBuffer>
#include <QDomDocument>

#include <cstddef>
#include <cstdint>

namespace {

// Runs and labels cut at their limit warn by design; keep them off the fuzzer's output.
void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QtMessageHandler installed = qInstallMessageHandler(quiet);
    (void)installed;
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));

    // Opened as the registry opens a file: in text mode, which drops every carriage return.
    QBuffer file;
    file.setData(bytes);
    file.open(QIODevice::ReadOnly | QIODevice::Text);
    const QvxDescriptionHeader header = readDescriptionHeader(file);

    if (header.error.refused) {
        // Declared entities are refused before the document builder's answer
        // matters, and so is the file by the build.
        FUZZ_CHECK(!header.wellFormed);
        file.seek(0);
        QvxDeviceModel model;
        QvxXmlError error;
        FUZZ_CHECK(readDeviceDescription(file, QStringLiteral("fuzz.xml"), nullptr, true, &model, &error)
                   == QvxDescriptionRead::Refused);
        FUZZ_CHECK(error.refused && error.message == header.error.message);
        return 0;
    }

    QBuffer same;
    same.setData(bytes);
    same.open(QIODevice::ReadOnly | QIODevice::Text);
    QDomDocument document;
    QString message;
    int line = 0;
    int column = 0;
    const bool parsed = document.setContent(&same, &message, &line, &column);
    FUZZ_CHECK(parsed == header.wellFormed);
    if (parsed) {
        FUZZ_CHECK(header.device == (document.documentElement().tagName() == QLatin1String("Device")));
    } else {
        FUZZ_CHECK(header.error.message == message);
        FUZZ_CHECK(header.error.line == line);
        FUZZ_CHECK(header.error.column == column);
    }

    file.seek(0);
    QvxDeviceModel model;
    QvxXmlError error;
    QStringList names;
    const QvxDescriptionRead read = readDeviceDescription(file, QStringLiteral("fuzz.xml"), &names, true, &model, &error);
    if (!header.wellFormed) {
        FUZZ_CHECK(read == QvxDescriptionRead::NotWellFormed);
        FUZZ_CHECK(error.message == header.error.message && error.line == header.error.line
                   && error.column == header.error.column);
        FUZZ_CHECK(names.isEmpty());
    } else if (!header.device) {
        FUZZ_CHECK(read == QvxDescriptionRead::NotDevice);
    } else {
        FUZZ_CHECK(read == QvxDescriptionRead::Built);
        FUZZ_CHECK(model.modelNumber == header.key.modelNumber);
        FUZZ_CHECK(model.minimumVersion == header.key.minimumVersion);
        FUZZ_CHECK(model.external);
        FUZZ_CHECK(model.handJointPerFinger.size() == 5);
        for (const QvxControlItem *item : model.itemsByAddress)
            FUZZ_CHECK(item->value == 0);
        deleteDescriptionItems(model);
    }
    return 0;
}
