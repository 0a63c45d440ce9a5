#include "clsPayloadFile.h"

#include "FileBytes.h"

bool clsPayloadFile::ReadFile(const std::string& strFullPath) {
    try {
        return ReadWholeFile(strFullPath, data_);
    } catch (...) {
        return false;
    }
}
