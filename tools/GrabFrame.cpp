#include "GrabFrame.h"

#include "CComSetDlg.h"
#include "CModalDriver.h"
#include "CQuorvanMasterApp.h"
#include "CQuorvanMasterDlg.h"

#include <QApplication>
#include <QComboBox>
#include <QPainter>
#include <QPushButton>
#include <QTest>

#include <cstdio>

namespace {

const int kCaption = 26;

}  // namespace

bool GrabSetUp(int argc, char** argv, const char* tool, QDir* dir)
{
    CQuorvanMasterApp::InstallLook();
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", tool);
        return false;
    }
    *dir = QDir(QString::fromLocal8Bit(argv[1]));
    return true;
}

QPixmap Framed(const std::vector<QWidget*>& windows)
{
    QRect area;
    for (QWidget* w : windows)
        area = area.united(w->geometry().adjusted(0, -kCaption, 0, 0));
    area.adjust(-6, -6, 6, 6);
    QPixmap picture(area.size());
    picture.fill(QColor(0x3a, 0x3a, 0x3a));
    QPainter painter(&picture);
    for (QWidget* w : windows) {
        const QPoint at = w->geometry().topLeft() - area.topLeft();
        const QRect bar(at.x(), at.y() - kCaption, w->width(), kCaption);
        painter.fillRect(bar, QColor(0x2b, 0x57, 0x9a));
        painter.drawPixmap(bar.x() + 5, bar.y() + 5, w->windowIcon().pixmap(16, 16));
        painter.setPen(Qt::white);
        QFont font = QApplication::font();
        font.setPixelSize(13);
        painter.setFont(font);
        painter.drawText(bar.adjusted(26, 0, -4, 0), Qt::AlignVCenter | Qt::AlignLeft,
                         w->windowTitle());
        painter.drawPixmap(at, w->grab());
    }
    return picture;
}

bool ShowWithPort(CQuorvanMasterDlg& panel, int port)
{
    panel.show();
    if (!QTest::qWaitForWindowExposed(&panel))
        return false;
    const auto dialog = CModalDriver::Once<CComSetDlg>([port](CComSetDlg* d) {
        qobject_cast<QComboBox*>(d->Control(CComSetDlg::IDC_PORT_LIST))->setCurrentIndex(port - 1);
        qobject_cast<QPushButton*>(d->Control(CComSetDlg::IDOK_BUTTON))->click();
    });
    qobject_cast<QPushButton*>(panel.Control(CQuorvanMasterDlg::IDC_SET_COM_PORT))->click();
    return dialog->Done();
}

bool Save(const QPixmap& picture, const QDir& dir, const char* name)
{
    const QString path = dir.filePath(QString::fromLatin1(name));
    const bool saved = picture.save(path);
    std::printf("%s %s\n", saved ? "saved" : "FAILED", qPrintable(path));
    return saved;
}
