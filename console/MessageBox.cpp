#include "MessageBox.h"

#include <QPointer>
#include <QWidget>

std::unique_ptr<QMessageBox> MakeMessageBox(const QString& caption, QMessageBox::Icon icon,
                                            const QString& text, const QString& detail,
                                            QWidget* owner)
{
    auto box = std::make_unique<QMessageBox>(icon, caption, text, QMessageBox::Ok, owner);
    // A box is a window of its own, to which fonts do not pass by
    // themselves; it takes its owner's so it reads like the dialogs.
    if (owner != nullptr)
        box->setFont(owner->window()->font());
    if (!detail.isEmpty())
        box->setDetailedText(detail);
    return box;
}

bool ExecMessageBox(std::unique_ptr<QMessageBox> box)
{
    const QPointer<QMessageBox> guard(box.release());
    guard->exec();
    if (guard.isNull())
        return false;
    delete guard.data();
    return true;
}
