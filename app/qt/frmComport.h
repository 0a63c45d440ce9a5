#pragma once

#include <QDialog>
#include <array>
#include <cstdint>
#include <string>

class QButtonGroup;
class QLabel;
class QPushButton;
class QRadioButton;
class QWidget;

// The small modal dialog in which the user picks one of COM 1 to COM 4. Only the ports found
// free are enabled. Each option also shows which device path its COM number stands for on
// this machine, so that a USB adaptor or an overridden mapping is easy to recognise.
class frmComport : public QDialog {
    Q_OBJECT
  public:
    explicit frmComport(QWidget* parent = nullptr);

    // Caption and OK text, preselects option intFirstAvail (0 to 3), then disables every
    // option and enables those listed in strComports ("1,3"). Selecting comes first, so the
    // preselected option stays selected even when its port is not free.
    void SetupForm(std::int16_t intFirstAvail, const QString& strComports, const QString& strTitle,
                   const QString& strOK);
    // What port `index` (0 to 3) is on this machine, and, when it is not free, why not (shown
    // when the pointer rests on it).
    void ShowPortDetails(int index, const std::string& description, const std::string& whyNotFree);
    // The chosen port, 1 to 4; 0 when no option is selected.
    std::int16_t Comport() const;

    void cmdOK_Click();

    // optCom[i] stands for COM port i + 1; laid out Com 1 | Com 3 over Com 2 | Com 4.
    std::array<QRadioButton*, 4> optCom{};
    std::array<QLabel*, 4> lblDevice{};  // the device path under each option
    QLabel* lblNotes = nullptr;          // why the ports that are not free are not
    QWidget* picOK = nullptr;
    QPushButton* cmdOK = nullptr;
    QLabel* ImgZapper = nullptr;

  public slots:
    // The close box (and Escape) leaves the dialog as it was designed: "Com 1" selected.
    void reject() override;

  private:
    QButtonGroup* group_ = nullptr;
    std::array<QString, 4> notes_;
};
