#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QRect>
#include <QSize>
#include <QString>

#include "ui/link_opener.h"

namespace sondrel {

// Where a label of the given rectangle goes when it is shrunk or grown to its
// text. Vertical centring moves top and bottom by half the height difference
// (truncated, so an odd difference leaves one pixel over); horizontal centring
// does the same across; right alignment keeps the right edge; otherwise the
// left and top edges stay and the size becomes the text's.
QRect fitRectToText(const QRect& rect, QSize textSize, Qt::Alignment alignment);

// The error box of a failed open, owned by `owner`: "Unable to open
// hyperlink:\n\n" and the reason, captioned with the program's name.
void showOpenErrorBox(QWidget* owner, int code);

// A label that acts as a link: underlined, in link colours, with a hand
// cursor and a tooltip naming its target, opened through the desktop on a click.
class CHyperLink : public QLabel {
    Q_OBJECT
public:
    explicit CHyperLink(QWidget* parent = nullptr);

    // Takes over the label as its owner placed it (text, geometry, alignment):
    // a missing target is taken from the text and a missing text from the
    // target, then the font is underlined, the size fitted and the tooltip set.
    void bind();

    // Replaces the target; once bound, also refits the size and the tooltip. The text stays.
    void SetLinkTarget(const QString& target);

    // Beeps are the caller's; this shows the error box for a reason code.
    void ReportOpenError(int code);

    // Opens the target as a click does. Returns at once; the colour changes
    // (or the error box comes) when the desktop's verdict arrives.
    void followLink();

    void setOpener(LinkOpener opener);

    const QString& url() const { return m_url; }
    bool isOver() const { return m_isOver; }
    bool isVisited() const { return m_isVisited; }
    bool isBound() const { return m_bound; }
    QColor linkColour() const { return m_linkColour; }
    QColor visitedColour() const { return m_visitedColour; }
    QColor hoverColour() const { return m_hoverColour; }
    // The colour the text is drawn in now.
    QColor textColour() const;

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void fitToText();
    void showOpenResult(std::optional<int> failure);
    void showCurrentColour();
    void setOver(bool over);

    const QColor m_linkColour{0, 0, 238};
    const QColor m_visitedColour{85, 26, 139};
    const QColor m_hoverColour;
    bool m_isOver = false;
    bool m_isVisited = false;
    const bool m_underline = true;
    const bool m_adjustToFit = true;
    QString m_url;
    QFont m_linkFont;
    bool m_bound = false;
    LinkOpener m_opener;
};

}  // namespace sondrel
