#include "frmComport.h"

#include <QApplication>
#include <QButtonGroup>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QShowEvent>
#include <QVBoxLayout>
#include <algorithm>

#include "FormLook.h"

namespace {

constexpr int kPorts = 4;            // COM 1 to COM 4 always have an option
constexpr int kPictureSide = 48;     // logical pixels
constexpr int kFrameAllowance = 48;  // logical pixels of title bar and frame before they are known

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
    small_ = font();
    small_.setBold(false);
    small_.setPointSizeF(small_.pointSizeF() * 0.8);
    lblNotes = new QLabel(this);
    lblNotes->setObjectName(QStringLiteral("lblNotes"));
    lblNotes->setFont(small_);
    lblNotes->setWordWrap(true);
    lblNotes->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lblNotes->hide();
    for (int i = 0; i < kPorts; ++i) {
        MakeOption(i + 1);
        auto* cell = new QVBoxLayout;
        cell->setSpacing(0);
        cell->addWidget(optCom[i]);
        cell->addWidget(lblDevice[i]);
        // Two by two: ports 1 and 2 in the left column, 3 and 4 in the right one.
        grid->addLayout(cell, i % 2, i / 2);
    }
    optCom[0]->setChecked(true);
    lblOtherPorts = new QLabel(this);
    lblOtherPorts->setObjectName(QStringLiteral("lblOtherPorts"));
    lblOtherPorts->hide();
    others_ = new QVBoxLayout;
    others_->setSpacing(6);
    others_->addWidget(lblOtherPorts);

    picOK = new QWidget(this);
    cmdOK = new QPushButton(QStringLiteral("OK"), picOK);
    cmdOK->setDefault(true);
    cmdOK->setMinimumWidth(90);
    auto* okLayout = new QHBoxLayout(picOK);
    okLayout->setContentsMargins(0, 0, 0, 0);
    okLayout->addStretch();
    okLayout->addWidget(cmdOK);
    connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOK_Click(); });

    // The options and the notes scroll once they would push OK off the screen; the picture and
    // OK stay where they are.
    options_ = new QWidget(this);
    auto* options = new QVBoxLayout(options_);
    options->setContentsMargins(0, 0, 0, 0);
    options->setSpacing(14);
    options->addLayout(grid);
    options->addLayout(others_);
    options->addWidget(lblNotes);
    options->addStretch(1);
    scroll_ = new QScrollArea(this);
    scroll_->setObjectName(QStringLiteral("scrollPorts"));
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setFocusPolicy(Qt::NoFocus);
    scroll_->setWidget(options_);
    scroll_->viewport()->setAutoFillBackground(false);
    options_->setAutoFillBackground(false);
    // The arrow keys and Tab may reach an option scrolled out of sight: bring it in.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (now != nullptr && options_->isAncestorOf(now)) scroll_->ensureWidgetVisible(now);
    });
    auto* top = new QHBoxLayout;
    top->setSpacing(16);
    top->addWidget(ImgZapper);
    top->addWidget(scroll_, 1);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(16, 16, 16, 12);
    outer->setSpacing(14);
    outer->addLayout(top, 1);
    outer->addWidget(picOK);
    setMinimumWidth(380);
}

// The whole dialog, frame and OK included, stays inside the screen's work area: the scrolling
// part gets the height its options need or what is left of the screen, whichever is less.
void frmComport::FitToScreen() {
    QScreen* where = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
    if (where == nullptr) return;
    const QRect area = where->availableGeometry();
    const int frame = isVisible() ? frameGeometry().height() - geometry().height() : 0;
    const int chrome = frame > 0 ? frame : kFrameAllowance;
    const int content = options_->sizeHint().height();
    scroll_->setMinimumHeight(0);
    scroll_->setMaximumHeight(QWIDGETSIZE_MAX);
    scroll_->setFixedHeight(content);
    layout()->activate();
    const int excess = sizeHint().height() + chrome - area.height();
    const int height =
        excess > 0 ? std::max(content - excess, optCom[0]->sizeHint().height()) : content;
    scroll_->setFixedHeight(height);
    scroll_->setMinimumWidth(
        options_->sizeHint().width() +
        (height < content ? scroll_->verticalScrollBar()->sizeHint().width() : 0));
    layout()->activate();
    resize(sizeHint());
    if (!isVisible()) return;
    // Kept on the screen: a tall dialog centred on its owner would reach below the work area.
    QRect placed = frameGeometry();
    placed.moveBottom(std::min(placed.bottom(), area.bottom()));
    placed.moveRight(std::min(placed.right(), area.right()));
    placed.moveTop(std::max(placed.top(), area.top()));
    placed.moveLeft(std::max(placed.left(), area.left()));
    move(placed.topLeft());
}

void frmComport::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FitToScreen();
}

QRadioButton* frmComport::MakeOption(int number) {
    const int index = static_cast<int>(optCom.size());
    auto* option = new QRadioButton(QStringLiteral("Com %1").arg(number), this);
    option->setObjectName(QStringLiteral("optCom%1").arg(index));
    group_->addButton(option, index);
    auto* device = new QLabel(this);
    device->setFont(small_);
    device->setIndent(22);
    optCom.push_back(option);
    lblDevice.push_back(device);
    numbers_.push_back(number);
    notes_.emplace_back();
    return option;
}

int frmComport::AddPort(int number, const QString& label) {
    MakeOption(number);
    lblOtherPorts->setText(label);
    lblOtherPorts->setVisible(!label.isEmpty());
    auto* cell = new QVBoxLayout;
    cell->setSpacing(0);
    cell->addWidget(optCom.back());
    cell->addWidget(lblDevice.back());
    others_->addLayout(cell);
    FitToScreen();
    return static_cast<int>(optCom.size()) - 1;
}

void frmComport::ShowPortDetails(int index, const std::string& description,
                                 const std::string& whyNotFree) {
    if (index < 0 || index >= static_cast<int>(optCom.size())) return;
    const QString text = QString::fromStdString(description);
    lblDevice[index]->setText(text);
    // A port that is not offered is often held by another program or closed to this user:
    // say so under the options, where the technician reads it without hunting for it.
    const QString why = QString::fromStdString(whyNotFree);
    notes_[index] =
        why.isEmpty() ? QString() : QStringLiteral("Com %1: ").arg(numbers_[index]) + why;
    const QString tip = why.isEmpty() ? text : text + QLatin1Char('\n') + why;
    optCom[index]->setToolTip(tip);
    lblDevice[index]->setToolTip(tip);
    QStringList shown;
    for (const QString& note : notes_) {
        if (!note.isEmpty()) shown << note;
    }
    lblNotes->setText(shown.join(QLatin1Char('\n')));
    lblNotes->setVisible(!shown.isEmpty());
    FitToScreen();
}

void frmComport::SetupForm(std::int16_t intFirstAvail, const QString& strComports,
                           const QString& strTitle, const QString& strOK) {
    setWindowTitle(strTitle);
    cmdOK->setText(strOK);
    const int options = static_cast<int>(optCom.size());
    if (intFirstAvail >= 0 && intFirstAvail < options) optCom[intFirstAvail]->setChecked(true);
    const QStringList ports = strComports.split(QLatin1Char(','));
    for (auto* option : optCom) option->setEnabled(false);
    for (const QString& element : ports) {
        bool isNumber = false;
        const int port = element.toInt(&isNumber);
        for (int i = 0; isNumber && i < options; ++i) {
            if (numbers_[i] == port) optCom[i]->setEnabled(true);
        }
    }
    for (int i = 0; i < options; ++i) lblDevice[i]->setEnabled(optCom[i]->isEnabled());
    if (intFirstAvail >= 0 && intFirstAvail < options && optCom[intFirstAvail]->isEnabled()) {
        optCom[intFirstAvail]->setFocus();
    }
}

std::int16_t frmComport::Comport() const {
    for (std::size_t i = 0; i < optCom.size(); ++i) {
        if (optCom[i]->isChecked()) return static_cast<std::int16_t>(numbers_[i]);
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
