#pragma once
// The event log panel: a read-only coloured log across the bottom of the
// main window. CText appends one line (font size 10) and scrolls to it, and
// mirrors it to Dozorix.log. The panel keeps the newest kMaxLines lines so
// that memory stays bounded over a long run; the file keeps every line.

#include "LogFileWriter.h"

#include <QColor>
#include <QPlainTextEdit>
#include <QTextCharFormat>

class QMenu;

namespace dozorix {

inline const QColor kGreen{0x00, 0x80, 0x00};
inline const QColor kRed{0xFF, 0x00, 0x00};
inline const QColor kBlack{0x00, 0x00, 0x00};

class EventLog : public QPlainTextEdit
{
    Q_OBJECT
public:
    static constexpr int kMaxLines = 100000;

    explicit EventLog(QWidget *parent = nullptr);

    void CText(const QString &text, const QColor &colour);
    // Empties the panel (the file keeps its lines).
    void clearLog();
    // Lines currently in the panel.
    int lineCount() const;
    QString lineText(int index) const;
    QColor lineColour(int index) const;

    LogFileWriter &file() { return m_file; }
    // The context menu: "Очистить" (clearLog).
    QMenu *popupMenu() const { return m_menu; }

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    void moveCaretToEnd();

    LogFileWriter m_file;
    QMenu *m_menu = nullptr;
    QTextCharFormat m_format;
    bool m_empty = false;
};

} // namespace dozorix
