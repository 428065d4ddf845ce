#pragma once
// Every device description the program knows, keyed by model number and the
// lowest firmware version it applies to. Loading a folder only indexes its
// files: a model is built the first time someone asks for it, and kept. The
// registry owns all built models' control items.

#include "device/QvxDeviceModel.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

class QvxModelRegistry
{
public:
    QvxModelRegistry();
    ~QvxModelRegistry();
    QvxModelRegistry(const QvxModelRegistry &) = delete;
    QvxModelRegistry &operator=(const QvxModelRegistry &) = delete;

    // Indexes every file of `directory` (not its subfolders). A description whose
    // key is already present replaces the earlier one. Files that cannot be read,
    // are not well-formed XML or are refused (larger than kMaxDescriptionBytes,
    // declaring entities) cost a warning each and are skipped; a missing
    // folder is no error. Warnings that only building finds (runs and label
    // lists cut at their limit) come when the model is built.
    void load(const QString &directory, bool external);
    // The same with a name sink, which collects visible item names (may be null).
    // With a sink every file is built at once, as the names need it.
    void load(const QString &directory, QStringList *names, bool external);

    // The description for a device of this model running this firmware: the one
    // with the highest minimum version not above `firmwareVersion`, built on
    // first use. Null when the model number is unknown or that description is
    // missing. Valid until the next load or clear.
    QvxDeviceModel *find(quint16 modelNumber, int firmwareVersion);
    // Names of all items that are not hidden, each once, sorted by UTF-16 code
    // units. Builds every model not built yet.
    QStringList visibleItemNames() const;
    // Frees every model and item; the version lists stay.
    void clear();

    // Every description, each built (those not built yet are built now).
    const QMap<QvxModelKey, QvxDeviceModel> &models() const;
    // Per model number, the minimum versions it has descriptions for, ascending.
    const QMap<quint16, QList<int>> &versions() const { return versions_; }

private:
    // Where the description of a key not built yet comes from: the file that won its key.
    struct Source
    {
        QString path;
        bool external = false;
    };

    void loadDirectory(const QString &directory, QStringList *names, bool external);
    void enter(const QvxModelKey &key, const Source &source, const QvxDeviceModel *model);
    QvxDeviceModel *built(const QvxModelKey &key) const;
    void buildAll() const;

    // Built lazily, so even a const registry fills these two as it is asked.
    mutable QMap<QvxModelKey, QvxDeviceModel> models_;
    mutable QMap<QvxModelKey, Source> sources_;
    QMap<quint16, QList<int>> versions_;
    QStringList *nameSink_ = nullptr;
    QStringList modelNames_;
};
