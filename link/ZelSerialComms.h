#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ClsCRC.h"
#include "SerialPort.h"
#include "clsTiming.h"

// The program's only path to the Field Programmer: opens and closes the port and carries the
// device's character-echo dialogue, the button handshake and the binary block transfer.
// Every received byte becomes one char of a std::string and every char written goes out as
// the byte of the same code.
class ZelSerialComms {
  public:
    // The port defaults to the platform's serial port; tests pass a scripted fake.
    explicit ZelSerialComms(std::unique_ptr<SerialPort> port = MakeSystemSerialPort());
    ~ZelSerialComms();
    ZelSerialComms(const ZelSerialComms&) = delete;
    ZelSerialComms& operator=(const ZelSerialComms&) = delete;

    // Events to the owner.
    std::function<void(std::int32_t lngError)> Error;
    std::function<void(std::int16_t intProgress)> Progress;
    std::function<void(const std::string& strValue, std::int32_t intType)> ProgFlag;

    bool OpenCommPort(std::int32_t intComport = 1);
    // Opens a port by its device name ("/dev/ttyUSB0", "COM7"); CommPort stays as it was.
    bool OpenCommDevice(const std::string& strDevice);
    // How the last open ended, with the reason a user needs to hear when it failed.
    const PortOpenResult& LastOpenResult() const;
    // A port that was used since it was opened, or whose device vanished (adaptor pulled out),
    // is closed and opened again as it was opened before, trying for up to 3 s while a
    // replugged adaptor comes back; a fresh port is left alone. True when it is open now.
    bool ReopenCommPort();
    bool CloseCommPort();
    bool PortOpenState() const;
    std::int32_t CommPort() const;
    void CommPort(std::int32_t lngPort);

    std::string SendEchoedString(const std::string& strData, std::int16_t intDelayBetweenChars = 50,
                                 std::int16_t intRequiredBytes = -1);
    bool SendEchoedCommand(std::string strCommand, std::string* strResponse = nullptr,
                           std::int16_t intLoopFor = 50, std::int16_t intRequiredBytes = -1);
    bool SendProgEchoedCommand(std::string strCommand, std::string* strResponse = nullptr,
                               std::int16_t intLoopFor = 50, std::int32_t intType = 0);
    bool WaitForData(std::string& strResponse, std::int16_t intLoopFor = 50,
                     std::int16_t intBytes = -1);
    // `mayGreet`, when given, is asked once the button was seen and before anything is sent;
    // false leaves the device alone and ends the wait with false.
    bool WaitForFieldProgrammer(std::int16_t intLoopFor = 50,
                                const std::function<bool()>& mayGreet = {});
    // The text of the device's answer to the greeting's ".V" (its firmware version), as it
    // came, line ends removed; empty when it did not answer.
    const std::string& GreetingReply() const;
    // Closes the port for good: nothing is written and no port is opened any more (the
    // window that owned the dialogue is gone).
    void CloseForGood();
    std::string SendString(const std::string& strData, std::int32_t lngDelayBetweenChars = 50);
    bool SendByte(std::uint8_t bytData);
    bool SendByteArray(const std::vector<std::uint8_t>& bytes);
    void SendCommVariant(const std::string& varData);
    void SendCommVariant(const std::vector<std::uint8_t>& varData);
    void SendBreak(std::int32_t lngDuration);
    bool SetRThreshold(std::int16_t intValue);
    void SleepFor(std::int32_t lngMilliseconds);
    void ManualExit();

    // The whole binary transfer (".X", blocks, EOT, ".Q"); raises Progress and Error.
    bool DownloadBinaryData(const std::vector<std::uint8_t>& image);

    // The port itself, for the few callers that need more than the dialogue (tests, tools).
    SerialPort& Port() { return *port_; }

  private:
    struct Impl;
    std::unique_ptr<SerialPort> port_;
    std::unique_ptr<Impl> impl_;
};
