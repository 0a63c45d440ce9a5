#pragma once

#include <QFont>
#include <QIcon>
#include <QPixmap>

class QColor;
class QFrame;
class QWidget;

// The look shared by the downloader's windows: the form font and the pictures. The pictures
// are drawn at run time for the screen's pixel ratio, so they stay crisp on high-DPI screens
// and no image files have to travel with the program.

// Buttons, status line and port options: "MS Sans Serif" 9.75 pt bold. Where that face is not
// installed the style hint makes the font system fall back to a plain sans-serif face.
QFont FormFont();

// A one-pixel horizontal decoration line in the given colour.
QFrame* DecorationLine(QWidget* parent, const QColor& colour);

// The three pictures of the main window's image list, numbered as the window uses them.
enum class ZapperPicture { Ready = 1, Busy = 2, Failed = 3 };

// A hand-held Field Programmer: green light when ready, amber light and a download arrow
// when busy, red light and a cross when the last attempt failed.
QPixmap DrawZapper(ZapperPicture picture, int logicalSize, qreal devicePixelRatio);

// A small stack of coins, the second picture of the About box.
QPixmap DrawCoins(int logicalSize, qreal devicePixelRatio);

// The window icon: the ready picture in the usual icon sizes.
QIcon ApplicationIcon();
