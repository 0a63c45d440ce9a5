#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "DeviceContext.h"
#include "SerialPort.h"

class clsFPBuffers;
class clsTiming;

// The one object through which the application talks to the Field Programmer. It owns the
// link, the error record and the command groups, and turns their events into Progress and
// Error of its own.
class clsFieldProgrammer {
  public:
    // The port defaults to the platform's serial port; tests pass a scripted fake.
    explicit clsFieldProgrammer(std::unique_ptr<SerialPort> port = MakeSystemSerialPort());
    ~clsFieldProgrammer();
    clsFieldProgrammer(const clsFieldProgrammer&) = delete;
    clsFieldProgrammer& operator=(const clsFieldProgrammer&) = delete;

    // intType: 0 program-name search, 1 read-back, 2 block read, 3 clear, 4 rewrite,
    // 5 download, 6 end-of-data search.
    std::function<void(std::int16_t intPercent, std::int32_t intType)> Progress;
    std::function<void()> Error;

    // The application's own version, "major.minor.revision".
    std::string Version() const;
    clsError& LastError();
    clsFPDetails& Details();
    clsFPBuffers& Buffers();
    clsFPMemory& Memory();
    clsFPMisc& Misc();
    clsFilingFuncs& FilingFunctions();
    void FilingFunctions(std::shared_ptr<clsFilingFuncs> objFiling);

    bool OpenCommPort(std::int32_t intCommPort);
    // Opens a port by device name ("/dev/ttyUSB0", "COM7"); error 101 when it fails.
    bool OpenCommDevice(const std::string& strDevice);
    // Opens again a port whose device vanished (see ZelSerialComms::ReopenCommPort).
    bool ReopenCommPort();
    bool CloseCommPort();
    // `mayGreet`: see ZelSerialComms::WaitForFieldProgrammer.
    bool WaitForFieldProgrammer(std::int16_t intLoopFor = 50,
                                const std::function<bool()>& mayGreet = {});
    void ExitWaitForFieldProgrammer();
    bool IsComPortFree(std::int32_t intComport);
    void SleepFor(std::int32_t lngMsSec);

    // The shared device context the groups read (link, error record, connected flag).
    DeviceContext& Context() { return context_; }
    ZelSerialComms& Serial();

  private:
    // Handlers of the parts' events.
    void MySerial_Progress(std::int16_t intProgress);
    void MySerial_ProgFlag(const std::string& strValue, std::int32_t intType);
    void MySerial_Error(std::int32_t lngError);
    void MyError_Error();
    void MyDetails_Progress(std::int16_t intPercent);
    void MyMemory_Progress(std::int16_t intPercent, std::int32_t intType);
    void RaiseProgress(std::int16_t intPercent, std::int32_t intType);

    DeviceContext context_;
    struct Parts;
    std::unique_ptr<Parts> parts_;
};
