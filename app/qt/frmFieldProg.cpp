#include "frmFieldProg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
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
#include <vector>

#include "FormLook.h"
#include "StringTable.h"
#include "Version.h"
#include "ZelSerialComms.h"
#include "clsFPMemory.h"
#include "clsFieldProgrammer.h"
#include "clsFilingFuncs.h"
#include "clsResFiles.h"
#include "clsTiming.h"
#include "frmAbout.h"
#include "frmComport.h"

namespace {

constexpr int kWaitForDeviceRounds = 1000;  // rounds of 50 ms: about 50 s for the button press
constexpr int kAnimationSteps = 10;         // picture changes of a success or failure animation
constexpr int kAnimationStepMs = 100;       // pause between two of those changes
constexpr int kBusyTickMs = 250;            // picture change of the busy animation
constexpr int kPictureSide = 64;            // logical pixels
constexpr int kProgressTypeClear = 3;       // progress of clearing the flash

// Text ids of the English block; the language offset is added when a text is loaded.
constexpr int kTextQuit = 158;
constexpr int kTextPressButton = 159;
constexpr int kTextNoConnection = 161;
constexpr int kTextDownloadFailed = 162;
constexpr int kTextNoBinary = 163;
constexpr int kTextOK = 166;
constexpr int kTextReset = 167;
constexpr int kTextNoFreePort = 168;
constexpr int kTextSelectPort = 169;
constexpr int kTextClearFailed = 170;
constexpr int kTextAbout = 171;

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

// Keeps the device object alive while a download sequence runs: a window closed in the middle
// of a device call releases its objects only once the call has returned.
class SequenceScope {
  public:
    SequenceScope(int& depth, std::function<void()> onLastExit)
        : depth_(depth), onLastExit_(std::move(onLastExit)) {
        ++depth_;
    }
    ~SequenceScope() {
        if (--depth_ == 0) onLastExit_();
    }
    SequenceScope(const SequenceScope&) = delete;
    SequenceScope& operator=(const SequenceScope&) = delete;

  private:
    int& depth_;
    std::function<void()> onLastExit_;
};

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
    if (!loaded_) return;
    clsTiming::InstallMessagePump({});
    // Normally the unload has released everything already; this covers a window object that
    // is destroyed without having been closed.
    mblnStopped = true;
    unloaded_ = true;
    ReleaseObjects();
}

// ---------------------------------------------------------------------------------------------
// Start-up

void frmFieldProg::Form_Load() {
    if (mblnStopped || unloaded_ || loaded_) return;
    loaded_ = true;

    // Device waits and long pauses run the Qt event loop, which keeps this window responsive.
    clsTiming::InstallMessagePump([] { QCoreApplication::processEvents(); });

    mobjResFiles = ExecutablePath.empty() ? std::make_unique<clsResFiles>()
                                          : std::make_unique<clsResFiles>(ExecutablePath);
    MyLocalSerial =
        std::make_unique<clsFieldProgrammer>(MakePort ? MakePort() : MakeSystemSerialPort());
    MyLocalSerial->Progress = [this](std::int16_t intPercent, std::int32_t intType) {
        MyLocalSerial_Progress(intPercent, intType);
    };

    mobjResFiles->GetReadMeData();
    mintLanguage = mobjResFiles->Language();
    // A language number without a text block would leave every caption empty.
    if (mintLanguage != 0 && mintLanguage != 100 && mintLanguage != 200) mintLanguage = 0;

    QString strComports;
    for (std::int32_t n = 1; n <= 4; ++n) {
        if (IsPortFree(n)) strComports += QString::number(n) + QLatin1Char(',');
    }

    if (strComports.isEmpty()) {
        QMessageBox box(QMessageBox::Warning, ExecutableName(), Text(kTextNoFreePort),
                        QMessageBox::Ok, this);
        box.exec();
        mblnStopped = true;
        Form_Unload();
        return;
    }
    strComports.chop(1);

    {
        frmComport dialog(this);
        dialog.SetupForm(0, strComports, Text(kTextSelectPort), Text(kTextOK));
        dialog.exec();
        mlngComPort = dialog.Comport();
    }
    if (unloaded_) return;

    MyLocalSerial->OpenCommPort(mlngComPort);
    setWindowTitle(ExecutableName() + QStringLiteral(" - COM ") + QString::number(mlngComPort));

    pbProgress->setValue(0);
    pbProgressClear->setValue(0);
    pbProgress->hide();
    pbProgressClear->hide();
    ShowButtons();
    SetDescriptionCaption(QString());
    cmdQuit->setText(Text(kTextQuit));
    cmdAbout->setText(Text(kTextAbout));
    lblStatus->setText(Text(kTextPressButton));
    mblnResetPending = false;
    mblnStopped = false;

    show();
    RunDownloadSequence();
}

bool frmFieldProg::IsPortFree(std::int32_t lngPort) {
    return MyLocalSerial->IsComPortFree(lngPort);
}

// ---------------------------------------------------------------------------------------------
// Download sequence

bool frmFieldProg::RunDownloadSequence() {
    if (unloaded_ || !MyLocalSerial || !mobjResFiles) return false;
    SequenceScope scope(sequenceDepth_, [this] {
        if (unloaded_) ReleaseObjects();
    });
    // An unexpected failure inside ends the sequence without a word, as its callers expect.
    try {
        return DownloadRounds();
    } catch (...) {
        return false;
    }
}

// After every device call the stop flag is tested: Quit or the close box may have unloaded
// the window while the call let the event loop run, and then the sequence ends quietly.
bool frmFieldProg::DownloadRounds() {
    clsFPMemory& memory = MyLocalSerial->Memory();

    std::vector<std::uint8_t> bytData;
    if (mobjResFiles->GetBinaryData(bytData)) {
        memory.AllFlashBankData(bytData);
    } else {
        SetDescriptionCaption(QString());
        QString strPath;
        const bool chosen = SelectBinaryFile(strPath);
        if (unloaded_) return false;
        if (!chosen || !memory.LoadBinaryFile(QFile::encodeName(strPath).toStdString())) {
            lblStatus->setText(Text(kTextNoBinary));
            ShowFailure();
            return false;
        }
    }
    pbProgress->hide();
    pbProgressClear->hide();
    ShowButtons();

    for (;;) {
        const bool connected = MyLocalSerial->WaitForFieldProgrammer(kWaitForDeviceRounds);
        if (!connected) {
            if (mblnStopped) return true;
            ShowFailure();
            if (!unloaded_) lblStatus->setText(Text(kTextNoConnection));
            return false;
        }
        if (mblnStopped) return false;

        ShowBars();
        const bool cleared = memory.ClearFlashMemory();
        if (mblnStopped) return false;
        if (!cleared) {
            lblStatus->setText(Text(kTextClearFailed));
            ShowFailure();
            return false;
        }

        WaitTimer->start();
        const bool sent = memory.DownloadBinaryData();
        WaitTimer->stop();
        if (mblnStopped) return false;
        if (!sent) {
            lblStatus->setText(Text(kTextDownloadFailed));
            ShowFailure();
            return false;
        }

        ShowSuccess();
        if (mblnStopped) return false;
    }
}

bool frmFieldProg::SelectBinaryFile(QString& strPath) {
    const QString title = QStringLiteral("Select Binary File");
    // Linux file names are case-sensitive; binary files arrive spelled either way.
    const QString filter = QStringLiteral("Binary File (*.BIN *.bin)");
    const QString chosen =
        OpenFileDialog ? OpenFileDialog(this, title, ExecutableFolder(), filter)
                       : QFileDialog::getOpenFileName(this, title, ExecutableFolder(), filter);
    if (chosen.isEmpty()) return false;
    strPath = chosen;
    return true;
}

bool frmFieldProg::ShowSuccess() {
    picQuit->setEnabled(false);
    for (int i = 0; i < kAnimationSteps && !unloaded_; ++i) {
        ToggleBusyPicture();
        MyLocalSerial->SleepFor(kAnimationStepMs);
        DoEvents();
    }
    if (unloaded_) return true;
    ShowPicture(1);
    pbProgress->hide();
    pbProgressClear->hide();
    ShowButtons();
    picQuit->setEnabled(true);
    return true;
}

bool frmFieldProg::ShowFailure() {
    picQuit->setEnabled(false);
    WaitTimer->stop();
    pbProgress->hide();
    pbProgressClear->hide();
    ShowButtons();
    mblnStopped = true;
    mblnResetPending = true;
    SetDescriptionCaption(Text(kTextReset));
    for (int i = 0; i < kAnimationSteps && !unloaded_; ++i) {
        ToggleFailedPicture();
        MyLocalSerial->SleepFor(kAnimationStepMs);
        DoEvents();
    }
    if (unloaded_) return true;
    ShowPicture(3);
    picQuit->setEnabled(true);
    return true;
}

bool frmFieldProg::ToggleBusyPicture() {
    DoEvents();
    ShowPicture(busyToggle_ ? 1 : 2);
    DoEvents();
    busyToggle_ = !busyToggle_;
    return true;
}

bool frmFieldProg::ToggleFailedPicture() {
    DoEvents();
    ShowPicture(failedToggle_ ? 1 : 3);
    DoEvents();
    failedToggle_ = !failedToggle_;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Handlers

void frmFieldProg::WaitTimer_Timer() {
    if (!unloaded_) ToggleBusyPicture();
}

void frmFieldProg::MyLocalSerial_Progress(std::int16_t intPercent, std::int32_t intType) {
    if (unloaded_) return;
    QProgressBar* bar = intType == kProgressTypeClear ? pbProgressClear : pbProgress;
    if (bar->minimum() <= intPercent && bar->maximum() >= intPercent) bar->setValue(intPercent);
}

void frmFieldProg::cmdDescription_Click() {
    if (!mblnResetPending || unloaded_) return;
    // The Reset button appears while the failure animation of the ending sequence still runs;
    // a click then must not start a second sequence inside the first.
    if (sequenceDepth_ > 0) return;
    SetDescriptionCaption(QString());
    mblnResetPending = false;
    mblnStopped = false;
    lblStatus->setText(Text(kTextPressButton));
    ShowPicture(1);
    RunDownloadSequence();
}

void frmFieldProg::cmdQuit_Click() {
    mblnStopped = true;
    if (MyLocalSerial) MyLocalSerial->Serial().ManualExit();
    close();
}

void frmFieldProg::cmdAbout_Click() {
    if (!unloaded_ && MyLocalSerial) ShowAboutBox();
}

void frmFieldProg::ShowAboutBox() {
    const QString strVersion = QStringLiteral("%1.%2.%3")
                                   .arg(fieldprog_version::kMajor)
                                   .arg(fieldprog_version::kMinor)
                                   .arg(fieldprog_version::kRevision);
    const QString strSubVersion = QStringLiteral("(") +
                                  QString::fromStdString(MyLocalSerial->Version()) +
                                  QStringLiteral(")");
    // A fresh box every time, so no text of an earlier showing survives.
    frmAbout about(this);
    about.ExecutableName(ExecutableName());
    about.ShowAbout(strVersion, strSubVersion);
}

// ---------------------------------------------------------------------------------------------
// Unload

void frmFieldProg::closeEvent(QCloseEvent* event) {
    Form_Unload();
    event->accept();
}

void frmFieldProg::Form_Unload() {
    if (unloaded_) return;
    unloaded_ = true;
    WaitTimer->stop();
    if (!mblnStopped) {
        mblnStopped = true;
        if (MyLocalSerial) MyLocalSerial->Serial().ManualExit();
    }
    if (MyLocalSerial) MyLocalSerial->CloseCommPort();
    // Every other window of this application belongs to this one: close them, newest first.
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
    if (sequenceDepth_ == 0) ReleaseObjects();
}

void frmFieldProg::ReleaseObjects() {
    // A device call that ran on after the unload may have opened the port again.
    if (MyLocalSerial) MyLocalSerial->CloseCommPort();
    mobjResFiles.reset();
    MyLocalSerial.reset();
}

// ---------------------------------------------------------------------------------------------
// Helpers

void frmFieldProg::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    DrawPictures();
    ImgZapper->setPixmap(imgListZapper[picture_ - 1]);
}

void frmFieldProg::DrawPictures() {
    const qreal ratio = devicePixelRatioF();
    imgListZapper[0] = DrawZapper(ZapperPicture::Ready, kPictureSide, ratio);
    imgListZapper[1] = DrawZapper(ZapperPicture::Busy, kPictureSide, ratio);
    imgListZapper[2] = DrawZapper(ZapperPicture::Failed, kPictureSide, ratio);
}

void frmFieldProg::ShowPicture(int intPicture) {
    if (intPicture < 1 || intPicture > 3) return;
    picture_ = intPicture;
    ImgZapper->setPixmap(imgListZapper[intPicture - 1]);
}

// Without a caption the button still sits in its place but draws flat, so the window does
// not show an empty box with nothing to press.
void frmFieldProg::SetDescriptionCaption(const QString& strCaption) {
    cmdDescription->setText(strCaption);
    cmdDescription->setFlat(strCaption.isEmpty());
}

void frmFieldProg::ShowButtons() {
    picDescription->show();
    picQuit->show();
    picAbout->show();
}

void frmFieldProg::ShowBars() {
    pbProgress->setValue(0);
    pbProgressClear->setValue(0);
    pbProgress->show();
    pbProgressClear->show();
    picDescription->hide();
    picQuit->hide();
    picAbout->hide();
}

void frmFieldProg::DoEvents() {
    QCoreApplication::processEvents();
}

QString frmFieldProg::Text(int intId) const {
    return QString::fromStdString(LoadResString(intId + mintLanguage));
}

QString frmFieldProg::ExecutableName() const {
    const std::string path = ExecutablePath.empty()
                                 ? QCoreApplication::applicationFilePath().toStdString()
                                 : ExecutablePath;
    return QString::fromStdString(clsFilingFuncs().FileNameNoExtension(path));
}

QString frmFieldProg::ExecutableFolder() const {
    const QString path = ExecutablePath.empty() ? QCoreApplication::applicationFilePath()
                                                : QString::fromStdString(ExecutablePath);
    return QFileInfo(path).absolutePath();
}
