#pragma once

#include <cstdint>
#include <functional>
#include <string>

// The last error of a device operation: a number and its text from the string table.
class clsError {
  public:
    std::int32_t Number() const { return number_; }
    // A non-zero number loads its text and raises Error (every time, even if unchanged);
    // 0 clears the text and raises nothing.
    void Number(std::int32_t lngNumber);
    const std::string& Message() const { return message_; }

    std::function<void()> Error;

  private:
    std::int32_t number_ = 0;
    std::string message_;
};
