#include "ui/widgets/Artwork.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QRadialGradient>

namespace zaq::art {
namespace {

// Icons are drawn at twice their size so that they stay sharp on high-density screens.
constexpr qreal kScale = 2.0;
const QColor kInk(0xdf, 0xe3, 0xea);
const QColor kAccent(0xd9, 0x3a, 0x3a);

QPixmap canvas(int w, int h) {
    QPixmap pm(int(w * kScale), int(h * kScale));
    pm.setDevicePixelRatio(kScale);
    pm.fill(Qt::transparent);
    return pm;
}

void smooth(QPainter& p) {
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
}

QPen inkPen(qreal width) {
    return QPen(kInk, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

// The one arrow image, pointing left, 24 x 24 points.
const QImage& leftArrow() {
    static const QImage image = [] {
        QImage img(int(24 * kScale), int(24 * kScale), QImage::Format_ARGB32_Premultiplied);
        img.setDevicePixelRatio(kScale);
        img.fill(Qt::transparent);
        QPainter p(&img);
        smooth(p);
        QPainterPath path;
        path.moveTo(3, 12);
        path.lineTo(11.5, 4);
        path.lineTo(11.5, 9);
        path.lineTo(21, 9);
        path.lineTo(21, 15);
        path.lineTo(11.5, 15);
        path.lineTo(11.5, 20);
        path.closeSubpath();
        p.fillPath(path, kInk);
        return img;
    }();
    return image;
}

void drawSign(QPainter& p, QPointF c, qreal half, bool plus) {
    p.drawLine(QPointF(c.x() - half, c.y()), QPointF(c.x() + half, c.y()));
    if (plus) p.drawLine(QPointF(c.x(), c.y() - half), QPointF(c.x(), c.y() + half));
}

}  // namespace

QImage logoImage() {
    QImage img(480, 360, QImage::Format_RGB32);
    QPainter p(&img);
    smooth(p);
    QLinearGradient sky(0, 0, 0, img.height());
    sky.setColorAt(0, QColor(0x26, 0x2c, 0x36));
    sky.setColorAt(1, QColor(0x0a, 0x0c, 0x10));
    p.fillRect(img.rect(), sky);
    QRadialGradient glow(QPointF(240, 150), 220);
    glow.setColorAt(0, QColor(255, 255, 255, 28));
    glow.setColorAt(1, QColor(255, 255, 255, 0));
    p.fillRect(img.rect(), glow);

    QFont mark(QStringLiteral("Liberation Sans"));
    mark.setStyleHint(QFont::SansSerif);
    mark.setBold(true);
    mark.setPixelSize(118);
    mark.setLetterSpacing(QFont::AbsoluteSpacing, 10);
    p.setFont(mark);
    p.setPen(QColor(0xc9, 0xcf, 0xd8));
    // The spacing follows every letter, the last one too: shift by half of it to centre.
    p.drawText(QRect(5, 70, 480, 150), Qt::AlignCenter, QStringLiteral("ZAQ"));
    p.fillRect(QRectF(150, 222, 180, 5), kAccent);

    QFont sub = mark;
    sub.setPixelSize(24);
    sub.setLetterSpacing(QFont::AbsoluteSpacing, 8);
    p.setFont(sub);
    p.setPen(QColor(0x8a, 0x93, 0xa0));
    p.drawText(QRect(4, 236, 480, 40), Qt::AlignCenter, QStringLiteral("CLIENT"));
    return img;
}

QIcon arrowIcon(int degreesCcw) {
    QPixmap pm = canvas(24, 24);
    QPainter p(&pm);
    smooth(p);
    // Screen y grows downward, so a counter-clockwise turn is a negative Qt angle.
    QTransform turn;
    turn.translate(12, 12).rotate(-degreesCcw).translate(-12, -12);
    p.setTransform(turn);
    p.drawImage(QPointF(0, 0), leftArrow());
    return QIcon(pm);
}

QIcon zoomIcon(bool in) {
    QPixmap pm = canvas(24, 24);
    QPainter p(&pm);
    smooth(p);
    p.setPen(inkPen(2));
    p.drawEllipse(QPointF(10, 10), 6.5, 6.5);
    p.setPen(inkPen(3));
    p.drawLine(QPointF(15, 15), QPointF(21, 21));
    p.setPen(inkPen(1.8));
    drawSign(p, QPointF(10, 10), 3.2, in);
    return QIcon(pm);
}

QIcon focusIcon(bool near) {
    QPixmap pm = canvas(24, 24);
    QPainter p(&pm);
    smooth(p);
    p.setPen(inkPen(2));
    // The corner marks of a viewfinder around the sign.
    const qreal a = 3, b = 21, k = 5;
    for (auto [x, dx] : {std::pair{a, k}, std::pair{b, -k}}) {
        for (auto [y, dy] : {std::pair{a, k}, std::pair{b, -k}}) {
            p.drawLine(QPointF(x, y), QPointF(x + dx, y));
            p.drawLine(QPointF(x, y), QPointF(x, y + dy));
        }
    }
    p.setPen(inkPen(1.6));
    p.drawEllipse(QPointF(12, 12), 5.5, 5.5);
    drawSign(p, QPointF(12, 12), 2.8, near);
    return QIcon(pm);
}

QIcon splitIcon(int mode) {
    const qreal w = 26, h = 20, gap = 1.5;
    QPixmap pm = canvas(int(w), int(h));
    QPainter p(&pm);
    smooth(p);
    p.setPen(Qt::NoPen);
    p.setBrush(kInk);
    auto cell = [&](qreal x, qreal y, qreal cw, qreal ch) {
        p.drawRoundedRect(QRectF(x, y, cw - gap, ch - gap), 1, 1);
    };
    if (mode == 10) {
        // Eight small panes over two large ones, as the layout itself.
        const qreal sw = (w + gap) / 4, sh = (h + gap) / 4;
        for (int k = 0; k < 8; ++k)
            cell((k % 4) * sw, (k / 4) * sh, sw, sh);
        for (int j = 0; j < 2; ++j)
            cell(j * 2 * sw, 2 * sh, 2 * sw, 2 * sh);
    } else {
        int n = mode >= 16 ? 4 : mode >= 9 ? 3 : mode >= 4 ? 2 : 1;
        const qreal cw = (w + gap) / n, ch = (h + gap) / n;
        for (int r = 0; r < n; ++r) {
            for (int c = 0; c < n; ++c)
                cell(c * cw, r * ch, cw, ch);
        }
    }
    return QIcon(pm);
}

QIcon siteIcon() {
    QPixmap pm = canvas(24, 24);
    QPainter p(&pm);
    smooth(p);
    p.setPen(inkPen(1.8));
    p.drawRoundedRect(QRectF(3, 4, 18, 16), 2.5, 2.5);
    p.setBrush(kInk);
    p.drawEllipse(QPointF(9, 10.5), 2.4, 2.4);
    p.drawChord(QRectF(5, 13.5, 8, 7), 0, 180 * 16);
    p.setPen(inkPen(1.6));
    p.drawLine(QPointF(14.5, 10), QPointF(18.5, 10));
    p.drawLine(QPointF(14.5, 14), QPointF(18.5, 14));
    return QIcon(pm);
}

QIcon setupIcon() {
    QPixmap pm = canvas(24, 24);
    QPainter p(&pm);
    smooth(p);
    p.translate(12, 12);
    p.setPen(Qt::NoPen);
    p.setBrush(kInk);
    for (int k = 0; k < 8; ++k) {
        p.drawRoundedRect(QRectF(-2, -10.5, 4, 6), 1, 1);
        p.rotate(45);
    }
    QPainterPath ring;
    ring.addEllipse(QPointF(0, 0), 7, 7);
    ring.addEllipse(QPointF(0, 0), 3, 3);
    p.drawPath(ring);
    return QIcon(pm);
}

QIcon playbackIcon() {
    QPixmap pm = canvas(24, 24);
    QPainter p(&pm);
    smooth(p);
    p.setPen(inkPen(1.6));
    p.drawRoundedRect(QRectF(2.5, 4.5, 19, 15), 2, 2);
    p.setPen(Qt::NoPen);
    p.setBrush(kInk);
    for (int k = 0; k < 4; ++k) {
        p.drawRect(QRectF(4.5 + k * 4.5, 6, 2, 2));
        p.drawRect(QRectF(4.5 + k * 4.5, 16, 2, 2));
    }
    QPolygonF play({QPointF(10, 9.5), QPointF(15.5, 12), QPointF(10, 14.5)});
    p.drawPolygon(play);
    return QIcon(pm);
}

QIcon liveIcon() {
    QPixmap pm = canvas(24, 24);
    QPainter p(&pm);
    smooth(p);
    p.setPen(Qt::NoPen);
    p.setBrush(kInk);
    p.drawRoundedRect(QRectF(2, 7, 14, 10), 2, 2);
    p.drawPolygon(QPolygonF({QPointF(16.5, 12), QPointF(22, 8), QPointF(22, 16)}));
    p.setBrush(kAccent);
    p.drawEllipse(QPointF(5.5, 10), 1.6, 1.6);
    return QIcon(pm);
}

}  // namespace zaq::art
