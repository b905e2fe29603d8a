#include "CComSetDlg.h"

#include "DialogControls.h"
#include "DialogUnits.h"
#include "PortMap.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

QString PortEntryToolTip(int port)
{
    const bool present = ComPortPresent(port);
    return QString::fromStdString(ComPortLabel(port)) +
           (present ? QStringLiteral(", present") : QStringLiteral(", not present"));
}

// A drop-down list's template height (30) covers its open list; the closed
// box takes the style's height for the font.
static void PlaceDropDown(const DialogUnits& du, QComboBox* list, int x, int y, int w)
{
    const QRect r = du.Rect(x, y, w, 30);
    list->setGeometry(r.x(), r.y(), r.width(), list->sizeHint().height());
}

CComSetDlg::CComSetDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint)
{
    const DialogUnits du(QStringLiteral("Fixedsys"), 12);
    setFont(du.Font());
    setFixedSize(du.Size(127, 94));

    // Created in template order, which is also the tab order.
    auto* cancel = Named(new QPushButton(this), IDCANCEL_BUTTON);
    du.Place(cancel, 74, 67, 37, 14);
    auto* ok = Named(new QPushButton(this), IDOK_BUTTON);
    du.Place(ok, 16, 67, 36, 14);
    ok->setDefault(true);
    m_portList = Named(new QComboBox(this), IDC_PORT_LIST);
    PlaceDropDown(du, m_portList, 67, 17, 40);
    auto* portLabel = Named(new QLabel(this), IDC_PORT_LABEL);
    du.Place(portLabel, 23, 20, 44, 8);
    auto* baudLabel = Named(new QLabel(this), IDC_BAUD_LABEL);
    du.Place(baudLabel, 23, 41, 43, 8);
    m_baudList = Named(new QComboBox(this), IDC_BAUD_LIST);
    PlaceDropDown(du, m_baudList, 67, 40, 40);
    m_baudList->setEnabled(false);

    // Initial list contents, as the template carries them.
    for (int port = 1; port <= kPortCount; ++port)
        m_portList->addItem(QStringLiteral("COM%1").arg(port));
    for (const char* baud : {"9600", "4800", "2400", "1200"})
        m_baudList->addItem(QString::fromLatin1(baud));

    setWindowTitle(QStringLiteral("COM Port setting"));
    portLabel->setText(QStringLiteral("COM Port:"));
    baudLabel->setText(QStringLiteral("Baudrate:"));
    ok->setText(QStringLiteral("OK"));
    cancel->setText(QStringLiteral("Cancel"));

    connect(ok, &QPushButton::clicked, this, &CComSetDlg::OnOK);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    cancel->setFocus();
}

QWidget* CComSetDlg::Control(int id) const
{
    return FindControl(this, id);
}

void CComSetDlg::showEvent(QShowEvent* event)
{
    OnInitDialog();
    QDialog::showEvent(event);
}

void CComSetDlg::OnInitDialog()
{
    // Tooltips are built now so that "present" means present at opening.
    for (int port = 1; port <= kPortCount; ++port)
        m_portList->setItemData(port - 1, PortEntryToolTip(port), Qt::ToolTipRole);
    m_portList->setCurrentIndex(m_byPort >= 1 && m_byPort <= kPortCount ? m_byPort - 1 : -1);
    m_baudList->setCurrentIndex(0);
}

void CComSetDlg::OnOK()
{
    m_byPort = static_cast<uint8_t>(m_portList->currentIndex() + 1);
    accept();
}
