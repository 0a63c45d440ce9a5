#pragma once

// Text conversions shared by the Windows backends: the program speaks UTF-8, Windows' wide
// calls speak UTF-16. No OS types here.

#include <string>

// UTF-8 to UTF-16. Invalid UTF-8 bytes become U+FFFD, so such a name matches no existing file.
std::wstring Widen(const std::string& utf8);
// UTF-16 to UTF-8.
std::string Narrow(const std::wstring& wide);
// The system's words for an error code, in UTF-8, without the final full stop and line end
// ("The system cannot find the file specified"); "error N" when the system has none.
std::string SystemErrorText(unsigned long code);
