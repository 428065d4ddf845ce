#include "device/QvxModelRegistry.h"

#include "device/BuiltInDescriptions.h"
#include "device/DeviceConstants.h"
#include "device/QvxDescriptionHeader.h"
#include "device/QvxDescriptionReader.h"
#include "platform/FileContents.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QThread>
#include <QtDebug>

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// The key the build noted for a file of the built-in folder; null for any other file.
const QvxModelKey *builtInKey(const QString &fileName)
{
    static const QList<QvxModelKey> keys = [] {
        QList<QvxModelKey> all;
        for (int i = 0; i < kBuiltInDescriptionCount; ++i)
            all.append({kBuiltInDescriptions[i].modelNumber, kBuiltInDescriptions[i].minimumVersion});
        return all;
    }();
    for (int i = 0; i < kBuiltInDescriptionCount; ++i)
        if (fileName == QLatin1String(kBuiltInDescriptions[i].fileName))
            return &keys.at(i);
    return nullptr;
}

bool open(QFile &file)
{
    if (file.open(QIODevice::ReadOnly | QIODevice::Text))
        return true;
    qWarning().noquote() << file.fileName() + QStringLiteral(" open failed");
    return false;
}

// The look at start at one file, taken straight from its bytes with the
// carriage returns dropped, as text mode reads them; `taken` stays false for a
// file that cannot be read at once, which is then opened to say why.
struct FirstLook
{
    bool taken = false;
    QvxDescriptionHeader header;
};

// Looks at the files whose places `next` hands out until none is left.
void takeLooks(const QStringList &paths, std::vector<FirstLook> &looks, std::atomic<qsizetype> &next)
{
    QByteArray contents; // one buffer for every file of this thread
    for (qsizetype i = next++; i < paths.size(); i = next++) {
        qsizetype size = 0;
        if (!platform::readFileContents(paths.at(i), contents, &size, kMaxDescriptionBytes))
            continue;
        looks[std::size_t(i)].taken = true;
        if (size > kMaxDescriptionBytes) {
            looks[std::size_t(i)].header.error = oversizedDescription();
            continue;
        }
        if (QByteArrayView(contents.constData(), size).contains('\r'))
            size = std::remove(contents.data(), contents.data() + size, '\r') - contents.data();
        looks[std::size_t(i)].header = readDescriptionHeader(QByteArrayView(contents.constData(), size));
    }
}

// Folders with this many files and more are looked at by a few threads at
// once: each file costs a few system calls, which on a folder of hundreds of
// files are a good part of a start. Smaller folders do not pay for a thread.
constexpr qsizetype kFilesPerThread = 64;
constexpr int kMostThreads = 4;

std::vector<FirstLook> takeLooks(const QStringList &paths)
{
    std::vector<FirstLook> looks(std::size_t(paths.size()));
    std::atomic<qsizetype> next{0};
    const int wanted = int(std::min<qsizetype>(paths.size() / kFilesPerThread,
                                               std::min(kMostThreads, QThread::idealThreadCount())));
    std::vector<std::thread> helpers;
    for (int i = 1; i < wanted; ++i) {
        try {
            helpers.emplace_back([&] { takeLooks(paths, looks, next); });
        } catch (const std::system_error &) {
            break; // no more threads to be had: fewer hands do the same
        }
    }
    takeLooks(paths, looks, next);
    for (std::thread &helper : helpers)
        helper.join();
    return looks;
}

// The warning for a file that is skipped: not well-formed, or refused unread.
void warnUnread(const QString &path, const QvxXmlError &error)
{
    if (!error.refused) {
        qWarning().noquote() << QStringLiteral("%1 parse failed, line: %2, col: %3, %4")
                                    .arg(path, QString::number(error.line), QString::number(error.column),
                                         error.message);
    } else if (error.line > 0) {
        qWarning().noquote() << QStringLiteral("%1 refused: %2 (line %3, column %4)")
                                    .arg(path, error.message, QString::number(error.line),
                                         QString::number(error.column));
    } else {
        qWarning().noquote() << QStringLiteral("%1 refused: %2").arg(path, error.message);
    }
}

} // namespace

QvxModelRegistry::QvxModelRegistry()
    : modelNames_(kModelNames)
{
}

QvxModelRegistry::~QvxModelRegistry()
{
    clear();
}

void QvxModelRegistry::load(const QString &directory, bool external)
{
    loadDirectory(directory, nameSink_, external);
}

void QvxModelRegistry::load(const QString &directory, QStringList *names, bool external)
{
    loadDirectory(directory, names, external);
}

void QvxModelRegistry::loadDirectory(const QString &directory, QStringList *names, bool external)
{
    // Every regular file is tried, whatever its suffix; the folder's own order decides
    // which of two files with one key wins.
    QStringList paths;
    QDirIterator it(directory, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileInfo().isFile())
            paths.append(path);
    }

    if (names) {
        // The names are the items': every file is built now.
        for (const QString &path : std::as_const(paths)) {
            QFile file(path);
            if (!open(file))
                continue;
            QvxDeviceModel model;
            QvxXmlError error;
            switch (readDeviceDescription(file, path, names, external, &model, &error)) {
            case QvxDescriptionRead::Built:
                enter({model.modelNumber, model.minimumVersion}, {path, external}, &model);
                break;
            case QvxDescriptionRead::NotWellFormed:
            case QvxDescriptionRead::Refused:
                warnUnread(path, error);
                break;
            case QvxDescriptionRead::NotDevice:
                break;
            }
        }
        return;
    }

    // The built-in folder is known from the build's index and not read at all.
    const bool builtIn = QDir::cleanPath(directory) == QLatin1String(kBuiltInDescriptionFolder);
    const std::vector<FirstLook> looks = builtIn ? std::vector<FirstLook>() : takeLooks(paths);
    for (qsizetype i = 0; i < paths.size(); ++i) {
        const QString &path = paths.at(i);
        const Source source{path, external};
        if (const QvxModelKey *key = builtIn ? builtInKey(QFileInfo(path).fileName()) : nullptr) {
            enter(*key, source, nullptr);
            continue;
        }
        QvxDescriptionHeader header;
        if (!builtIn && looks[std::size_t(i)].taken) {
            header = looks[std::size_t(i)].header;
        } else {
            // Opened as a model is built from it, in text mode, which drops carriage
            // returns; a file that cannot be opened is warned about here.
            QFile file(path);
            if (!open(file))
                continue;
            header = readDescriptionHeader(file);
        }
        if (!header.wellFormed)
            warnUnread(path, header.error);
        else if (header.device)
            enter(header.key, source, nullptr);
    }
}

// The later description of a key replaces the earlier one whole: a model built
// from the earlier file is freed, as nothing can reach its items any more.
void QvxModelRegistry::enter(const QvxModelKey &key, const Source &source, const QvxDeviceModel *model)
{
    const auto existing = models_.find(key);
    if (existing != models_.end()) {
        deleteDescriptionItems(*existing);
        models_.erase(existing);
    }
    if (model) {
        models_.insert(key, *model);
        sources_.remove(key);
    } else {
        sources_.insert(key, source);
    }

    QList<int> &minimumVersions = versions_[key.modelNumber];
    if (!minimumVersions.contains(key.minimumVersion)) {
        minimumVersions.append(key.minimumVersion);
        std::sort(minimumVersions.begin(), minimumVersions.end());
    }
}

QvxDeviceModel *QvxModelRegistry::built(const QvxModelKey &key) const
{
    const auto model = models_.find(key);
    if (model != models_.end())
        return &*model;
    const auto found = sources_.constFind(key);
    if (found == sources_.cend())
        return nullptr;
    // Built once, whatever comes of it: a file that went away since the start costs one warning.
    const Source source = *found;
    sources_.erase(found);
    QFile file(source.path);
    if (!open(file))
        return nullptr;
    QvxDeviceModel description;
    QvxXmlError error;
    switch (readDeviceDescription(file, source.path, nullptr, source.external, &description, &error)) {
    case QvxDescriptionRead::Built:
        return &*models_.insert(key, description);
    case QvxDescriptionRead::NotWellFormed:
    case QvxDescriptionRead::Refused:
        warnUnread(source.path, error);
        break;
    case QvxDescriptionRead::NotDevice:
        break;
    }
    return nullptr;
}

void QvxModelRegistry::buildAll() const
{
    const QList<QvxModelKey> keys = sources_.keys();
    for (const QvxModelKey &key : keys)
        built(key);
}

QvxDeviceModel *QvxModelRegistry::find(quint16 modelNumber, int firmwareVersion)
{
    const auto versions = versions_.constFind(modelNumber);
    if (versions == versions_.cend())
        return nullptr;
    int chosen = 0;
    for (int minimum : *versions)
        if (minimum <= firmwareVersion)
            chosen = minimum;
    return built(QvxModelKey{modelNumber, chosen});
}

const QMap<QvxModelKey, QvxDeviceModel> &QvxModelRegistry::models() const
{
    buildAll();
    return models_;
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
    for (const QvxDeviceModel &model : models()) {
        collect(model.items);
        for (const QvxItemCategory &category : model.categories)
            collect(category.items);
    }
    std::sort(names.begin(), names.end()); // QString's operator< compares UTF-16 code units
    return names;
}

void QvxModelRegistry::clear()
{
    for (QvxDeviceModel &model : models_) {
        deleteDescriptionItems(model);
        model.itemsByAddress.clear();
    }
    models_.clear();
    sources_.clear();
}
