#include "SaveDialog.h"

#include <QDateTime>
#include <QDir>
#include <QFileDialog>

QString StampedHomePath(const QString& prefix, const QString& suffix)
{
    const QString stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd_HHmmss"));
    return QDir::home().filePath(QStringLiteral("%1-%2.%3").arg(prefix, stamp, suffix));
}

QFileDialog* MakeSaveDialog(QWidget* owner, const QString& title, const QString& prefix,
                            const QString& suffix, const QString& filter)
{
    auto* dlg = new QFileDialog(owner, title, StampedHomePath(prefix, suffix), filter);
    dlg->setAcceptMode(QFileDialog::AcceptSave);
    dlg->setDefaultSuffix(suffix);
    return dlg;
}
