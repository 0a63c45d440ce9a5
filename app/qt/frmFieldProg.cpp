#include "frmFieldProg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "FormLook.h"
#include "clsFieldProgrammer.h"
#include "clsFilingFuncs.h"
#include "frmAbout.h"
#include "frmComport.h"

namespace {

constexpr int kBusyTickMs = 250;  // picture change of the busy animation
constexpr int kPictureSide = 64;  // logical pixels

// A command button inside its own container, so that hiding or disabling the container hides
// or disables the button, and the layout keeps the place while it is hidden.
QWidget* ButtonBox(QWidget* parent, QPushButton*& button, const QString& name) {
    auto* box = new QWidget(parent);
    box->setObjectName(QStringLiteral("pic") + name);
    button = new QPushButton(box);
    button->setObjectName(QStringLiteral("cmd") + name);
    button->setFont(FormFont());
    button->setMinimumWidth(110);
    button->setAutoDefault(false);
    auto* layout = new QHBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(button);
    QSizePolicy policy = box->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    box->setSizePolicy(policy);
    return box;
}

QProgressBar* ProgressBar(QWidget* parent, const QString& name) {
    auto* bar = new QProgressBar(parent);
    bar->setObjectName(name);
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(true);
    QSizePolicy policy = bar->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    bar->setSizePolicy(policy);
    return bar;
}

}  // namespace

frmFieldProg::frmFieldProg(QWidget* parent) : QWidget(parent) {
    setWindowIcon(ApplicationIcon());
    setWindowTitle(QStringLiteral("Field Programmer"));

    DrawPictures();
    ImgZapper = new QLabel(this);
    ImgZapper->setObjectName(QStringLiteral("ImgZapper"));
    ImgZapper->setFixedSize(kPictureSide, kPictureSide);
    ImgZapper->setPixmap(imgListZapper[0]);

    lblStatus = new QLabel(
        QStringLiteral("Press the button on the top of the Field Programmer to download."), this);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    lblStatus->setFont(FormFont());
    lblStatus->setWordWrap(true);
    lblStatus->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    lblStatus->setMinimumHeight(QFontMetrics(lblStatus->font()).lineSpacing() * 3);

    pbProgressClear = ProgressBar(this, QStringLiteral("pbProgressClear"));
    pbProgress = ProgressBar(this, QStringLiteral("pbProgress"));

    picDescription = ButtonBox(this, cmdDescription, QStringLiteral("Description"));
    picAbout = ButtonBox(this, cmdAbout, QStringLiteral("About"));
    picQuit = ButtonBox(this, cmdQuit, QStringLiteral("Quit"));
    cmdDescription->setText(QStringLiteral("Description"));
    cmdAbout->setText(QStringLiteral("About"));
    cmdQuit->setText(QStringLiteral("Quit"));
    connect(cmdDescription, &QPushButton::clicked, this, [this] { cmdDescription_Click(); });
    connect(cmdAbout, &QPushButton::clicked, this, [this] { cmdAbout_Click(); });
    connect(cmdQuit, &QPushButton::clicked, this, [this] { cmdQuit_Click(); });

    WaitTimer = new QTimer(this);
    WaitTimer->setInterval(kBusyTickMs);
    connect(WaitTimer, &QTimer::timeout, this, [this] { WaitTimer_Timer(); });

    lineBlack = DecorationLine(this, QColor(96, 96, 96));
    lineWhite = DecorationLine(this, Qt::white);

    auto* bars = new QVBoxLayout;
    bars->setSpacing(8);
    bars->addWidget(lblStatus);
    bars->addWidget(pbProgressClear);
    bars->addWidget(pbProgress);
    auto* top = new QHBoxLayout;
    top->setSpacing(16);
    top->addWidget(ImgZapper, 0, Qt::AlignTop);
    top->addLayout(bars, 1);

    auto* rule = new QVBoxLayout;
    rule->setSpacing(0);
    rule->addWidget(lineBlack);
    rule->addWidget(lineWhite);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    buttons->addWidget(picDescription);
    buttons->addStretch(1);
    buttons->addWidget(picAbout);
    buttons->addWidget(picQuit);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(16, 16, 16, 12);
    outer->setSpacing(12);
    outer->addLayout(top, 1);
    outer->addLayout(rule);
    outer->addLayout(buttons);
    setMinimumWidth(520);
}

frmFieldProg::~frmFieldProg() {
    // The sequence releases the device object (closing its port) before the controls go.
    sequence_.reset();
}

// ---------------------------------------------------------------------------------------------
// Start-up and handlers: the sequence does the work.

void frmFieldProg::Form_Load() {
    SequenceSettings settings;
    settings.executablePath = ExecutablePath;
    settings.makePort = MakePort;
    StartSequence(std::move(settings));
}

bool frmFieldProg::IsLoaded() const {
    return !sequence_ || !sequence_->Unloaded();
}
int frmFieldProg::CurrentPicture() const {
    return picture_;
}

QString frmFieldProg::ExecutableName() const {
    if (sequence_) return QString::fromStdString(sequence_->ExecutableName());
    const std::string path = ExecutablePath.empty()
                                 ? QCoreApplication::applicationFilePath().toStdString()
                                 : ExecutablePath;
    return QString::fromStdString(clsFilingFuncs().FileNameNoExtension(path));
}

void frmFieldProg::closeEvent(QCloseEvent* event) {
    if (sequence_) sequence_->Form_Unload();
    event->accept();
}

void frmFieldProg::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    DrawPictures();
    ImgZapper->setPixmap(imgListZapper[picture_ - 1]);
}

// ---------------------------------------------------------------------------------------------
// The view the sequence drives

void frmFieldProg::SetCaption(const std::string& text) {
    setWindowTitle(QString::fromStdString(text));
}

void frmFieldProg::SetStatus(const std::string& text) {
    lblStatus->setText(QString::fromStdString(text));
}

// Without a caption the Description button still sits in its place but draws flat, so the
// window does not show an empty box with nothing to press. Each caption's first letter is its
// mnemonic (Alt+Q quits), whatever the language.
void frmFieldProg::SetButtonCaption(Button button, const std::string& text) {
    QString caption = QString::fromStdString(text);
    caption.replace(QLatin1Char('&'), QStringLiteral("&&"));
    if (!caption.isEmpty()) caption.prepend(QLatin1Char('&'));
    switch (button) {
        case Button::Description:
            cmdDescription->setText(caption);
            cmdDescription->setFlat(caption.isEmpty());
            break;
        case Button::Quit:
            cmdQuit->setText(caption);
            break;
        case Button::About:
            cmdAbout->setText(caption);
            break;
    }
}

void frmFieldProg::ShowButtons(bool visible) {
    picDescription->setVisible(visible);
    picQuit->setVisible(visible);
    picAbout->setVisible(visible);
    if (visible) KeepKeyboardFocus();
}

void frmFieldProg::EnableQuit(bool enabled) {
    picQuit->setEnabled(enabled);
    if (enabled) KeepKeyboardFocus();
}

// The buttons are hidden during a transfer and the focus goes with them; once they are back
// it goes to Reset when a failure offers it, else to Quit, so the keyboard keeps working.
void frmFieldProg::KeepKeyboardFocus() {
    QWidget* focus = focusWidget();
    if (focus != nullptr && focus->isVisible() && focus->isEnabled()) return;
    QPushButton* target = cmdDescription->text().isEmpty() ? cmdQuit : cmdDescription;
    if (target->isVisible() && target->isEnabled()) target->setFocus();
}

void frmFieldProg::ShowBars(bool visible) {
    pbProgress->setVisible(visible);
    pbProgressClear->setVisible(visible);
}

void frmFieldProg::SetBar(Bar bar, int value) {
    QProgressBar* target = bar == Bar::Clear ? pbProgressClear : pbProgress;
    if (target->minimum() <= value && target->maximum() >= value) target->setValue(value);
}

void frmFieldProg::ShowPicture(int picture) {
    if (picture < 1 || picture > 3) return;
    picture_ = picture;
    ImgZapper->setPixmap(imgListZapper[picture - 1]);
}

void frmFieldProg::SetBusyTimer(bool running) {
    if (running) {
        WaitTimer->start();
    } else {
        WaitTimer->stop();
    }
}

int frmFieldProg::ChoosePort(const std::string& title, const std::string& ok,
                             const std::vector<PortChoice>& ports, const std::string& otherPorts) {
    frmComport dialog(this);
    QString strComports;
    int preselected = -1;
    std::vector<int> indices;
    for (const PortChoice& port : ports) {
        const int index = port.number > 4
                              ? dialog.AddPort(port.number, QString::fromStdString(otherPorts))
                              : port.number - 1;
        indices.push_back(index);
        if (!port.free || index < 0) continue;
        strComports += QString::number(port.number) + QLatin1Char(',');
        if (port.preselected) preselected = index;
    }
    strComports.chop(1);
    // The port the sequence picked is preselected and focused, so Enter alone takes it.
    dialog.SetupForm(static_cast<std::int16_t>(std::max(preselected, 0)), strComports,
                     QString::fromStdString(title), QString::fromStdString(ok));
    for (std::size_t k = 0; k < ports.size(); ++k) {
        dialog.ShowPortDetails(indices[k], ports[k].description, ports[k].whyNotFree);
    }
    dialog.exec();
    return dialog.Comport();
}

bool frmFieldProg::ChooseBinaryFile(const std::string& title, const std::string& folder,
                                    std::string& path) {
    // Linux file names are case-sensitive; binary files arrive spelled either way.
    const QString filter = QStringLiteral("Binary File (*.BIN *.bin)");
    const QString qTitle = QString::fromStdString(title);
    // An installed program's folder (/usr/bin) holds no binary files: start at home then.
    QString qFolder = QString::fromStdString(folder);
    if (!QFileInfo(qFolder).isWritable()) qFolder = QDir::homePath();
    const QString chosen = OpenFileDialog
                               ? OpenFileDialog(this, qTitle, qFolder, filter)
                               : QFileDialog::getOpenFileName(this, qTitle, qFolder, filter);
    if (chosen.isEmpty()) return false;
    path = QFile::encodeName(chosen).toStdString();
    return true;
}

void frmFieldProg::ShowMessage(const std::string& caption, const std::string& text) {
    QMessageBox box(QMessageBox::Warning, QString::fromStdString(caption),
                    QString::fromStdString(text), QMessageBox::Ok, this);
    box.exec();
}

void frmFieldProg::ShowAbout(const std::string& program, const std::string& version,
                             const std::string& subVersion) {
    // A fresh box every time, so no text of an earlier showing survives.
    frmAbout about(this);
    about.ExecutableName(QString::fromStdString(program));
    about.ShowAbout(QString::fromStdString(version), QString::fromStdString(subVersion));
}

void frmFieldProg::ShowWindow() {
    show();
}

void frmFieldProg::CloseMainWindow() {
    close();
}

// Every other window of this application belongs to this one: close them, newest first.
void frmFieldProg::CloseOtherWindows() {
    WaitTimer->stop();
    const QList<QWidget*> windows = findChildren<QWidget*>();
    for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
        QWidget* window = *it;
        if (!window->isWindow() || !window->isVisible()) continue;
        if (auto* dialog = qobject_cast<QDialog*>(window)) {
            dialog->reject();
        } else {
            window->close();
        }
    }
}

void frmFieldProg::DoEvents() {
    QCoreApplication::processEvents();
}

void frmFieldProg::DrawPictures() {
    const qreal ratio = devicePixelRatioF();
    imgListZapper[0] = DrawZapper(ZapperPicture::Ready, kPictureSide, ratio);
    imgListZapper[1] = DrawZapper(ZapperPicture::Busy, kPictureSide, ratio);
    imgListZapper[2] = DrawZapper(ZapperPicture::Failed, kPictureSide, ratio);
}
