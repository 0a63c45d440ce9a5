#pragma once

#include <string>

class QWidget;

// Lets the user pick a folder. Returns its path ending with a separator, or an empty text
// when the dialog is cancelled.
std::string BrowseForFolder(QWidget* parent, const std::string& strTitle);
