#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "DownloadSequence.h"
#include "DownloadView.h"
#include "clsFieldProgrammer.h"

// The downloader's main window on any system: a view of the download sequence whose handlers,
// named as the window's own, hand over to it. The Qt and the Windows window derive from it
// and add their controls.
class SequenceForm : protected DownloadView {
  public:
    void MyLocalSerial_Progress(std::int16_t intPercent, std::int32_t intType) {
        if (sequence_) sequence_->MyLocalSerial_Progress(intPercent, intType);
    }
    void WaitTimer_Timer() {
        if (sequence_) sequence_->WaitTimer_Timer();
    }
    void cmdDescription_Click() {
        if (sequence_) sequence_->cmdDescription_Click();
    }
    void cmdQuit_Click() {
        if (sequence_) {
            sequence_->cmdQuit_Click();
        } else {
            CloseMainWindow();
        }
    }
    void cmdAbout_Click() {
        if (sequence_) sequence_->cmdAbout_Click();
    }

    bool Stopped() const { return sequence_ && sequence_->Stopped(); }
    bool ResetPending() const { return sequence_ && sequence_->ResetPending(); }
    std::int16_t Language() const { return sequence_ ? sequence_->Language() : 0; }
    std::int32_t ComPort() const { return sequence_ ? sequence_->ComPort() : 0; }
    // The device object while the window is loaded (null before Form_Load and after unload).
    clsFieldProgrammer* Device() const { return sequence_ ? sequence_->Device() : nullptr; }

  protected:
    // The start-up: runs the sequence nested inside itself; a second call does nothing.
    void StartSequence(SequenceSettings settings = {}) {
        if (sequence_) return;
        DownloadView& view = *this;  // the base is not public: convert here, where it is visible
        sequence_ = std::make_unique<DownloadSequence>(view, std::move(settings));
        sequence_->Form_Load();
    }

    std::unique_ptr<DownloadSequence> sequence_;
};
