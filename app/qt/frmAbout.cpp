#include "frmAbout.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "FormLook.h"

namespace {

constexpr int kLogoSide = 64;   // logical pixels
constexpr int kCoinsSide = 40;  // logical pixels

}  // namespace

frmAbout::frmAbout(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    exeName_ = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    const qreal ratio = devicePixelRatioF();

    picLogo = new QLabel(this);
    picLogo->setPixmap(DrawZapper(ZapperPicture::Ready, kLogoSide, ratio));
    ingLogo = new QLabel(this);
    ingLogo->setPixmap(DrawCoins(kCoinsSide, ratio));
    ingLogo->setAlignment(Qt::AlignHCenter | Qt::AlignTop);

    lblVersion = new QLabel(QStringLiteral("lblVersion"), this);
    QFont big = FormFont();
    big.setPointSizeF(big.pointSizeF() * 1.5);
    lblVersion->setFont(big);
    lblVersion->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lblSubVersion = new QLabel(QStringLiteral("(lblVersion)"), this);
    lblSubVersion->setTextInteractionFlags(Qt::TextSelectableByMouse);

    lblLegal =
        new QLabel(tr("This program loads firmware into Field Programmers for the service of coin "
                      "changers. It is protected by copyright; use it only on equipment you are "
                      "authorised to service."),
                   this);
    lblLegal->setWordWrap(true);
    QFont small = lblLegal->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    lblLegal->setFont(small);

    Line1[0] = DecorationLine(this, Qt::white);
    Line1[1] = DecorationLine(this, QColor(128, 128, 128));

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setDefault(true);
    cmdOK->setMinimumWidth(90);
    connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOK_Click(); });

    auto* pictures = new QVBoxLayout;
    pictures->addWidget(picLogo);
    pictures->addWidget(ingLogo);
    pictures->addStretch();
    auto* texts = new QVBoxLayout;
    texts->addWidget(lblVersion);
    texts->addWidget(lblSubVersion);
    texts->addSpacing(8);
    texts->addWidget(lblLegal);
    texts->addStretch();
    auto* top = new QHBoxLayout;
    top->setSpacing(18);
    top->addLayout(pictures);
    top->addLayout(texts, 1);

    auto* rule = new QVBoxLayout;
    rule->setSpacing(0);
    rule->addWidget(Line1[1]);
    rule->addWidget(Line1[0]);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdOK);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(18, 18, 18, 12);
    outer->addLayout(top, 1);
    outer->addLayout(rule);
    outer->addLayout(buttons);
    setMinimumWidth(420);
}

void frmAbout::ShowAbout(const QString& strVersion, const QString& strSubVersion) {
    setWindowTitle(QStringLiteral("About ") + exeName_);
    lblVersion->setText(strVersion);
    lblSubVersion->setText(strSubVersion);
    exec();
}

void frmAbout::cmdOK_Click() {
    accept();
}
