// fieldprog-art: writes the program's pictures, drawn by the same code the Qt windows use, as
// files for the builds that cannot draw them at run time: the icon at the usual sizes (PNG,
// and one .ico holding them all) for the Debian package and the Windows programs, and the
// window pictures as 32-bit bitmaps with alpha for the native Windows window, at 100 % and
// 200 % scaling.
//
//     fieldprog-art OUTPUT_FOLDER

#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QtEndian>
#include <cstdio>
#include <vector>

#include "FormLook.h"

namespace {

constexpr int kIconSides[] = {16, 24, 32, 48, 64, 128, 256};
constexpr int kScales[] = {1, 2};  // 100 % and 200 %

// Little-endian writers for the file headers.
void Put16(QByteArray& out, quint16 v) {
    const quint16 le = qToLittleEndian(v);
    out.append(reinterpret_cast<const char*>(&le), 2);
}
void Put32(QByteArray& out, quint32 v) {
    const quint32 le = qToLittleEndian(v);
    out.append(reinterpret_cast<const char*>(&le), 4);
}

QByteArray Png(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// An .ico whose entries are PNG images, which every Windows since Vista reads.
QByteArray Ico(const std::vector<QImage>& images) {
    QByteArray out;
    Put16(out, 0);  // reserved
    Put16(out, 1);  // icon
    Put16(out, static_cast<quint16>(images.size()));
    std::vector<QByteArray> pngs;
    for (const QImage& image : images) pngs.push_back(Png(image));
    quint32 offset = 6 + 16 * static_cast<quint32>(images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        const int side = images[i].width();
        out.append(static_cast<char>(side >= 256 ? 0 : side));  // 0 stands for 256
        out.append(static_cast<char>(side >= 256 ? 0 : side));
        out.append('\0');  // no palette
        out.append('\0');
        Put16(out, 1);   // planes
        Put16(out, 32);  // bits per pixel
        Put32(out, static_cast<quint32>(pngs[i].size()));
        Put32(out, offset);
        offset += static_cast<quint32>(pngs[i].size());
    }
    for (const QByteArray& png : pngs) out.append(png);
    return out;
}

// A bottom-up 32-bit BMP with premultiplied alpha, as AlphaBlend takes it.
QByteArray Bmp(const QImage& source) {
    const QImage image = source.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const quint32 pixels = static_cast<quint32>(image.width() * image.height() * 4);
    QByteArray out;
    out.append("BM");
    Put32(out, 14 + 40 + pixels);
    Put32(out, 0);
    Put32(out, 14 + 40);
    Put32(out, 40);  // BITMAPINFOHEADER
    Put32(out, static_cast<quint32>(image.width()));
    Put32(out, static_cast<quint32>(image.height()));
    Put16(out, 1);
    Put16(out, 32);
    Put32(out, 0);  // BI_RGB: blue, green, red, alpha per pixel
    Put32(out, pixels);
    Put32(out, 2835);  // 72 dpi
    Put32(out, 2835);
    Put32(out, 0);
    Put32(out, 0);
    for (int y = image.height() - 1; y >= 0; --y) {
        const auto* row = reinterpret_cast<const quint32*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) Put32(out, row[x]);  // 0xAARRGGBB
    }
    return out;
}

bool Save(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "fieldprog-art: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

QImage At(const QPixmap& pixmap) {
    return pixmap.toImage();
}

}  // namespace

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: fieldprog-art OUTPUT_FOLDER\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "fieldprog-art: cannot make %s\n", argv[1]);
        return 1;
    }
    bool ok = true;
    std::vector<QImage> icons;
    for (const int side : kIconSides) {
        icons.push_back(At(DrawZapper(ZapperPicture::Ready, side, 1.0)));
        ok = Save(folder + QStringLiteral("/icon-%1.png").arg(side), Png(icons.back())) && ok;
    }
    ok = Save(folder + QStringLiteral("/fieldprog.ico"), Ico(icons)) && ok;

    // The main window's three pictures at 64 logical pixels, the port dialog's at 48, the
    // About box's logo at 64 and its coins at 40, each at both scales.
    const struct {
        const char* name;
        ZapperPicture picture;
        int side;
    } zappers[] = {{"ready", ZapperPicture::Ready, 64},
                   {"busy", ZapperPicture::Busy, 64},
                   {"failed", ZapperPicture::Failed, 64},
                   {"small", ZapperPicture::Ready, 48}};
    for (const int scale : kScales) {
        for (const auto& z : zappers) {
            ok = Save(folder + QStringLiteral("/zapper-%1-%2x.bmp").arg(z.name).arg(scale),
                      Bmp(At(DrawZapper(z.picture, z.side, scale)))) &&
                 ok;
        }
        ok = Save(folder + QStringLiteral("/coins-%1x.bmp").arg(scale),
                  Bmp(At(DrawCoins(40, scale)))) &&
             ok;
    }
    return ok ? 0 : 1;
}
