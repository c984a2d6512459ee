#include "ui/dialog_units.h"

#include <QFontMetrics>
#include <QString>

namespace sondrel {
namespace {

int scaled(int units, int base, int divisor)
{
    return (units * base + divisor / 2) / divisor;
}

}  // namespace

DialogUnits::DialogUnits(const QFont& font)
{
    const QFontMetrics metrics(font);
    // The average over both alphabets, rounded, is what dialog templates were laid out against.
    const int alphabets = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_baseX = (alphabets / 26 + 1) / 2;
    m_baseY = metrics.height();
}

int DialogUnits::x(int units) const
{
    return scaled(units, m_baseX, 4);
}

int DialogUnits::y(int units) const
{
    return scaled(units, m_baseY, 8);
}

QRect DialogUnits::rect(int x, int y, int width, int height) const
{
    return QRect(this->x(x), this->y(y), this->x(width), this->y(height));
}

QSize DialogUnits::size(int width, int height) const
{
    return QSize(x(width), y(height));
}

}  // namespace sondrel
