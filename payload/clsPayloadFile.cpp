#include "clsPayloadFile.h"

#include "FileSystem.h"

bool clsPayloadFile::ReadFile(const std::string& strFullPath) {
    try {
        return FileSystem::ReadWholeFile(strFullPath, data_);
    } catch (...) {
        return false;
    }
}
