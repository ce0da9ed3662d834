#include "EventLog.h"

#include "MenuTable.h"

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
    setMaximumBlockCount(kMaxLines);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    QFont f = font();
    f.setPointSize(10);
    setFont(f);
    m_format.setFontPointSize(10);
    setPlainText(QStringLiteral("ЛОГ- Событий."));
    m_menu = new QMenu(this);
    buildMenu(m_menu, {
        menuItem("clearLog", "Очистить", [this] { clearLog(); }),
    });
}

void EventLog::CText(const QString &text, const QColor &colour)
{
    m_format.setForeground(colour);
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    if (!m_empty)
        cursor.insertBlock();
    cursor.insertText(text, m_format);
    cursor.endEditBlock();
    m_empty = false;
    QScrollBar *bar = verticalScrollBar();
    bar->setValue(bar->maximum());
    m_file.append(text, colour.rgb() & 0xFFFFFF);
}

void EventLog::clearLog()
{
    clear();
    m_empty = true;
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
