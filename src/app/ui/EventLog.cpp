#include "app/ui/EventLog.h"

#include "common/Stamps.h"
#include "common/ui/MenuTable.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace dozorix {

EventLog::EventLog(QWidget *parent)
    : QPlainTextEdit(parent)
{
    setReadOnly(true);
    setUndoRedoEnabled(false);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    QFont f = font();
    f.setPointSize(10);
    setFont(f);
    m_format.setFontPointSize(10);
    const QString first = QStringLiteral("ЛОГ- Событий.");
    setPlainText(first);
    m_entries.push_back({first.size(), 1});
    m_chars = first.size();
    m_blocks = 1;
    m_menu = new QMenu(this);
    buildMenu(m_menu, {
        menuItem("clearLog", "Очистить", [this] { clearLog(); }),
    });
}

void EventLog::CText(const QString &text, const QColor &colour)
{
    m_format.setForeground(colour);
    const int blocksBefore = m_empty ? 0 : document()->blockCount();
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    if (!m_empty)
        cursor.insertBlock();
    cursor.insertText(text, m_format);
    cursor.endEditBlock();
    m_empty = false;
    const int blocks = document()->blockCount() - blocksBefore;
    m_entries.push_back({text.size(), blocks});
    m_chars += text.size();
    m_blocks += blocks;
    dropOldestLines();
    QScrollBar *bar = verticalScrollBar();
    bar->setValue(bar->maximum());
    m_file.append(text, colour.rgb() & 0xFFFFFF);
    const QString problem = m_file.takeProblem();
    if (!problem.isEmpty())
        CText(LogStamp() + problem, kRed);
}

void EventLog::dropOldestLines()
{
    if (m_blocks <= kMaxLines && m_chars <= kMaxChars)
        return;
    const qsizetype keepChars = m_chars > kMaxChars ? kMaxChars - kMaxChars / 16 : kMaxChars;
    size_t drop = 0;
    qsizetype chars = m_chars;
    int blocks = m_blocks;
    while (m_entries.size() - drop > 1 && (blocks > kMaxLines || chars > keepChars)) {
        chars -= m_entries[drop].chars;
        blocks -= m_entries[drop].blocks;
        ++drop;
    }
    if (drop == 0)
        return;
    // One edit for all of them, from the start to the first line kept.
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::Start);
    cursor.setPosition(document()->findBlockByNumber(m_blocks - blocks).position(), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    m_entries.erase(m_entries.begin(), m_entries.begin() + static_cast<std::ptrdiff_t>(drop));
    m_chars = chars;
    m_blocks = blocks;
}

void EventLog::clearLog()
{
    clear();
    m_empty = true;
    m_entries.clear();
    m_chars = 0;
    m_blocks = 0;
}

int EventLog::lineCount() const
{
    return m_empty ? 0 : document()->blockCount();
}

QString EventLog::lineText(int index) const
{
    return document()->findBlockByNumber(index).text();
}

QColor EventLog::lineColour(int index) const
{
    const QTextBlock block = document()->findBlockByNumber(index);
    for (auto it = block.begin(); !it.atEnd(); ++it) {
        const QTextFragment fragment = it.fragment();
        if (fragment.isValid())
            return fragment.charFormat().foreground().color();
    }
    return {};
}

void EventLog::moveCaretToEnd()
{
    QTextCursor cursor = textCursor();
    cursor.movePosition(QTextCursor::End);
    setTextCursor(cursor);
    ensureCursorVisible();
    setCursorWidth(0); // the caret stays hidden: the log is read-only
}

void EventLog::mousePressEvent(QMouseEvent *event)
{
    QPlainTextEdit::mousePressEvent(event);
    moveCaretToEnd();
}

void EventLog::mouseReleaseEvent(QMouseEvent *event)
{
    QPlainTextEdit::mouseReleaseEvent(event);
    moveCaretToEnd();
}

void EventLog::contextMenuEvent(QContextMenuEvent *event)
{
    m_menu->exec(event->globalPos());
}

} // namespace dozorix
