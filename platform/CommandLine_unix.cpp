#include "platform/CommandLine.h"

#include "platform/FileDescriptor.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr char16_t kUndecodableBase = 0xDC00;

// Length of the well-formed UTF-8 sequence at `p` (at most `left` bytes
// available) and its code point; 0 when the bytes there are not one.
int sequenceAt(const unsigned char *p, size_t left, char32_t &codePoint)
{
    const unsigned char lead = p[0];
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    int length = 0;
    char32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
        minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
        minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (size_t(length) > left)
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, UTF-16 surrogates and code points beyond U+10FFFF are not UTF-8.
    if (codePoint < minimum || (codePoint >= 0xD800 && codePoint <= 0xDFFF) || codePoint > 0x10FFFF)
        return 0;
    return length;
}

QString decodeArgument(const char *argument)
{
    const auto *p = reinterpret_cast<const unsigned char *>(argument);
    const size_t size = std::strlen(argument);
    QString text;
    text.reserve(qsizetype(size));
    for (size_t i = 0; i < size;) {
        char32_t codePoint = 0;
        const int length = sequenceAt(p + i, size - i, codePoint);
        if (length == 0) {
            text.append(QChar(char16_t(kUndecodableBase + p[i])));
            ++i;
            continue;
        }
        text.append(QString::fromUcs4(&codePoint, 1));
        i += size_t(length);
    }
    return text;
}

} // namespace

QStringList commandLineArguments(int argc, const char *const *argv)
{
    QStringList arguments;
    arguments.reserve(argc);
    for (int i = 0; i < argc && argv[i]; ++i)
        arguments.append(decodeArgument(argv[i]));
    return arguments;
}

bool hasUndecodableBytes(const QString &argument)
{
    return !argument.isValidUtf16();
}

QByteArray argumentBytes(const QString &argument)
{
    QByteArray bytes;
    bytes.reserve(argument.size());
    qsizetype from = 0;
    const auto flush = [&](qsizetype to) {
        if (to > from)
            bytes.append(QStringView(argument).mid(from, to - from).toUtf8());
    };
    for (qsizetype i = 0; i < argument.size(); ++i) {
        const char16_t unit = argument.at(i).unicode();
        if (unit < kUndecodableBase + 0x80 || unit > kUndecodableBase + 0xFF)
            continue;
        // A low surrogate right behind a high one is half of a real character.
        if (i > 0 && QChar::isHighSurrogate(argument.at(i - 1).unicode()))
            continue;
        flush(i);
        bytes.append(char(unit - kUndecodableBase));
        from = i + 1;
    }
    flush(argument.size());
    return bytes;
}

QString displayable(const QString &text)
{
    if (text.isValidUtf16())
        return text;
    QString shown = text;
    for (qsizetype i = 0; i < shown.size(); ++i) {
        const QChar c = shown.at(i);
        if (c.isHighSurrogate() && i + 1 < shown.size() && shown.at(i + 1).isLowSurrogate()) {
            ++i;
            continue;
        }
        if (c.isSurrogate())
            shown[i] = QChar::ReplacementCharacter;
    }
    return shown;
}

bool openForReading(const QByteArray &path, QFile &file, QString &error)
{
    const int fd = openDescriptor(path, O_RDONLY, error);
    if (fd < 0)
        return false;
    struct stat status{};
    if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
        ::close(fd);
        error = qt_error_string(EISDIR);
        return false;
    }
    return adoptForReading(fd, file, error);
}

} // namespace platform
