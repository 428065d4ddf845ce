#pragma once
// The signatures of one kind of method (signals, slots) that a class itself
// declares, in meta-object order, for tests of what the meta-object system
// shows of a class.

#include <QMetaMethod>
#include <QMetaObject>
#include <QStringList>

inline QStringList ownMethods(const QMetaObject &meta, QMetaMethod::MethodType type)
{
    QStringList out;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod m = meta.method(i);
        if (m.methodType() == type)
            out << QString::fromLatin1(m.methodSignature());
    }
    return out;
}
