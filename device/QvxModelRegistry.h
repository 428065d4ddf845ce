#pragma once
// Every loaded device description, keyed by model number and the lowest firmware
// version it applies to. Owns all models' control items.

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

    // Loads every file of `directory` (not its subfolders). A description whose
    // key is already present replaces the earlier one. Files that cannot be
    // read or parsed cost a warning and are skipped; a missing folder is no error.
    void load(const QString &directory, bool external);
    // The same with an explicit name sink, which collects visible item names (may be null).
    void load(const QString &directory, QStringList *names, bool external);

    // The description for a device of this model running this firmware: the one
    // with the highest minimum version not above `firmwareVersion`. Null when the
    // model number is unknown or that description is missing. Valid until the
    // next load or clear.
    QvxDeviceModel *find(quint16 modelNumber, int firmwareVersion);
    // Names of all items that are not hidden, each once, sorted by UTF-16 code units.
    QStringList visibleItemNames() const;
    // Frees every model and item; the version lists stay.
    void clear();

    const QMap<QvxModelKey, QvxDeviceModel> &models() const { return m_models; }
    // Per model number, the minimum versions it has descriptions for, ascending.
    const QMap<quint16, QList<int>> &versions() const { return m_versions; }

    static QvxModelRegistry *instance();

private:
    void loadDirectory(const QString &directory, QStringList *names, bool external);
    void enter(const QvxDeviceModel &model);

    QMap<QvxModelKey, QvxDeviceModel> m_models;
    QMap<quint16, QList<int>> m_versions;
    QStringList *m_nameSink = nullptr;
    QStringList m_modelNames;
};
