#include "devicepicture.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

using namespace Qt::StringLiterals;

QImage drawDevicePicture(const QString &profile)
{
    QImage image(480, 360, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);

    QLinearGradient background(0, 0, 0, image.height());
    background.setColorAt(0, QColor(0x3a, 0x3f, 0x47));
    background.setColorAt(1, QColor(0x1d, 0x20, 0x25));
    painter.fillRect(image.rect(), background);

    const bool wireless = profile.endsWith(u"wireless"_s);
    const bool dual = profile.contains(u"dual"_s);
    const bool left = profile.contains(u"left"_s);
    // Each generation gets its own board colour.
    const QColor board = profile.startsWith(u"v0"_s) ? QColor(0x1f, 0x6f, 0x4a)
                       : profile.startsWith(u"v1"_s) ? QColor(0x24, 0x4f, 0x8f)
                                                     : QColor(0x6b, 0x2f, 0x7a);

    const QRectF boardRect = dual ? QRectF(50, 70, 380, 190) : QRectF(100, 70, 280, 190);
    QPainterPath boardPath;
    boardPath.addRoundedRect(boardRect, 18, 18);
    painter.fillPath(boardPath, board);
    painter.setPen(QPen(board.lighter(150), 3));
    painter.drawPath(boardPath);

    // Mounting holes.
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xd8, 0xc0, 0x70));
    for (const QPointF &corner : { boardRect.topLeft() + QPointF(16, 16), boardRect.topRight() + QPointF(-16, 16),
                                   boardRect.bottomLeft() + QPointF(16, -16), boardRect.bottomRight() + QPointF(-16, -16) })
        painter.drawEllipse(corner, 7, 7);

    // The ESP32-S3 module with its shield can.
    const QRectF module(boardRect.center().x() - 60, boardRect.top() + 35, 120, 95);
    painter.setBrush(QColor(0x20, 0x20, 0x20));
    painter.drawRoundedRect(module, 4, 4);
    painter.setBrush(QColor(0xc8, 0xcc, 0xd0));
    painter.drawRoundedRect(module.adjusted(8, 22, -8, -8), 3, 3);
    painter.setPen(QColor(0x30, 0x30, 0x30));
    QFont font(u"DejaVu Sans"_s, 11, QFont::Bold);
    painter.setFont(font);
    painter.drawText(module.adjusted(8, 22, -8, -8), Qt::AlignCenter, u"ESP32-S3"_s);
    if (wireless) {
        painter.setPen(QPen(QColor(0xd8, 0xc0, 0x70), 3));
        for (int i = 0; i < 4; ++i)
            painter.drawLine(QPointF(module.left() + 12 + i * 26, module.top() + 8),
                             QPointF(module.left() + 24 + i * 26, module.top() + 8));
    }

    // Switch sockets along the bottom edge.
    painter.setPen(Qt::NoPen);
    const int sockets = dual ? 12 : 7;
    const qreal step = (boardRect.width() - 60) / sockets;
    for (int i = 0; i < sockets; ++i) {
        painter.setBrush(QColor(0xee, 0xee, 0xee));
        painter.drawRoundedRect(QRectF(boardRect.left() + 30 + i * step + 4, boardRect.bottom() - 58, step - 8, step - 8), 3, 3);
    }

    // USB-C connector, and the cable for wired variants.
    const qreal usbX = left ? boardRect.left() + 40 : boardRect.right() - 80;
    painter.setBrush(QColor(0xb0, 0xb4, 0xb8));
    painter.drawRoundedRect(QRectF(usbX, boardRect.top() - 10, 40, 16), 6, 6);
    if (!wireless) {
        painter.setPen(QPen(QColor(0x10, 0x10, 0x10), 9, Qt::SolidLine, Qt::RoundCap));
        QPainterPath cable(QPointF(usbX + 20, boardRect.top() - 10));
        cable.cubicTo(QPointF(usbX + 20, 20), QPointF(usbX + 90, 50), QPointF(usbX + 110, 0));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(cable);
    }

    painter.setPen(Qt::white);
    painter.setFont(QFont(u"DejaVu Sans"_s, 15, QFont::Bold));
    painter.drawText(QRectF(0, 280, image.width(), 30), Qt::AlignCenter, profile);
    painter.setPen(QColor(0xff, 0xc8, 0x4a));
    painter.setFont(QFont(u"DejaVu Sans"_s, 10));
    painter.drawText(QRectF(0, 312, image.width(), 24), Qt::AlignCenter,
                     u"DEMO PICTURE \u2014 generated, not a photo of a real device"_s);
    painter.end();
    return image;
}
