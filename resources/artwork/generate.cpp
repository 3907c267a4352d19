// Draws the program's pictures. Not part of the normal build; run it by hand after changing a drawing:
//   g++ -std=c++20 -fPIC generate.cpp $(pkg-config --cflags --libs Qt6Gui) -o /tmp/pagewell-artwork
//   QT_QPA_PLATFORM=offscreen /tmp/pagewell-artwork ..
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace {
const QColor Ink(24, 63, 110);
const QColor Sky(86, 156, 214);
const QColor Mist(226, 238, 248);

// A small boat on a swell: the mark of the Lanzhou ("misty boat") workshop.
void drawBoat(QPainter& p, const QRectF& box)
{
    const qreal w = box.width();
    const qreal h = box.height();
    QPainterPath hull;
    hull.moveTo(box.left() + 0.05 * w, box.top() + 0.55 * h);
    hull.lineTo(box.right() - 0.05 * w, box.top() + 0.55 * h);
    hull.quadTo(box.right() - 0.2 * w, box.top() + 0.8 * h, box.left() + 0.5 * w, box.top() + 0.8 * h);
    hull.quadTo(box.left() + 0.2 * w, box.top() + 0.8 * h, box.left() + 0.05 * w, box.top() + 0.55 * h);
    p.fillPath(hull, Ink);

    QPainterPath sail;
    sail.moveTo(box.left() + 0.5 * w, box.top() + 0.05 * h);
    sail.lineTo(box.left() + 0.5 * w, box.top() + 0.5 * h);
    sail.lineTo(box.left() + 0.15 * w, box.top() + 0.5 * h);
    sail.closeSubpath();
    p.fillPath(sail, Qt::white);
    QPainterPath jib;
    jib.moveTo(box.left() + 0.56 * w, box.top() + 0.15 * h);
    jib.lineTo(box.left() + 0.56 * w, box.top() + 0.5 * h);
    jib.lineTo(box.left() + 0.82 * w, box.top() + 0.5 * h);
    jib.closeSubpath();
    p.fillPath(jib, Mist);
}

// Two arrow heads chasing each other round a ring: the page comes back again and again.
void drawRefreshRing(QPainter& p, const QRectF& ring, qreal width, const QColor& colour)
{
    QPen pen(colour, width, Qt::SolidLine, Qt::FlatCap);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawArc(ring, 30 * 16, 130 * 16);
    p.drawArc(ring, 210 * 16, 130 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    const QPointF c = ring.center();
    const qreal r = ring.width() / 2;
    for (const qreal angle : {160.0, 340.0}) {
        const qreal rad = qDegreesToRadians(angle);
        const QPointF tip(c.x() + r * std::cos(rad), c.y() - r * std::sin(rad));
        const QPointF tangent(std::sin(rad), std::cos(rad)); // direction of travel, anticlockwise on screen
        const QPointF normal(std::cos(rad), -std::sin(rad));
        const qreal s = width * 1.6;
        const QPolygonF head{tip + tangent * s, tip + normal * s, tip - normal * s};
        p.drawPolygon(head);
    }
}

// Drawn on a 32-unit grid and scaled, so the window icon and the desktop's larger icons are one picture.
QImage windowIcon(int size = 32)
{
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);
    QLinearGradient fill(0, 0, 0, 32);
    fill.setColorAt(0, Sky);
    fill.setColorAt(1, Ink);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(1, 1, 30, 30), 6, 6);
    drawRefreshRing(p, QRectF(6, 6, 20, 20), 2.6, Qt::white);
    drawBoat(p, QRectF(11, 10, 10, 11));
    return image;
}

QImage banner()
{
    QImage image(120, 100, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, 100);
    sky.setColorAt(0, Sky);
    sky.setColorAt(0.6, Mist);
    sky.setColorAt(1, Mist);
    p.fillRect(image.rect(), sky);

    // Misty hills behind the water.
    QPainterPath hills;
    hills.moveTo(0, 62);
    hills.cubicTo(20, 38, 38, 40, 55, 56);
    hills.cubicTo(70, 36, 95, 34, 120, 58);
    hills.lineTo(120, 70);
    hills.lineTo(0, 70);
    hills.closeSubpath();
    p.fillPath(hills, QColor(140, 170, 200, 180));

    QLinearGradient water(0, 66, 0, 100);
    water.setColorAt(0, QColor(120, 170, 215));
    water.setColorAt(1, Ink);
    p.fillRect(QRectF(0, 66, 120, 34), water);
    p.setPen(QPen(QColor(255, 255, 255, 120), 1));
    for (int y = 74; y < 100; y += 7)
        p.drawLine(QPointF(10 + (y % 3) * 6, y), QPointF(50 + (y % 3) * 10, y));

    drawBoat(p, QRectF(36, 36, 48, 40));
    drawRefreshRing(p, QRectF(88, 8, 22, 22), 3, Qt::white);
    return image;
}

QImage aboutIcon()
{
    QImage image(32, 32, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient disc(QPointF(12, 10), 22);
    disc.setColorAt(0, Mist);
    disc.setColorAt(1, Sky);
    p.setPen(QPen(Ink, 1.5));
    p.setBrush(disc);
    p.drawEllipse(QRectF(1.5, 1.5, 29, 29));
    drawBoat(p, QRectF(7, 5, 18, 19));
    p.setPen(QPen(Ink, 1.5));
    p.drawLine(QPointF(6, 25), QPointF(26, 25));
    return image;
}
} // namespace

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    bool ok = windowIcon().save(folder + QStringLiteral("/window-icon.png")) &&
              banner().save(folder + QStringLiteral("/banner.png")) &&
              aboutIcon().save(folder + QStringLiteral("/about-icon.png"));
    // The desktop menu's icon, in the sizes desktops look for in the hicolor icon theme.
    for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
        const QString dir = QStringLiteral("%1/icons/hicolor/%2x%2/apps").arg(folder).arg(size);
        ok = ok && QDir().mkpath(dir) && windowIcon(size).save(dir + QStringLiteral("/pagewell.png"));
    }
    return ok ? 0 : 1;
}
