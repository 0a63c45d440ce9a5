#include "FormLook.h"

#include <QFrame>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QRadialGradient>

namespace {

constexpr qreal kCanvas = 64.0;  // every picture is drawn on a 64 x 64 grid, then scaled

QPixmap BlankCanvas(int logicalSize, qreal devicePixelRatio) {
    const qreal ratio = devicePixelRatio > 0 ? devicePixelRatio : 1.0;
    const int side = qMax(1, qRound(logicalSize * ratio));
    QPixmap pixmap(side, side);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

void PrepareGrid(QPainter& painter, int logicalSize) {
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(logicalSize / kCanvas, logicalSize / kCanvas);
}

void DrawLight(QPainter& painter, const QPointF& centre, const QColor& colour) {
    QRadialGradient glow(centre, 4.5);
    glow.setColorAt(0.0, colour.lighter(170));
    glow.setColorAt(0.55, colour);
    glow.setColorAt(1.0, colour.darker(160));
    painter.setPen(QPen(QColor(20, 26, 32), 0.8));
    painter.setBrush(glow);
    painter.drawEllipse(centre, 3.2, 3.2);
}

// A round badge in the lower right corner that carries the busy arrow or the failed cross.
void DrawBadge(QPainter& painter, const QColor& colour) {
    const QPointF centre(49.0, 49.0);
    painter.setPen(QPen(Qt::white, 2.2));
    QRadialGradient fill(centre - QPointF(3, 3), 14);
    fill.setColorAt(0.0, colour.lighter(125));
    fill.setColorAt(1.0, colour.darker(115));
    painter.setBrush(fill);
    painter.drawEllipse(centre, 12.0, 12.0);
}

void DrawBody(QPainter& painter) {
    // Serial connector on the top edge.
    painter.setPen(QPen(QColor(60, 66, 72), 0.8));
    painter.setBrush(QColor(150, 156, 162));
    QPainterPath plug;
    plug.moveTo(24, 8);
    plug.lineTo(25.5, 2.5);
    plug.lineTo(38.5, 2.5);
    plug.lineTo(40, 8);
    plug.closeSubpath();
    painter.drawPath(plug);

    // Case.
    QLinearGradient shell(QPointF(12, 6), QPointF(52, 62));
    shell.setColorAt(0.0, QColor(78, 98, 120));
    shell.setColorAt(1.0, QColor(38, 50, 64));
    painter.setPen(QPen(QColor(22, 29, 37), 1.2));
    painter.setBrush(shell);
    painter.drawRoundedRect(QRectF(12, 7, 40, 55), 7, 7);

    // Display.
    painter.setPen(QPen(QColor(22, 29, 37), 1.0));
    QLinearGradient lcd(QPointF(17, 15), QPointF(47, 33));
    lcd.setColorAt(0.0, QColor(186, 214, 170));
    lcd.setColorAt(1.0, QColor(140, 176, 128));
    painter.setBrush(lcd);
    painter.drawRoundedRect(QRectF(17, 15, 30, 18), 2, 2);
    painter.setPen(QPen(QColor(58, 84, 56), 1.6, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(21, 21), QPointF(37, 21));
    painter.drawLine(QPointF(21, 27), QPointF(31, 27));

    // Keys.
    painter.setPen(QPen(QColor(22, 29, 37), 0.8));
    painter.setBrush(QColor(214, 220, 226));
    for (int row = 0; row < 2; ++row) {
        for (int col = 0; col < 3; ++col) {
            painter.drawRoundedRect(QRectF(18 + col * 10, 39 + row * 9, 7, 6), 1.5, 1.5);
        }
    }
}

}  // namespace

QFont FormFont() {
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(9.75);
    font.setBold(true);
    return font;
}

QPixmap DrawZapper(ZapperPicture picture, int logicalSize, qreal devicePixelRatio) {
    QPixmap pixmap = BlankCanvas(logicalSize, devicePixelRatio);
    QPainter painter(&pixmap);
    PrepareGrid(painter, logicalSize);
    DrawBody(painter);

    const QPointF light(46, 11.5);
    switch (picture) {
        case ZapperPicture::Ready:
            DrawLight(painter, light, QColor(40, 200, 70));
            break;
        case ZapperPicture::Busy: {
            DrawLight(painter, light, QColor(255, 176, 0));
            DrawBadge(painter, QColor(240, 150, 0));
            QPen pen(Qt::white, 3.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
            painter.setPen(pen);
            painter.setBrush(Qt::NoBrush);
            painter.drawLine(QPointF(49, 41.5), QPointF(49, 55));
            QPainterPath head;
            head.moveTo(43.5, 49.5);
            head.lineTo(49, 55.5);
            head.lineTo(54.5, 49.5);
            painter.drawPath(head);
            break;
        }
        case ZapperPicture::Failed: {
            DrawLight(painter, light, QColor(230, 40, 40));
            DrawBadge(painter, QColor(210, 30, 30));
            QPen pen(Qt::white, 3.4, Qt::SolidLine, Qt::RoundCap);
            painter.setPen(pen);
            painter.drawLine(QPointF(44, 44), QPointF(54, 54));
            painter.drawLine(QPointF(54, 44), QPointF(44, 54));
            break;
        }
    }
    return pixmap;
}

QPixmap DrawCoins(int logicalSize, qreal devicePixelRatio) {
    QPixmap pixmap = BlankCanvas(logicalSize, devicePixelRatio);
    QPainter painter(&pixmap);
    PrepareGrid(painter, logicalSize);
    const QColor gold(222, 176, 52);
    for (int i = 0; i < 4; ++i) {
        const QRectF edge(12, 40 - i * 8, 40, 14);
        painter.setPen(QPen(gold.darker(170), 1.0));
        painter.setBrush(gold.darker(125));
        painter.drawRoundedRect(edge.adjusted(0, 4, 0, 4), 20, 7);
        QLinearGradient face(edge.topLeft(), edge.bottomRight());
        face.setColorAt(0.0, gold.lighter(135));
        face.setColorAt(1.0, gold);
        painter.setBrush(face);
        painter.drawEllipse(edge);
    }
    painter.setPen(QPen(gold.darker(170), 1.4));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(QRectF(20, 17.5, 24, 7));
    return pixmap;
}

QIcon ApplicationIcon() {
    QIcon icon;
    for (int side : {16, 24, 32, 48, 64, 128, 256}) {
        icon.addPixmap(DrawZapper(ZapperPicture::Ready, side, 1.0));
    }
    return icon;
}

QFrame* DecorationLine(QWidget* parent, const QColor& colour) {
    auto* line = new QFrame(parent);
    line->setFixedHeight(1);
    line->setAutoFillBackground(true);
    QPalette palette = line->palette();
    palette.setColor(QPalette::Window, colour);
    line->setPalette(palette);
    return line;
}
