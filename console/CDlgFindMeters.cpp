#include "CDlgFindMeters.h"

#include "MeterFormat.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr int kLastAddress = 247;

QString Plural(unsigned count, const char* one, const char* many)
{
    return QStringLiteral("%1 %2").arg(count).arg(QLatin1String(count == 1 ? one : many));
}

}  // namespace

CDlgFindMeters::CDlgFindMeters(CMeterScan& scan, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      m_scan(scan)
{
    setWindowTitle(QStringLiteral("Find Meters"));
    // A dialog is a window of its own, to which fonts do not pass.
    if (parent != nullptr)
        setFont(parent->window()->font());

    auto* layout = new QVBoxLayout(this);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("status"));
    m_status->setWordWrap(true);
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("progress"));
    m_progress->setRange(0, kLastAddress);
    m_progress->setFormat(QStringLiteral("%v of %m"));
    m_list = new QListWidget(this);
    m_list->setObjectName(QStringLiteral("meterList"));
    m_list->setMinimumSize(380, 150);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_ok = buttons->button(QDialogButtonBox::Ok);
    m_ok->setObjectName(QStringLiteral("ok"));
    m_ok->setEnabled(false);
    m_cancel = buttons->button(QDialogButtonBox::Cancel);
    m_cancel->setObjectName(QStringLiteral("cancel"));
    layout->addWidget(m_status);
    layout->addWidget(m_progress);
    layout->addWidget(m_list, 1);
    layout->addWidget(buttons);

    m_status->setText(QStringLiteral("Looking for meters at addresses 1 to 247..."));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_list, &QListWidget::itemSelectionChanged, this,
            [this] { m_ok->setEnabled(m_closeWith < 0 && !m_list->selectedItems().isEmpty()); });
    connect(m_list, &QListWidget::itemDoubleClicked, this, &CDlgFindMeters::OnActivated);
    connect(&m_scan, &CMeterScan::Asking, this, &CDlgFindMeters::OnAsking);
    connect(&m_scan, &CMeterScan::Found, this, &CDlgFindMeters::OnFound);
    connect(&m_scan, &CMeterScan::Finished, this, &CDlgFindMeters::OnFinished);
}

QString CDlgFindMeters::StatusText() const
{
    return m_status->text();
}

QString CDlgFindMeters::MeterLine(const ScanHit& hit)
{
    std::string what = hit.outcome.Ok() ? FormatReading(DecodeReading(hit.reading), false)
                                        : OutcomeText(hit.outcome);
    if (!what.empty() && what.back() == '\n')
        what.pop_back();
    return QStringLiteral("Address %1: %2").arg(hit.address).arg(QString::fromStdString(what));
}

QString CDlgFindMeters::FoundText() const
{
    return Plural(static_cast<unsigned>(m_list->count()), "meter", "meters");
}

void CDlgFindMeters::OnAsking(int address)
{
    m_progress->setValue(address);
    m_status->setText(QStringLiteral("Looking for meters: address %1 of %2, %3 found.")
                          .arg(address)
                          .arg(kLastAddress)
                          .arg(FoundText()));
}

void CDlgFindMeters::OnFound(const ScanHit& hit)
{
    auto* item = new QListWidgetItem(MeterLine(hit), m_list);
    item->setData(Qt::UserRole, hit.address);
    if (m_list->count() == 1 && m_closeWith < 0)
        m_list->setCurrentItem(item);  // OK picks it, as a double-click would
}

void CDlgFindMeters::OnFinished(const MeterScanEnd& end)
{
    if (m_closeWith >= 0) {
        QDialog::done(m_closeWith);
        return;
    }
    if (end.scan.outcome.stage == MeterOutcome::kOpen) {
        m_status->setText(QStringLiteral("Failed to open COM-Port!\n%1").arg(end.failure));
        return;
    }
    if (!end.failure.isEmpty()) {
        m_status->setText(QStringLiteral("The scan stopped at address %1, %2 found.\n%3")
                              .arg(end.scan.address)
                              .arg(FoundText(), end.failure));
        return;
    }
    m_progress->setValue(kLastAddress);
    if (m_list->count() == 0)
        m_status->setText(QStringLiteral("No meter answered at addresses 1 to 247."));
    else
        m_status->setText(
            QStringLiteral("%1 found. Pick the panel's meter and press OK.").arg(FoundText()));
}

void CDlgFindMeters::OnActivated(QListWidgetItem* item)
{
    m_list->setCurrentItem(item);
    accept();
}

void CDlgFindMeters::done(int result)
{
    if (m_closeWith >= 0)
        return;  // closing already, once the scan has ended
    if (result == QDialog::Accepted) {
        const QList<QListWidgetItem*> selected = m_list->selectedItems();
        if (selected.isEmpty())
            return;
        m_picked = static_cast<uint8_t>(selected.front()->data(Qt::UserRole).toInt());
    }
    if (!m_scan.Running()) {
        QDialog::done(result);
        return;
    }
    m_closeWith = result;
    m_ok->setEnabled(false);
    m_cancel->setEnabled(false);
    m_status->setText(QStringLiteral("Stopping the scan..."));
    m_scan.Stop();
}
