// Build step: writes the index of the built-in descriptions as C++ source.
// Usage: zephlet_description_index OUTPUT.cpp FILE.xml...
// Fails, and so fails the build, when a file is not a well-formed description.
#include "device/QvxDescriptionHeader.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextStream>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.cpp FILE.xml...\n", argv[0]);
        return 2;
    }
    QString source = QStringLiteral("// Made by the build from device/assets/xml; do not edit.\n"
                                     "#include \"device/BuiltInDescriptions.h\"\n\n"
                                     "const QvxBuiltInDescription kBuiltInDescriptions[] = {\n");
    for (int i = 2; i < argc; ++i) {
        const QString path = QString::fromLocal8Bit(argv[i]);
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            std::fprintf(stderr, "%s: cannot be read\n", argv[i]);
            return 1;
        }
        const QString name = QFileInfo(path).fileName();
        if (name.contains(QLatin1Char('"')) || name.contains(QLatin1Char('\\'))) {
            std::fprintf(stderr, "%s: a quote or backslash in the name\n", argv[i]);
            return 1;
        }
        const QvxDescriptionHeader header = readDescriptionHeader(file);
        if (!header.wellFormed || !header.device) {
            std::fprintf(stderr, "%s:%lld:%lld: not a description: %s\n", argv[i],
                         static_cast<long long>(header.error.line), static_cast<long long>(header.error.column),
                         qPrintable(header.wellFormed ? QStringLiteral("the root is not Device") : header.error.message));
            return 1;
        }
        source += QStringLiteral("    {\"%1\", %2, %3},\n")
                      .arg(name, QString::number(header.key.modelNumber),
                           QString::number(header.key.minimumVersion));
    }
    source += QStringLiteral("};\n\nconst int kBuiltInDescriptionCount = %1;\n").arg(argc - 2);

    QSaveFile out(QString::fromLocal8Bit(argv[1]));
    if (!out.open(QIODevice::WriteOnly) || out.write(source.toUtf8()) < 0 || !out.commit()) {
        std::fprintf(stderr, "%s: cannot be written\n", argv[1]);
        return 1;
    }
    return 0;
}
