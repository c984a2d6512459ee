#include "ui/hyperlink.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEnterEvent>
#include <QFileInfo>
#include <QFontMetrics>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPalette>
#include <QPointer>

#include "ui/hyperlink_error.h"
#include "ui/window_modal.h"

namespace sondrel {
namespace {

// The error box is captioned with the program's name: its executable's file name without extension.
QString programName()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

// Moves both edges inwards by half the difference (outwards when negative),
// truncating towards zero as the integer division does.
void centreSpan(int& start, int& length, int wanted)
{
    const int half = (length - wanted) / 2;
    start += half;
    length -= 2 * half;
}

}  // namespace

QRect fitRectToText(const QRect& rect, QSize textSize, Qt::Alignment alignment)
{
    int left = rect.x();
    int top = rect.y();
    int width = rect.width();
    int height = rect.height();

    if (alignment & Qt::AlignVCenter) {
        centreSpan(top, height, textSize.height());
    } else {
        height = textSize.height();
    }

    if (alignment & Qt::AlignHCenter) {
        centreSpan(left, width, textSize.width());
    } else if (alignment & Qt::AlignRight) {
        left = left + width - textSize.width();
        width = textSize.width();
    } else {
        width = textSize.width();
    }
    return QRect(left, top, width, height);
}

CHyperLink::CHyperLink(QWidget* parent)
    : QLabel(parent),
      m_hoverColour(QApplication::palette().color(QPalette::Active, QPalette::Highlight)),
      m_opener(openWithDesktop)
{
    // A plain static text: top-left unless the owner asks otherwise.
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setMargin(0);
    setIndent(0);
    setTextFormat(Qt::PlainText);
}

void CHyperLink::bind()
{
    if (m_url.isEmpty()) {
        m_url = text();
    }
    if (text().isEmpty()) {
        setText(m_url);
    }
    m_linkFont = font();
    m_linkFont.setUnderline(m_underline);
    setFont(m_linkFont);
    m_bound = true;
    fitToText();
    setCursor(Qt::PointingHandCursor);
    setToolTip(m_url);
    showCurrentColour();
}

void CHyperLink::SetLinkTarget(const QString& target)
{
    m_url = target;
    if (m_bound) {
        fitToText();
        setToolTip(m_url);
    }
}

void CHyperLink::setOpener(LinkOpener opener)
{
    m_opener = std::move(opener);
}

QColor CHyperLink::textColour() const
{
    if (m_isOver) {
        return m_hoverColour;
    }
    return m_isVisited ? m_visitedColour : m_linkColour;
}

void CHyperLink::fitToText()
{
    if (!m_bound || !m_adjustToFit) {
        return;
    }
    const QFontMetrics metrics(m_linkFont);
    const QSize textSize(metrics.horizontalAdvance(text()), metrics.height());
    setGeometry(fitRectToText(geometry(), textSize, alignment()));
}

void CHyperLink::showCurrentColour()
{
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, textColour());
    setPalette(colours);
    // The change must show before the pointer moves on, not at the next idle paint.
    repaint();
}

void CHyperLink::setOver(bool over)
{
    if (m_isOver == over) {
        return;
    }
    m_isOver = over;
    showCurrentColour();
}

void CHyperLink::enterEvent(QEnterEvent* event)
{
    QLabel::enterEvent(event);
    setOver(true);
}

void CHyperLink::leaveEvent(QEvent* event)
{
    QLabel::leaveEvent(event);
    setOver(false);
}

void CHyperLink::mouseMoveEvent(QMouseEvent* event)
{
    QLabel::mouseMoveEvent(event);
    // While a button is held the label keeps the pointer grabbed and sees no leave.
    if (m_isOver && !rect().contains(event->position().toPoint())) {
        setOver(false);
    }
}

void CHyperLink::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        event->accept();
        return;
    }
    QLabel::mousePressEvent(event);
}

void CHyperLink::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        event->accept();
        followLink();
        return;
    }
    QLabel::mouseReleaseEvent(event);
}

void CHyperLink::followLink()
{
    if (!m_opener) {
        showOpenResult(kOpenNoAssociation);
        return;
    }
    // The dialog may be closed before the desktop answers.
    m_opener(m_url, [link = QPointer<CHyperLink>(this)](std::optional<int> failure) {
        if (link) {
            link->showOpenResult(failure);
        }
    });
}

void CHyperLink::showOpenResult(std::optional<int> failure)
{
    m_isVisited = !failure.has_value();
    if (!failure) {
        showCurrentColour();
        return;
    }
    QApplication::beep();
    ReportOpenError(*failure);
    showCurrentColour();
}

void CHyperLink::ReportOpenError(int code)
{
    showOpenErrorBox(window(), code);
}

void showOpenErrorBox(QWidget* owner, int code)
{
    showWindowModalBox(owner, QMessageBox::Warning, programName(), openErrorMessage(code));
}

}  // namespace sondrel
