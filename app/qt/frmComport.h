#pragma once

#include <QDialog>
#include <cstdint>
#include <string>
#include <vector>

class QButtonGroup;
class QLabel;
class QPushButton;
class QRadioButton;
class QScrollArea;
class QShowEvent;
class QVBoxLayout;
class QWidget;

// The small modal dialog in which the user picks a COM port: COM 1 to COM 4, and below them
// the present ports above COM 4. Only the ports found free are enabled. Each option also shows
// what its port is on this machine, so that a USB adaptor or an overridden mapping is easy to
// recognise. However many ports there are, the dialog fits the screen: the options scroll.
class frmComport : public QDialog {
    Q_OBJECT
  public:
    explicit frmComport(QWidget* parent = nullptr);

    // Adds an option for port `number` (above 4) below the first four, under `label`; its
    // index. Ports are added before SetupForm.
    int AddPort(int number, const QString& label);
    // Caption and OK text, preselects option intFirstAvail, then disables every option and
    // enables those whose port is listed in strComports ("1,3,7"). Selecting comes first, so
    // the preselected option stays selected even when its port is not free. The selected
    // option takes the focus when it is enabled, so Enter confirms it.
    void SetupForm(std::int16_t intFirstAvail, const QString& strComports, const QString& strTitle,
                   const QString& strOK);
    // What the port of option `index` is on this machine, and, when it is not free, why not.
    void ShowPortDetails(int index, const std::string& description, const std::string& whyNotFree);
    // The chosen port number; 0 when no option is selected.
    std::int16_t Comport() const;

    void cmdOK_Click();

    // optCom[i] stands for COM port i + 1 for i < 4, laid out Com 1 | Com 3 over Com 2 | Com 4;
    // the options added by AddPort follow in a column below.
    std::vector<QRadioButton*> optCom;
    std::vector<QLabel*> lblDevice;   // what each option's port is
    QLabel* lblOtherPorts = nullptr;  // above the ports beyond COM 4
    QLabel* lblNotes = nullptr;       // why the ports that are not free are not
    QWidget* picOK = nullptr;
    QPushButton* cmdOK = nullptr;
    QLabel* ImgZapper = nullptr;

  public slots:
    // The close box (and Escape) leaves the dialog as it was designed: "Com 1" selected.
    void reject() override;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    QRadioButton* MakeOption(int number);
    void FitToScreen();

    QButtonGroup* group_ = nullptr;
    QVBoxLayout* others_ = nullptr;
    QWidget* options_ = nullptr;  // the options and the notes, inside scroll_
    QScrollArea* scroll_ = nullptr;
    std::vector<int> numbers_;  // the port of each option
    std::vector<QString> notes_;
    QFont small_;
};
