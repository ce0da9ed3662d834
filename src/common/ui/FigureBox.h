#pragma once
// The read-only boxes that show one figure (a load, a size, a count): each
// is as wide as the longest figure it can show needs under its font, so
// that no digit is scrolled away, and 90 pixels at most otherwise.

#include <QLineEdit>
#include <QStringList>

class QColor;
class QFont;

namespace dozorix {

// The width in whole pixels of the widest of some figures under a font, each
// '9' standing for any digit (measured as the font's widest one). Text is
// laid out at fractional widths: a part of a pixel needs a whole one.
int widestFigureWidth(const QFont &font, const QStringList &figures);

class FigureBox : public QLineEdit
{
public:
    // longest: the longest figures the box shows ('9' for any digit); it
    // starts with "0".
    explicit FigureBox(QStringList longest);

    void setTextColour(const QColor &colour);
    QSize minimumSizeHint() const override;

protected:
    void changeEvent(QEvent *event) override;

private:
    static constexpr int kDesignMaximum = 90;

    // The box's width for its longest figure.
    int figureWidth() const;
    void fitMaximum();

    QStringList m_longest;
};

} // namespace dozorix
