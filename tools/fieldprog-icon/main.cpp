// fieldprog-icon: writes the window's application icon, in all its sizes, as a Windows .ico
// file whose images are PNG-compressed (as Windows has read them since Vista).

#include <QApplication>
#include <QBuffer>
#include <QFile>
#include <QIcon>
#include <QPixmap>
#include <QtEndian>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "FormLook.h"

namespace {

constexpr int kIconDirBytes = 6;     // reserved, type 1 (icon), image count
constexpr int kIconEntryBytes = 16;  // one directory entry per image
constexpr int kLargestSide = 256;    // pixels; stored as 0 in the directory's byte fields

void Put16(QByteArray& out, quint16 value) {
    const quint16 le = qToLittleEndian(value);
    out.append(reinterpret_cast<const char*>(&le), 2);
}

void Put32(QByteArray& out, quint32 value) {
    const quint32 le = qToLittleEndian(value);
    out.append(reinterpret_cast<const char*>(&le), 4);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: fieldprog-icon OUTPUT.ico\n");
        return 2;
    }
    const QIcon icon = ApplicationIcon();
    QList<QSize> sizes = icon.availableSizes();
    std::sort(sizes.begin(), sizes.end(),
              [](const QSize& a, const QSize& b) { return a.width() < b.width(); });

    struct Image {
        int side;
        QByteArray png;
    };
    std::vector<Image> images;
    for (const QSize& size : sizes) {
        if (size.width() > kLargestSide || size.width() != size.height()) continue;
        Image image{size.width(), {}};
        QBuffer buffer(&image.png);
        buffer.open(QIODevice::WriteOnly);
        if (!icon.pixmap(size).toImage().save(&buffer, "PNG")) return 1;
        images.push_back(image);
    }

    QByteArray out;
    Put16(out, 0);
    Put16(out, 1);
    Put16(out, static_cast<quint16>(images.size()));
    quint32 offset = kIconDirBytes + kIconEntryBytes * static_cast<quint32>(images.size());
    for (const Image& image : images) {
        const int side = image.side;
        out.append(static_cast<char>(side == kLargestSide ? 0 : side));  // width
        out.append(static_cast<char>(side == kLargestSide ? 0 : side));  // height
        out.append('\0');                                                // no palette
        out.append('\0');                                                // reserved
        Put16(out, 1);                                                   // colour planes
        Put16(out, 32);                                                  // bits per pixel
        Put32(out, static_cast<quint32>(image.png.size()));
        Put32(out, offset);
        offset += static_cast<quint32>(image.png.size());
    }
    for (const Image& image : images) out += image.png;

    QFile file(QString::fromLocal8Bit(argv[1]));
    if (!file.open(QIODevice::WriteOnly) || file.write(out) != out.size()) {
        std::fprintf(stderr, "fieldprog-icon: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
