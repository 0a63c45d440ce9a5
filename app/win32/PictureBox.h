#pragma once

#include <windows.h>

#include <vector>

// A picture control of a form (an owner-drawn static): one of a few pictures from the
// resources, drawn with its alpha over the form's background. Each picture exists at 100 %
// and 200 % scaling; the control takes the one that suits its window's DPI and is sized in
// logical pixels, so the picture stays crisp.
class PictureBox {
  public:
    // `pictures`: the resource numbers (at 100 %) of the pictures 1, 2, ...
    PictureBox(HINSTANCE instance, int logicalSide, std::vector<int> pictures);
    ~PictureBox();
    PictureBox(const PictureBox&) = delete;
    PictureBox& operator=(const PictureBox&) = delete;

    // Takes over the control and sizes it; again after the window's DPI changed.
    void Attach(HWND control);
    // Shows picture `number` (1 for the first).
    void Show(int number);
    // Draws the control; false when the drawing is for another control.
    bool Draw(const DRAWITEMSTRUCT& item) const;

  private:
    void Release();

    HINSTANCE instance_;
    int side_;
    std::vector<int> pictures_;
    std::vector<HBITMAP> bitmaps_;
    HWND control_ = nullptr;
    int shown_ = 0;
};
