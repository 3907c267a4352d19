#include "UpdaterIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

QIcon UpdaterIcon::make()
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);

    // A rounded square in the refresher's blue, so the two programs look related in the task bar.
    painter.setPen(QPen(QColor(0x1f, 0x4e, 0x8c), 1.5));
    painter.setBrush(QColor(0x3a, 0x7b, 0xd5));
    painter.drawRoundedRect(QRectF(1.5, 1.5, 29, 29), 6, 6);

    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    QPainterPath arrow;
    arrow.moveTo(13, 6);
    arrow.lineTo(19, 6);
    arrow.lineTo(19, 14);
    arrow.lineTo(24, 14);
    arrow.lineTo(16, 22);
    arrow.lineTo(8, 14);
    arrow.lineTo(13, 14);
    arrow.closeSubpath();
    painter.drawPath(arrow);
    painter.drawRect(QRectF(7, 24, 18, 3));
    painter.end();

    return QIcon(pixmap);
}
