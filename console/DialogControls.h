// Controls are addressed by their numeric template ids: each control's
// objectName is "id<number>" (e.g. "id1002"), and FindControl looks it up
// among the dialog's direct children.
#pragma once

#include <QString>
#include <QWidget>

inline QString ControlName(int id)
{
    return QStringLiteral("id%1").arg(id);
}

inline QWidget* FindControl(const QWidget* dialog, int id)
{
    return dialog->findChild<QWidget*>(ControlName(id), Qt::FindDirectChildrenOnly);
}

// Names `control` by `id` and returns it, for one-line construction.
template <typename T>
T* Named(T* control, int id)
{
    control->setObjectName(ControlName(id));
    return control;
}
