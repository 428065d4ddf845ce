#include "device/QvxModelRegistry.h"

#include "device/DeviceConstants.h"
#include "device/QvxDescriptionReader.h"

#include <QDirIterator>
#include <QDomDocument>
#include <QFile>
#include <QSet>
#include <QtDebug>

#include <algorithm>

namespace {

// Every item of a model is in exactly one list (top level or one category), so
// the lists reach each item once, including those a later item hid in the maps.
void deleteItems(const QvxDeviceModel &model)
{
    qDeleteAll(model.items);
    for (const QvxItemCategory &category : model.categories)
        qDeleteAll(category.items);
}

// Parses `file` as XML; on failure gives the parser's message and position.
bool parse(QFile &file, QDomDocument &document, QString &error, qint64 &line, qint64 &column)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    const QDomDocument::ParseResult result = document.setContent(&file);
    error = result.errorMessage;
    line = result.errorLine;
    column = result.errorColumn;
    return bool(result);
#else
    int errorLine = 0;
    int errorColumn = 0;
    const bool ok = document.setContent(&file, &error, &errorLine, &errorColumn);
    line = errorLine;
    column = errorColumn;
    return ok;
#endif
}

} // namespace

QvxModelRegistry::QvxModelRegistry()
    : m_modelNames(kModelNames)
{
}

QvxModelRegistry::~QvxModelRegistry()
{
    clear();
}

void QvxModelRegistry::load(const QString &directory, bool external)
{
    loadDirectory(directory, m_nameSink, external);
}

void QvxModelRegistry::load(const QString &directory, QStringList *names, bool external)
{
    loadDirectory(directory, names, external);
}

void QvxModelRegistry::loadDirectory(const QString &directory, QStringList *names, bool external)
{
    // Every regular file is tried, whatever its suffix; the folder's own order decides
    // which of two files with one key wins.
    QDirIterator it(directory, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!it.fileInfo().isFile())
            continue;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            qWarning().noquote() << path + QStringLiteral(" open failed");
            continue;
        }
        QDomDocument document;
        QString error;
        qint64 line = 0;
        qint64 column = 0;
        if (!parse(file, document, error, line, column)) {
            qWarning().noquote() << QStringLiteral("%1 parse failed, line: %2, col: %3, %4")
                                        .arg(path, QString::number(line), QString::number(column), error);
            continue;
        }
        const QDomElement root = document.documentElement();
        if (root.tagName() != QLatin1String("Device"))
            continue;
        enter(readDeviceDescription(root, path, names, external));
    }
}

void QvxModelRegistry::enter(const QvxDeviceModel &model)
{
    const QvxModelKey key{model.modelNumber, model.minimumVersion};
    auto existing = m_models.find(key);
    if (existing != m_models.end()) {
        // The earlier description is replaced whole; nothing can reach its items any more.
        deleteItems(*existing);
        *existing = model;
    } else {
        m_models.insert(key, model);
    }

    QList<int> &minimumVersions = m_versions[model.modelNumber];
    if (!minimumVersions.contains(model.minimumVersion)) {
        minimumVersions.append(model.minimumVersion);
        std::sort(minimumVersions.begin(), minimumVersions.end());
    }
}

QvxDeviceModel *QvxModelRegistry::find(quint16 modelNumber, int firmwareVersion)
{
    const auto versions = m_versions.constFind(modelNumber);
    if (versions == m_versions.cend())
        return nullptr;
    int chosen = 0;
    for (int minimum : *versions)
        if (minimum <= firmwareVersion)
            chosen = minimum;
    const auto model = m_models.find(QvxModelKey{modelNumber, chosen});
    return model == m_models.end() ? nullptr : &*model;
}

QStringList QvxModelRegistry::visibleItemNames() const
{
    QStringList names;
    QSet<QString> seen;
    auto collect = [&](const QList<QvxControlItem *> &items) {
        for (const QvxControlItem *item : items) {
            if (item && !item->hidden && !seen.contains(item->name)) {
                seen.insert(item->name);
                names.append(item->name);
            }
        }
    };
    for (const QvxDeviceModel &model : m_models) {
        collect(model.items);
        for (const QvxItemCategory &category : model.categories)
            collect(category.items);
    }
    std::sort(names.begin(), names.end()); // QString's operator< compares UTF-16 code units
    return names;
}

void QvxModelRegistry::clear()
{
    for (QvxDeviceModel &model : m_models) {
        deleteItems(model);
        model.itemsByAddress.clear();
    }
    m_models.clear();
}

QvxModelRegistry *QvxModelRegistry::instance()
{
    static QvxModelRegistry registry;
    return &registry;
}
