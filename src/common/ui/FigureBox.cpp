#include "common/ui/FigureBox.h"

#include <QColor>
#include <QEvent>
#include <QFont>
#include <QFontMetricsF>
#include <QStyle>
#include <QStyleOptionFrame>

#include <algorithm>
#include <cmath>

namespace dozorix {

int widestFigureWidth(const QFont &font, const QStringList &figures)
{
    const QFontMetricsF fm(font);
    QChar digit = QLatin1Char('0');
    for (char d = '1'; d <= '9'; ++d) {
        if (fm.horizontalAdvance(QLatin1Char(d)) > fm.horizontalAdvance(digit))
            digit = QLatin1Char(d);
    }
    qreal widest = 0;
    for (QString figure : figures)
        widest = std::max(widest, fm.horizontalAdvance(figure.replace(QLatin1Char('9'), digit)));
    return static_cast<int>(std::ceil(widest));
}

FigureBox::FigureBox(QStringList longest)
    : QLineEdit(QStringLiteral("0"))
    , m_longest(std::move(longest))
{
    setReadOnly(true);
    fitMaximum();
}

void FigureBox::setTextColour(const QColor &colour)
{
    QPalette pal = palette();
    pal.setColor(QPalette::Text, colour);
    setPalette(pal);
}

QSize FigureBox::minimumSizeHint() const
{
    QSize size = QLineEdit::minimumSizeHint();
    size.setWidth(std::max(size.width(), figureWidth()));
    return size;
}

void FigureBox::changeEvent(QEvent *event)
{
    QLineEdit::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        fitMaximum();
}

// A line edit scrolls its text unless the text and one pixel more fit between
// its inner margins of 2 pixels on each side, inside the text margins and the
// style's frame.
int FigureBox::figureWidth() const
{
    const QFontMetrics fm(font());
    const QMargins text = textMargins();
    const QMargins contents = contentsMargins();
    const int inner = widestFigureWidth(font(), m_longest) + 1 + 2 * 2 + text.left() + text.right() + contents.left()
        + contents.right();
    QStyleOptionFrame option;
    initStyleOption(&option);
    return style()->sizeFromContents(QStyle::CT_LineEdit, &option, QSize(inner, fm.height()), this).width();
}

void FigureBox::fitMaximum()
{
    setMaximumWidth(std::max(kDesignMaximum, figureWidth()));
}

} // namespace dozorix
