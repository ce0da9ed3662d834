#pragma once
// The event log panel: a read-only coloured log across the bottom of the
// main window. CText appends one line (font size 10) and scrolls to it, and
// mirrors it to Dozorix.log. The panel keeps the newest lines, at most
// kMaxLines of them and at most kMaxChars characters together, so that
// memory stays bounded over a long run however long the lines are; the file
// keeps the history (see LogFileWriter). A problem with the file is said
// once, in red, in the panel itself.

#include "app/LogFileWriter.h"

#include <QColor>
#include <QPlainTextEdit>
#include <QTextCharFormat>

#include <deque>

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
    // Long lines (an agent's 4 KB text) meet this cap long before the line
    // cap: a few megabytes of text whatever comes in. Past it the oldest
    // lines go in one batch, down to 1/16 below the cap, so that the panel
    // does not reshuffle its start at every new line.
    static constexpr qsizetype kMaxChars = 4000000;

    explicit EventLog(QWidget *parent = nullptr);

    void CText(const QString &text, const QColor &colour);
    // Empties the panel (the file keeps its lines).
    void clearLog();
    // Lines currently in the panel, and the characters of their texts.
    int lineCount() const;
    qsizetype charCount() const { return m_chars; }
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
    void dropOldestLines();

    LogFileWriter m_file;
    QMenu *m_menu = nullptr;
    QTextCharFormat m_format;
    bool m_empty = false;
    struct Entry {
        qsizetype chars; // characters of one CText text
        int blocks;      // the panel lines it took (a text may hold line breaks)
    };
    std::deque<Entry> m_entries; // oldest first
    qsizetype m_chars = 0;
    int m_blocks = 0;
};

} // namespace dozorix
