#pragma once
// A temporary folder of description files for the loader tests.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

class DescriptionFolder
{
public:
    QString path() const { return m_dir.path(); }

    // Writes `content` to the file `name` and returns its path.
    QString write(const QString &name, const QByteArray &content) const
    {
        const QString file = m_dir.filePath(name);
        QFile out(file);
        if (out.open(QIODevice::WriteOnly))
            out.write(content);
        return file;
    }

    // A description with the given Device attributes and body elements.
    static QByteArray device(const QString &attributes, const QString &body = QString())
    {
        return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Device %1>%2</Device>\n")
            .arg(attributes, body)
            .toUtf8();
    }

    // A description whose ControlItems hold `items`.
    static QByteArray withItems(const QString &attributes, const QString &items, const QString &more = QString())
    {
        return device(attributes, QStringLiteral("<ControlItems>%1</ControlItems>%2").arg(items, more));
    }

private:
    QTemporaryDir m_dir;
};
