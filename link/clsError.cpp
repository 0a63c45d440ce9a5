#include "clsError.h"

#include "StringTable.h"

void clsError::Number(std::int32_t lngNumber) {
    number_ = lngNumber;
    if (lngNumber == 0) {
        message_.clear();
        return;
    }
    message_ = LoadResString(lngNumber);
    if (Error) Error();
}
