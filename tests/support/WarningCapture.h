#pragma once
// Collects the texts of Qt warnings issued while it lives, so tests can check
// them exactly. Not thread-safe; one capture at a time.

#include <QString>
#include <QStringList>
#include <QtGlobal>

class WarningCapture
{
public:
    WarningCapture() : m_previous(qInstallMessageHandler(&WarningCapture::handle)) { s_active = this; }
    ~WarningCapture()
    {
        qInstallMessageHandler(m_previous);
        s_active = nullptr;
    }
    WarningCapture(const WarningCapture &) = delete;
    WarningCapture &operator=(const WarningCapture &) = delete;

    QStringList warnings;

private:
    static void handle(QtMsgType type, const QMessageLogContext &, const QString &message)
    {
        if (type == QtWarningMsg && s_active)
            s_active->warnings.append(message);
    }

    QtMessageHandler m_previous;
    static inline WarningCapture *s_active = nullptr;
};
