#pragma once

#include <QDialog>
#include <QString>

class QFrame;
class QLabel;
class QPushButton;

// The About box: shows the texts the main window composes (the application's version and,
// in brackets, the device object's version) and nothing else.
class frmAbout : public QDialog {
    Q_OBJECT
  public:
    explicit frmAbout(QWidget* parent = nullptr);

    // The name in the caption, "About <name>"; by default the running executable's name.
    void ExecutableName(const QString& strName) { exeName_ = strName; }
    const QString& ExecutableName() const { return exeName_; }

    // Sets the caption and both labels, then shows the window modally; returns when it closes.
    void ShowAbout(const QString& strVersion, const QString& strSubVersion);
    void cmdOK_Click();

    QLabel* lblVersion = nullptr;
    QLabel* lblSubVersion = nullptr;
    QPushButton* cmdOK = nullptr;
    QLabel* picLogo = nullptr;
    QLabel* ingLogo = nullptr;
    QLabel* lblLegal = nullptr;
    QFrame* Line1[2] = {nullptr, nullptr};  // white over grey: an etched rule

  private:
    QString exeName_;
};
