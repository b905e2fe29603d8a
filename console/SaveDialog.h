// The one way the panel asks where to save a file: a save dialog owned by
// `owner`, proposing a name in the home folder that carries the date and
// time, e.g. quorvan-2026-12-08_101700.csv.
#pragma once

#include <QString>

class QFileDialog;
class QWidget;

// <home>/<prefix>-<yyyy-MM-dd_HHmmss>.<suffix>, now.
QString StampedHomePath(const QString& prefix, const QString& suffix);

// Not yet shown; `suffix` is added to a name typed without one.
QFileDialog* MakeSaveDialog(QWidget* owner, const QString& title, const QString& prefix,
                            const QString& suffix, const QString& filter);
