#pragma once

#include <string>

// The program's string table: error texts (ids 101 to 147) and the three language blocks
// (152-171 English, 252-271 French, 352-371 German). Texts are UTF-8.
// An id that the table does not hold gives an empty text.
std::string LoadResString(int id);
