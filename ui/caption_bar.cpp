#include "ui/caption_bar.h"

#include <QPainter>

namespace sondrel {

namespace {
constexpr int kTextIndent = 2;
}

CaptionBar::CaptionBar(QString text, QWidget* parent) : QWidget(parent), m_text(std::move(text)) {
    setAccessibleName(m_text);
}

QSize CaptionBar::sizeHint() const {
    return {fontMetrics().horizontalAdvance(m_text) + 2 * kTextIndent, fontMetrics().height()};
}

void CaptionBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().brush(QPalette::Highlight));
    painter.setPen(palette().color(QPalette::HighlightedText));
    painter.drawText(rect().adjusted(kTextIndent, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, m_text);
}

}  // namespace sondrel
