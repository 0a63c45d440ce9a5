#include "QtBrowseForFolder.h"

#include <QDir>
#include <QFileDialog>

std::string BrowseForFolder(QWidget* parent, const std::string& strTitle) {
    const QString folder = QFileDialog::getExistingDirectory(
        parent, QString::fromStdString(strTitle), QDir::homePath(), QFileDialog::ShowDirsOnly);
    if (folder.isEmpty()) return {};
    std::string path = QDir::toNativeSeparators(folder).toStdString();
    const char separator = QDir::separator().toLatin1();
    if (path.back() != separator) path += separator;
    return path;
}
