#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>

// The look shared by the native forms: the form font, the boxes that hold the command buttons,
// and the scaling for the window's DPI. Texts arrive as UTF-8 and reach Windows as UTF-16.

struct FontDeleter {
    void operator()(HFONT font) const { DeleteObject(font); }
};
using FontHandle = std::unique_ptr<std::remove_pointer_t<HFONT>, FontDeleter>;

// Registers the window class of the button boxes (picQuit and the others); before any form.
void RegisterButtonBox(HINSTANCE instance);
// Puts a push button numbered `id` into `box`, filling it. Its clicks reach the box's parent as
// if the button were the parent's own.
HWND AddBoxButton(HWND box, int id, bool isDefault);
// The button a box holds.
HWND BoxButton(HWND box);

// The window's DPI (96 at 100 % scaling).
UINT WindowDpi(HWND window);
int Scaled(int logicalPixels, UINT dpi);

// Buttons, status line and port options: MS Sans Serif 9.75 pt bold, in its TrueType cut so
// that it stays crisp when scaled; `percent` makes a larger or smaller one.
FontHandle MakeFormFont(UINT dpi, int percent = 100);

// Makes a control exactly `width` x `height` logical pixels for its window's DPI.
void SizeInPixels(HWND control, int width, int height);
// A grey line with a white one right under it, one logical pixel each: an etched rule.
void EtchedRule(HWND grey, HWND white);

void SetText(HWND window, const std::string& utf8);
void SetItemText(HWND dialog, int id, const std::string& utf8);

// A form made from a dialog template. Its dialog keeps a pointer to the form and hands it every
// message; a form creates its dialog with DialogProc and Self() as the creation parameter.
class DialogForm {
  public:
    DialogForm() = default;
    DialogForm(const DialogForm&) = delete;
    DialogForm& operator=(const DialogForm&) = delete;

  protected:
    virtual ~DialogForm() = default;
    virtual INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) = 0;
    static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    // This form as the dialog's creation parameter (the base's own address, which a form with
    // several bases does not share).
    LPARAM Self() { return reinterpret_cast<LPARAM>(this); }

    HWND hwnd_ = nullptr;
};
