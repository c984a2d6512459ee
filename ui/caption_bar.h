#pragma once

#include <QString>
#include <QWidget>

namespace sondrel {

// A list caption drawn as a bar in the palette's highlight colours, read at
// every paint so the bar follows a change of colour scheme.
class CaptionBar final : public QWidget {
public:
    CaptionBar(QString text, QWidget* parent = nullptr);

    const QString& text() const { return m_text; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_text;
};

}  // namespace sondrel
