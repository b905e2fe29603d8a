// Pictures of windows for the docs. Xvfb has no window manager, so no window
// has a frame: each is drawn with a caption strip (its icon and title) above
// it, so the title can be read.
#pragma once

#include <QDir>
#include <QPixmap>
#include <QWidget>

#include <vector>

// The tool's start, after the QApplication: the program's look (plain box
// buttons), and DIR from `tool DIR` in `dir`; false after the usage line.
bool GrabSetUp(int argc, char** argv, const char* tool, QDir* dir);

// `windows` where they stand on the screen, each with its caption strip, on
// a dark ground; a later window is drawn over an earlier one.
QPixmap Framed(const std::vector<QWidget*>& windows);

class CQuorvanMasterDlg;

// Shows `panel` and confirms COMport in its port dialog; false if it did
// not come up.
bool ShowWithPort(CQuorvanMasterDlg& panel, int port);

// Saves `picture` as DIR/name and says so on standard output.
bool Save(const QPixmap& picture, const QDir& dir, const char* name);
