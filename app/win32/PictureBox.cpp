#include "PictureBox.h"

#include <utility>

#include "FormLook.h"

namespace {

constexpr UINT kLargePicturesFromDpi = 144;  // 150 % and up draw the 200 % pictures

}  // namespace

PictureBox::PictureBox(HINSTANCE instance, int logicalSide, std::vector<int> pictures)
    : instance_(instance), side_(logicalSide), pictures_(std::move(pictures)) {}

PictureBox::~PictureBox() {
    Release();
}

void PictureBox::Release() {
    for (HBITMAP bitmap : bitmaps_) {
        if (bitmap != nullptr) DeleteObject(bitmap);
    }
    bitmaps_.clear();
}

void PictureBox::Attach(HWND control) {
    control_ = control;
    Release();
    const int offset = WindowDpi(control) >= kLargePicturesFromDpi ? 1 : 0;
    for (const int picture : pictures_) {
        // A DIB section keeps the bitmap's 32 bits: colour and premultiplied alpha.
        bitmaps_.push_back(
            static_cast<HBITMAP>(LoadImageW(instance_, MAKEINTRESOURCEW(picture + offset),
                                            IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
    }
    SizeInPixels(control, side_, side_);
    InvalidateRect(control, nullptr, FALSE);
}

void PictureBox::Show(int number) {
    if (number < 1 || number > static_cast<int>(pictures_.size()) || number - 1 == shown_) return;
    shown_ = number - 1;
    if (control_ != nullptr) {
        InvalidateRect(control_, nullptr, FALSE);
        UpdateWindow(control_);
    }
}

// Drawn off screen first, so a picture change never flashes the background.
bool PictureBox::Draw(const DRAWITEMSTRUCT& item) const {
    if (item.hwndItem != control_ || control_ == nullptr) return false;
    const RECT& area = item.rcItem;
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    HDC canvas = CreateCompatibleDC(item.hDC);
    HBITMAP surface = CreateCompatibleBitmap(item.hDC, width, height);
    HGDIOBJ oldSurface = SelectObject(canvas, surface);
    RECT whole{0, 0, width, height};
    FillRect(canvas, &whole, GetSysColorBrush(COLOR_BTNFACE));

    HBITMAP bitmap = shown_ < static_cast<int>(bitmaps_.size()) ? bitmaps_[shown_] : nullptr;
    BITMAP info{};
    if (bitmap != nullptr && GetObjectW(bitmap, sizeof info, &info) != 0) {
        HDC source = CreateCompatibleDC(item.hDC);
        HGDIOBJ oldSource = SelectObject(source, bitmap);
        BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
        AlphaBlend(canvas, 0, 0, width, height, source, 0, 0, info.bmWidth, info.bmHeight, blend);
        SelectObject(source, oldSource);
        DeleteDC(source);
    }
    BitBlt(item.hDC, area.left, area.top, width, height, canvas, 0, 0, SRCCOPY);
    SelectObject(canvas, oldSurface);
    DeleteObject(surface);
    DeleteDC(canvas);
    return true;
}
