#include "app/statusicon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

QIcon warningIcon(const QIcon &base)
{
    QList<QSize> sizes = base.availableSizes();
    if (sizes.isEmpty())
        sizes = {QSize(16, 16), QSize(24, 24), QSize(32, 32), QSize(48, 48), QSize(64, 64)};
    QIcon icon;
    for (const QSize &size : qAsConst(sizes)) {
        QPixmap pixmap = base.pixmap(size);
        if (pixmap.isNull())
            continue;
        const qreal w = pixmap.width(), h = pixmap.height();
        // A triangle over the lower right corner, about two thirds of the icon wide.
        const qreal side = qMax<qreal>(10.0, w * 0.66);
        const QRectF box(w - side, h - side, side, side);
        QPainterPath triangle;
        triangle.moveTo(box.center().x(), box.top());
        triangle.lineTo(box.right(), box.bottom());
        triangle.lineTo(box.left(), box.bottom());
        triangle.closeSubpath();
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(QColor(90, 40, 0), qMax<qreal>(1.0, side / 16)));
        painter.setBrush(QColor(240, 150, 0));
        painter.drawPath(triangle);
        // The exclamation mark: a bar and a dot.
        const qreal stroke = qMax<qreal>(1.5, side / 8);
        painter.setPen(QPen(Qt::black, stroke, Qt::SolidLine, Qt::RoundCap));
        const qreal x = box.center().x();
        painter.drawLine(QPointF(x, box.top() + side * 0.36), QPointF(x, box.top() + side * 0.68));
        painter.drawPoint(QPointF(x, box.top() + side * 0.84));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}
