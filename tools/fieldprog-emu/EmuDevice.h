#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ClsCRC.h"
#include "EmuFlash.h"
#include "EmuOptions.h"
#include "EmuTypes.h"

// What one device (one button press) went through.
struct EmuDeviceRecord {
    int number = 0;
    bool transferStarted = false;     // ".X" arrived
    bool transferEnded = false;       // EOT arrived
    std::vector<std::uint8_t> image;  // data of every accepted block, in order
    int goodBlocks = 0;
    int badBlocks = 0;               // NAKed, unanswered or out of sequence
    std::string failure;             // the first thing that went wrong, empty when nothing did
    bool poweredDown = false;        // ".Q" arrived
    std::size_t flashDataBytes = 0;  // data bytes the download left in flash
    std::string expectResult;        // "MATCH", "MISMATCH AT <offset>", or empty (no --expect)

    // "OK" for a finished transfer without a bad block, "FAIL" for any other transfer, "NONE"
    // when no transfer was started.
    std::string Verdict() const;
    std::uint16_t ImageCrc() const;
};

// The machine-readable summary line of one device.
std::string EmuDeviceLine(const EmuDeviceRecord& record);

// The Field Programmer as a byte-in, byte-out state machine. It never reads a clock: every call
// carries the time, and the owner asks NextDeadline() when to call Tick() again. Output is
// collected with TakeOutput(), each piece stamped with the moment it may go out.
class EmuDevice {
  public:
    EmuDevice(const EmuOptions& options, EmuMicros start);

    void Receive(std::uint8_t byte, EmuMicros now);
    void Tick(EmuMicros now);
    void Press(EmuMicros now);  // the button on the top of the device
    EmuMicros NextDeadline() const;
    std::vector<EmuOutput> TakeOutput();

    // The device has been told (by a fault switch) to drop off the line.
    bool LineCloseRequested() const { return closeLine_; }
    // Every device asked for with --devices has powered down.
    bool Finished() const;
    // Ends the device in progress, if any (at shutdown).
    void CloseOpenRecord();

    const std::vector<EmuDeviceRecord>& Records() const { return records_; }
    const EmuFlash& Flash() const { return flash_; }
    std::uint64_t Commands() const { return commands_; }

    std::function<void(const std::string&)> Log;
    // Called when a device ends (".Q", the next press, line close or shutdown). The handler may
    // fill in the record's expectResult.
    std::function<void(EmuDeviceRecord&)> DeviceClosed;

  private:
    enum class Mode { Idle, Command, Argument, AwaitYes, Address, Transfer };

    void ReceiveIdle(char c, EmuMicros now);
    void ReceiveCommandLetter(char c, EmuMicros now);
    void ReceiveArgument(char c, EmuMicros now);
    void ReceiveYes(char c, EmuMicros now);
    void ReceiveAddress(char c, EmuMicros now);
    void ReceiveTransfer(std::uint8_t byte, EmuMicros now);

    void Complete(std::string command, const std::string& echo, EmuMicros now);
    void Execute(std::string command, const std::string& echo, EmuMicros now);
    void StartTransfer(EmuMicros now);
    void FinishBlock(EmuMicros now);
    void EndTransfer(EmuMicros now);
    void AbandonTransfer(const std::string& why);
    void ProgressCounter(EmuMicros start);

    std::string EchoOf(char c, char scope) const;
    bool FaultApplies(const std::string& set, char scope) const;
    void Emit(std::string bytes, EmuMicros notBefore, bool atomic = false);
    void Reply(const std::string& text, EmuMicros now);
    void Refuse(EmuMicros now);
    void SendP(EmuMicros now);
    EmuMicros PResendAt() const;

    EmuDeviceRecord& Current();
    void Fail(const std::string& why);
    void Note(const std::string& text);

    EmuOptions options_;
    EmuMicros replyDelay_;
    EmuMicros byteTime_;
    EmuFlash flash_;
    ClsCRC crc_;
    std::vector<EmuDeviceRecord> records_;
    bool recordOpen_ = false;
    int poweredDown_ = 0;
    std::uint64_t commands_ = 0;
    std::vector<EmuOutput> output_;
    bool closeLine_ = false;

    Mode mode_ = Mode::Idle;
    std::string command_;  // the command being typed, "." included
    std::size_t argsNeeded_ = 0;

    // Button and greeting
    EmuMicros nextPress_ = kEmuNever;
    bool awaitingGreeting_ = false;
    EmuMicros lastP_ = 0;
    EmuMicros lastInput_ = 0;
    EmuMicros lastOutput_ = 0;

    // Byte-address mode (".R")
    std::size_t address_ = 0;
    int spaces_ = 0;
    char valueHigh_ = 0;        // first digit of a value being typed, 0 when none
    std::string addressReply_;  // the byte display still to go out, empty when none
    EmuMicros addressReplyAt_ = kEmuNever;

    // Transfer (".X")
    bool inBlock_ = false;
    bool blockSeen_ = false;
    std::vector<std::uint8_t> block_;
    int blocksArrived_ = 0;
    std::uint8_t expectedBlock_ = 1;
    int cSent_ = 0;
    EmuMicros nextC_ = kEmuNever;
    EmuMicros giveUpAt_ = kEmuNever;
    EmuMicros blockDeadline_ = kEmuNever;

    // RAM buffers
    std::vector<std::uint8_t> receiveBuffer_;
    std::vector<std::uint8_t> primaryBuffer_;
    std::vector<std::uint8_t> secondaryBuffer_;
};
