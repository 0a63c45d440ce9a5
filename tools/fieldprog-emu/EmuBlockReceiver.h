#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "EmuCommandTable.h"
#include "EmuDeviceRecord.h"
#include "EmuFlash.h"
#include "EmuOptions.h"
#include "EmuOutbox.h"
#include "EmuTypes.h"

// The device's side of a download after ".X": "C" a little after the echo and then every second
// until the first block starts (after ten it gives up), each 133-byte block checked for its
// number, complement and CRC and answered ACK or NAK, a block that stalls half-way refused, EOT
// echoed, acknowledged or left unanswered as configured. Accepted blocks go into the device's
// record in order, and a sound image into flash at EOT. The fault switches answer NAK, stay silent
// or drop the line at a given block.
class EmuBlockReceiver {
  public:
    EmuBlockReceiver(const EmuOptions& options, EmuFlash& flash, const EmuCommandTable& table,
                     EmuOutbox& out);

    void Start(EmuMicros now, EmuDeviceRecord& record);
    void Receive(std::uint8_t byte, EmuMicros now, EmuDeviceRecord& record);
    void Tick(EmuMicros now, EmuDeviceRecord& record);
    EmuMicros NextDeadline() const;
    void Reset();

    // Still taking blocks: false after EOT, after the device gave up waiting, and after a "."
    // that abandoned the transfer (that "." begins the next command).
    bool Active() const { return active_; }
    // The device has been told (by a fault switch) to drop off the line.
    bool LineClosed() const { return lineClosed_; }
    // The receive buffer: the data of the last block accepted.
    const std::vector<std::uint8_t>& LastBlock() const { return lastBlock_; }

  private:
    void FinishBlock(EmuMicros now, EmuDeviceRecord& record);
    void End(EmuDeviceRecord& record);
    void Abandon(const std::string& why, EmuDeviceRecord& record);
    void Fail(const std::string& why, EmuDeviceRecord& record);
    void Answer(std::uint8_t reply, EmuMicros now) {
        out_.Emit(std::string(1, static_cast<char>(reply)), now);
    }

    const EmuOptions& options_;
    EmuFlash& flash_;
    const EmuCommandTable& table_;
    EmuOutbox& out_;
    bool active_ = false;
    bool lineClosed_ = false;
    bool inBlock_ = false;
    std::vector<std::uint8_t> block_;
    std::vector<std::uint8_t> lastBlock_;
    int blocksArrived_ = 0;
    std::uint8_t expectedBlock_ = 1;
    int cSent_ = 0;
    EmuMicros nextC_ = kEmuNever;
    EmuMicros giveUpAt_ = kEmuNever;
    EmuMicros blockDeadline_ = kEmuNever;
};
