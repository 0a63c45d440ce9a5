#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "DeviceContext.h"

// Who the Field Programmer is and what state it is in: firmware version (".V"), status
// register and flash page count (".K"), and the name of the program held in its flash.
class clsFPDetails {
  public:
    explicit clsFPDetails(DeviceContext& context);

    // Raised by ReadProgramName only, 0 to 100.
    std::function<void(std::int16_t intPercent)> Progress;

    bool GetFPVersion();
    bool GetFPStatusRegister();
    bool ReadProgramName();
    // True when the last ReadProgramName ended in a fault rather than finding no name.
    bool SearchFaulted() const { return searchFaulted_; }

    std::string SoftwareVersion() const { return softwareVersion_; }
    void SoftwareVersion(std::string value) { softwareVersion_ = std::move(value); }
    std::string SoftwareRevision() const { return softwareRevision_; }
    void SoftwareRevision(std::string value) { softwareRevision_ = std::move(value); }
    std::string SoftwareDevelopmentRev() const { return softwareDevelopmentRev_; }
    void SoftwareDevelopmentRev(std::string value) { softwareDevelopmentRev_ = std::move(value); }
    std::string SoftwareQualificationRev() const { return softwareQualificationRev_; }
    void SoftwareQualificationRev(std::string value) {
        softwareQualificationRev_ = std::move(value);
    }
    std::string StatusRegister() const { return statusRegister_; }
    void StatusRegister(std::string value) { statusRegister_ = std::move(value); }
    // Four digits read as a hexadecimal number: the count of flash banks.
    std::string FlashPages() const { return flashPages_; }
    void FlashPages(std::string value) { flashPages_ = std::move(value); }
    std::string ProgramName() const { return programName_; }
    void ProgramName(std::string value) { programName_ = std::move(value); }

  private:
    bool SearchProgramName();
    bool searchFaulted_ = false;
    static std::string KeepDigits(const std::string& text);
    static bool BankHasData(const std::string& text);
    bool ReadBank(std::int64_t bank, std::string& text);
    void RaiseProgress(std::int16_t percent);

    DeviceContext& context_;
    std::string softwareVersion_;
    std::string softwareRevision_;
    std::string softwareDevelopmentRev_;
    std::string softwareQualificationRev_;
    std::string statusRegister_;
    std::string flashPages_;
    std::string programName_;
};
