#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "DeviceContext.h"

// The Field Programmer's flash: one bank, the whole programmed image, single bytes, a block
// of bytes, clearing and rewriting, and the download of an image. The image being handled is
// kept in AllFlashBankData (6 zero bytes, the data length N high byte first, N data bytes).
class clsFPMemory {
  public:
    explicit clsFPMemory(DeviceContext& context);

    // intType 1 (read-back), 2 (block read) or 6 (end-of-data search).
    std::function<void(std::int16_t intPercent, std::int32_t intType)> Progress;

    std::vector<std::uint8_t> AllFlashBankData() const { return allFlashBankData_; }
    void AllFlashBankData(std::vector<std::uint8_t> bytData) {
        allFlashBankData_ = std::move(bytData);
    }

    // Neither of the two file operations clears the error number first.
    bool LoadBinaryFile(const std::string& strFileName);
    bool SaveBinaryFile(const std::string& strFileName);

    // Bank 0 to FFFFh; strData receives the bank's text ("XX " per byte).
    bool ReadFlashBankAddr(std::int32_t lngAddr, std::string& strData);
    // Reads the flash back up to its last programmed byte into AllFlashBankData.
    bool ReadAllFlashBankAddrs();
    // Byte addresses 0 to FFFFFFh; values are two hexadecimal digits.
    bool ReadIndividualAddress(std::int32_t lngAddr, std::string& strHexData);
    // strHexData (at most 2 characters) is upper-cased in place before it is sent.
    bool WriteIndividualAddress(std::int32_t lngAddr, std::string& strHexData);
    // strData receives lngBlockSize + 1 entries: the byte at the start address and the
    // lngBlockSize bytes after it, each as two hexadecimal digits.
    bool ReadBlockAddress(std::int32_t lngStartAddr, std::int32_t lngBlockSize,
                          std::vector<std::string>& strData);
    // Sends AllFlashBankData by the link's binary transfer; the link sets its own errors.
    bool DownloadBinaryData();
    bool ClearFlashMemory();
    bool ReWriteFlashMemory();

  private:
    static bool BankHasData(const std::string& text);
    static std::string KeepHexDigits(const std::string& text);
    bool ProgressiveCommand(const char* command, std::int32_t intType, std::int32_t notRecognised,
                            std::int32_t fault);
    void RaiseProgress(std::int16_t percent, std::int32_t type);

    DeviceContext& context_;
    std::vector<std::uint8_t> allFlashBankData_;
};
