#pragma once

#include <string>
#include <utility>

// One named file of a payload archive: its name without folder and its bytes.
class clsPayloadFile {
  public:
    std::string FileName() const { return name_; }
    void FileName(std::string strName) { name_ = std::move(strName); }
    std::string FileData() const { return data_; }
    void FileData(std::string strData) { data_ = std::move(strData); }

    // Loads the whole file into FileData (FileName is left alone). False, with FileData
    // unchanged, when the file cannot be read.
    bool ReadFile(const std::string& strFullPath);

  private:
    std::string name_;
    std::string data_;
};
