#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace sondrel {

// Places controls the way a dialog template does: positions in dialog units,
// a quarter of the font's average character width across and an eighth of its
// height down, so a dialog keeps its proportions under any font or scaling.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);

    int x(int units) const;
    int y(int units) const;
    QRect rect(int x, int y, int width, int height) const;
    QSize size(int width, int height) const;

private:
    int m_baseX;
    int m_baseY;
};

}  // namespace sondrel
