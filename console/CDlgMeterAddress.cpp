#include "CDlgMeterAddress.h"

#include "CModBusRtu.h"
#include "ParamInput.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

CDlgMeterAddress::CDlgMeterAddress(uint8_t unit, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint)
{
    setWindowTitle(QStringLiteral("Meter Address"));
    if (parent != nullptr)
        setFont(parent->window()->font());
    const ParamBounds bounds = ParamFieldBounds(kParamAddress);

    m_general = new QRadioButton(
        QStringLiteral("General address (0xF8): the only meter on the line"), this);
    m_general->setObjectName(QStringLiteral("general"));
    m_own = new QRadioButton(QStringLiteral("Own address:"), this);
    m_own->setObjectName(QStringLiteral("own"));
    m_address = new QSpinBox(this);
    m_address->setObjectName(QStringLiteral("address"));
    m_address->setRange(bounds.low, bounds.high);
    m_address->setValue(unit != 0 ? unit : bounds.low);
    auto* note = new QLabel(
        QStringLiteral("With several meters on the line, each answers the general address at "
                       "once and the answers collide: pick one by its own address (Find "
                       "Meters... lists them)."),
        this);
    note->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);

    auto* grid = new QGridLayout;
    grid->addWidget(m_general, 0, 0, 1, 2);
    grid->addWidget(m_own, 1, 0);
    grid->addWidget(m_address, 1, 1, Qt::AlignLeft);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(note);
    layout->addWidget(buttons);

    (unit != 0 ? m_own : m_general)->setChecked(true);
    m_address->setEnabled(unit != 0);
    connect(m_own, &QRadioButton::toggled, m_address, &QWidget::setEnabled);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

uint8_t CDlgMeterAddress::Unit() const
{
    return m_own->isChecked() ? static_cast<uint8_t>(m_address->value()) : 0;
}

QString CDlgMeterAddress::Describe(uint8_t unit)
{
    if (unit == 0)
        return QStringLiteral("Meter at the general address 0x%1")
            .arg(QString::number(CModBusRtu::kSlaveAddress, 16).toUpper());
    return QStringLiteral("Meter at address %1").arg(unit);
}
