#include "frmComport.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "FormLook.h"
#include "SerialPort.h"

namespace {

constexpr int kPorts = 4;         // COM 1 to COM 4
constexpr int kPictureSide = 48;  // logical pixels

}  // namespace

frmComport::frmComport(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Select Com Port"));
    setFont(FormFont());
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    ImgZapper = new QLabel(this);
    ImgZapper->setPixmap(DrawZapper(ZapperPicture::Ready, kPictureSide, devicePixelRatioF()));
    ImgZapper->setAlignment(Qt::AlignTop | Qt::AlignHCenter);

    group_ = new QButtonGroup(this);
    group_->setExclusive(true);
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(28);
    grid->setVerticalSpacing(10);
    QFont small = font();
    small.setBold(false);
    small.setPointSizeF(small.pointSizeF() * 0.8);
    lblNotes = new QLabel(this);
    lblNotes->setObjectName(QStringLiteral("lblNotes"));
    lblNotes->setFont(small);
    lblNotes->setWordWrap(true);
    lblNotes->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lblNotes->hide();
    for (int i = 0; i < kPorts; ++i) {
        optCom[i] = new QRadioButton(QStringLiteral("Com %1").arg(i + 1), this);
        optCom[i]->setObjectName(QStringLiteral("optCom%1").arg(i));
        group_->addButton(optCom[i], i);
        lblDevice[i] = new QLabel(this);
        lblDevice[i]->setFont(small);
        lblDevice[i]->setIndent(22);
        ShowPortDetails(i, ComPortDescription(i + 1), "");

        auto* cell = new QVBoxLayout;
        cell->setSpacing(0);
        cell->addWidget(optCom[i]);
        cell->addWidget(lblDevice[i]);
        // Two by two: ports 1 and 2 in the left column, 3 and 4 in the right one.
        grid->addLayout(cell, i % 2, i / 2);
    }
    optCom[0]->setChecked(true);

    picOK = new QWidget(this);
    cmdOK = new QPushButton(QStringLiteral("OK"), picOK);
    cmdOK->setDefault(true);
    cmdOK->setMinimumWidth(90);
    auto* okLayout = new QHBoxLayout(picOK);
    okLayout->setContentsMargins(0, 0, 0, 0);
    okLayout->addStretch();
    okLayout->addWidget(cmdOK);
    connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOK_Click(); });

    auto* top = new QHBoxLayout;
    top->setSpacing(16);
    top->addWidget(ImgZapper);
    top->addLayout(grid, 1);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(16, 16, 16, 12);
    outer->setSpacing(14);
    outer->addLayout(top);
    outer->addWidget(lblNotes);
    outer->addWidget(picOK);
    setMinimumWidth(380);
}

void frmComport::ShowPortDetails(int index, const std::string& description,
                                 const std::string& whyNotFree) {
    if (index < 0 || index >= kPorts) return;
    const QString text =
        description.empty() ? tr("no device") : QString::fromStdString(description);
    lblDevice[index]->setText(text);
    QString tip = description.empty()
                      ? tr("No serial device is mapped to COM %1 on this computer.").arg(index + 1)
                      : tr("COM %1 is %2 on this computer.").arg(index + 1).arg(text);
    // A port that is not offered is often held by another program or closed to this user:
    // say so under the options, where the technician reads it without hunting for it.
    notes_[index] = whyNotFree.empty() ? QString()
                                       : QStringLiteral("Com %1: ").arg(index + 1) +
                                             QString::fromStdString(whyNotFree);
    if (!whyNotFree.empty()) tip += QLatin1Char('\n') + QString::fromStdString(whyNotFree);
    optCom[index]->setToolTip(tip);
    lblDevice[index]->setToolTip(tip);
    QStringList shown;
    for (const QString& note : notes_) {
        if (!note.isEmpty()) shown << note;
    }
    lblNotes->setText(shown.join(QLatin1Char('\n')));
    lblNotes->setVisible(!shown.isEmpty());
}

void frmComport::SetupForm(std::int16_t intFirstAvail, const QString& strComports,
                           const QString& strTitle, const QString& strOK) {
    setWindowTitle(strTitle);
    cmdOK->setText(strOK);
    if (intFirstAvail >= 0 && intFirstAvail < kPorts) optCom[intFirstAvail]->setChecked(true);
    const QStringList ports = strComports.split(QLatin1Char(','));
    for (auto* option : optCom) option->setEnabled(false);
    for (const QString& element : ports) {
        bool isNumber = false;
        const int port = element.toInt(&isNumber);
        if (isNumber && port >= 1 && port <= kPorts) optCom[port - 1]->setEnabled(true);
    }
    for (int i = 0; i < kPorts; ++i) lblDevice[i]->setEnabled(optCom[i]->isEnabled());
}

std::int16_t frmComport::Comport() const {
    for (int i = 0; i < kPorts; ++i) {
        if (optCom[i]->isChecked()) return static_cast<std::int16_t>(i + 1);
    }
    return 0;
}

void frmComport::cmdOK_Click() {
    accept();
}

void frmComport::reject() {
    optCom[0]->setChecked(true);
    QDialog::reject();
}
