#pragma once

#include <QMetaObject>
#include <QObject>
#include <QString>
#include <QVariant>

namespace kvr::test {

// The object named name below root. The main window makes its other windows the first time something asks for
// them: until then a stand-in carries the name, and asking it for the window makes it.
inline QObject* windowPart(QObject* root, const QString& name)
{
    QObject* found = root ? root->findChild<QObject*>(name) : nullptr;
    if (!found || found->metaObject()->indexOfProperty("sourceComponent") < 0
        || found->metaObject()->indexOfMethod("get()") < 0)
        return found;
    QVariant made;
    QMetaObject::invokeMethod(found, "get", Q_RETURN_ARG(QVariant, made));
    return made.value<QObject*>();
}

} // namespace kvr::test
