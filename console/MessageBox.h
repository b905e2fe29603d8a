// The one way the console builds a message box: plain OK button (the
// application's style keeps icons off dialog buttons), the owner's window
// font rather than the desktop's, the caption given.
#pragma once

#include <QMessageBox>
#include <QString>

#include <memory>

class QWidget;

// A box owned by `owner` (it stays in front of it), with an OK button;
// `detail`, when not empty, goes behind "Show Details...". Run it with
// exec(), or hand it to whatever tracks the owner's open dialogs.
std::unique_ptr<QMessageBox> MakeMessageBox(const QString& caption, QMessageBox::Icon icon,
                                            const QString& text, const QString& detail,
                                            QWidget* owner);

// Runs `box` modally and deletes it. It belongs to its owner while it is up:
// if the owner is destroyed meanwhile (its window closed under it), the box
// goes with it and false comes back, and the caller must touch nothing of
// the owner's.
bool ExecMessageBox(std::unique_ptr<QMessageBox> box);
