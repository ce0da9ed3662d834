#include "screen/ui/ScreenWindow.h"

#include "common/AppInfo.h"
#include "common/IniFile.h"
#include "common/ProgramDir.h"
#include "common/ui/WindowPlacement.h"

#include <QApplication>
#include <QComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace dozorix {

void ScreenPictureView::setPicture(const ScreenPicture &picture)
{
    if (picture.isEmpty()) {
        clear();
        return;
    }
    m_pixels = picture.pixels;
    m_image = QImage(reinterpret_cast<const uchar *>(m_pixels.constData()), picture.width, picture.height,
                     picture.width * 4, QImage::Format_RGB32);
    if (size() != m_image.size())
        resize(m_image.size());
    update();
}

void ScreenPictureView::clear()
{
    m_image = QImage();
    m_pixels = QByteArray();
    resize(0, 0);
    update();
}

void ScreenPictureView::paintEvent(QPaintEvent *event)
{
    if (m_image.isNull())
        return;
    QPainter p(this);
    p.drawImage(event->rect(), m_image, event->rect());
}

ScreenWindow::ScreenWindow(Kind kind, Hooks hooks, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_kind(kind)
    , m_hooks(std::move(hooks))
{
    setObjectName(kind == Kind::Control ? QStringLiteral("TForm11") : QStringLiteral("TForm50"));
    setWindowTitle(windowTitleText());
    m_link = new ScreenLink(this);

    auto *layout = new QVBoxLayout(this);
    m_bar = new QWidget(this);
    m_bar->setObjectName(QStringLiteral("topBar"));
    auto *bar = new QHBoxLayout(m_bar);
    bar->setContentsMargins(0, 0, 0, 0);
    m_connect = new QPushButton(QStringLiteral("Подключится"), m_bar);
    m_connect->setObjectName(QStringLiteral("connectButton"));
    m_disconnect = new QPushButton(QStringLiteral("Отключить"), m_bar);
    m_disconnect->setObjectName(QStringLiteral("disconnectButton"));
    auto *hostLabel = new QLabel(QStringLiteral("Хост"), m_bar);
    m_host = new QLineEdit(QStringLiteral("127.0.0.1"), m_bar);
    m_host->setObjectName(QStringLiteral("hostBox"));
    m_combinationLabel = new QLabel(QStringLiteral("Комбинация клавиш"), m_bar);
    m_combinations = new QComboBox(m_bar);
    m_combinations->setObjectName(QStringLiteral("combinationList"));
    m_send = new QPushButton(QStringLiteral("Отправить"), m_bar);
    m_send->setObjectName(QStringLiteral("sendButton"));
    for (QWidget *w : {static_cast<QWidget *>(m_connect), static_cast<QWidget *>(m_disconnect),
                       static_cast<QWidget *>(hostLabel), static_cast<QWidget *>(m_host),
                       static_cast<QWidget *>(m_combinationLabel), static_cast<QWidget *>(m_combinations),
                       static_cast<QWidget *>(m_send)})
        bar->addWidget(w);
    bar->addStretch(1);
    if (kind == Kind::Control) {
        for (const char *caption : kCombinationCaptions)
            m_combinations->addItem(QString::fromLatin1(caption));
        m_combinations->setCurrentIndex(-1); // no item is chosen
    } else {
        m_combinationLabel->hide();
        m_combinations->hide();
        m_send->hide();
    }
    layout->addWidget(m_bar);

    m_area = new QScrollArea(this);
    m_area->setObjectName(QStringLiteral("pictureArea"));
    m_area->setWidgetResizable(false);
    m_area->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_view = new ScreenPictureView;
    m_view->setObjectName(QStringLiteral("picture"));
    m_view->setMouseTracking(true);
    m_view->setAttribute(Qt::WA_OpaquePaintEvent); // every pixel is the picture's: nothing to paint under it
    m_area->setWidget(m_view);
    m_area->hide();
    layout->addWidget(m_area, 1);
    resize(800, 600);

    connect(m_connect, &QPushButton::clicked, this, &ScreenWindow::connectClicked);
    connect(m_disconnect, &QPushButton::clicked, this, &ScreenWindow::disconnectClicked);
    connect(m_send, &QPushButton::clicked, this, &ScreenWindow::sendClicked);
    connect(m_link, &ScreenLink::pictureChanged, this, &ScreenWindow::showPicture);
    connect(m_link, &ScreenLink::pictureFailed, this, &ScreenWindow::clearPicture);
    connect(m_link, &ScreenLink::disconnected, this, [this] {
        m_area->hide();
        clearPicture();
    });
    // Key preview: the window sees every key before its controls.
    qApp->installEventFilter(this);
}

ScreenWindow::~ScreenWindow()
{
    qApp->removeEventFilter(this);
}

bool ScreenWindow::readPort(quint16 *port, QString *text) const
{
    const IniFile ini(settingsFilePath());
    *text = ini.readString(QStringLiteral("settings"), QStringLiteral("Port2"), QString());
    int value = 0;
    if (!IniFile::parseInteger(*text, &value) || value < 0 || value > 65535)
        return false;
    *port = static_cast<quint16>(value);
    return true;
}

void ScreenWindow::connectClicked()
{
    m_host->setEnabled(false);
    quint16 port = 0;
    QString text;
    if (!readPort(&port, &text))
        return; // fails silently; the activation has said why
    m_port = port;
    m_area->show();
    m_link->connectToAgent(m_host->text().trimmed(), m_port);
}

void ScreenWindow::disconnectClicked()
{
    m_host->setEnabled(true);
    clearPicture();
    m_link->disconnectFromAgent();
    m_area->hide();
}

void ScreenWindow::sendClicked()
{
    const QString line = combinationLine(m_combinations->currentIndex());
    if (!line.isEmpty())
        m_link->sendLine(line);
}

void ScreenWindow::showEvent(QShowEvent *event)
{
    m_portErrorShown = false;
    if (m_hooks.sendHost)
        m_host->setText(m_hooks.sendHost());
    QWidget::showEvent(event);
}

void ScreenWindow::hideEvent(QHideEvent *event)
{
    m_keys.clear();
    QWidget::hideEvent(event);
}

void ScreenWindow::closeEvent(QCloseEvent *event)
{
    disconnectClicked();
    QWidget::closeEvent(event);
}

void ScreenWindow::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::ActivationChange) {
        if (isActiveWindow()) {
            if (m_activationDone)
                m_activationDone = false; // opened: its activation step has run already
            else
                onActivated();
        }
        else
            m_keys.clear(); // key releases go to another window now
    }
    QWidget::changeEvent(event);
}

void ScreenWindow::activateNow()
{
    if (isActiveWindow())
        return;
    onActivated();
    m_activationDone = true;
}

void ScreenWindow::onActivated()
{
    setWindowTitle(windowTitleText());
    m_host->setEnabled(true);
    quint16 port = 0;
    QString text;
    if (readPort(&port, &text)) {
        m_port = port;
    } else if (!m_portErrorShown) {
        // Said once per showing: the box gives the activation back to this
        // window when it closes, and another box then would never end.
        m_portErrorShown = true;
        auto *box = new QMessageBox(QMessageBox::Critical, kAppTitle,
                                    QStringLiteral("'%1' is not a valid integer value").arg(text),
                                    QMessageBox::Ok, this);
        box->setObjectName(QStringLiteral("portError"));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    }
    if (m_kind == Kind::Control)
        m_combinations->setFocus(Qt::OtherFocusReason);
}

void ScreenWindow::showPicture()
{
    m_view->setPicture(m_link->picture());
}

void ScreenWindow::clearPicture()
{
    m_view->clear();
}

void ScreenWindow::forwardKey(QKeyEvent *event)
{
    const int vk = virtualKeyOf(event->nativeScanCode(), event->key());
    const QString line = event->type() == QEvent::KeyPress ? m_keys.press(vk)
                                                           : m_keys.release(vk, event->isAutoRepeat());
    if (!line.isEmpty())
        m_link->sendLine(line); // dropped when not connected
}

bool ScreenWindow::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if ((type == QEvent::KeyPress || type == QEvent::KeyRelease) && watched->isWidgetType()) {
        // Once per key: where it is delivered first (the focused control, or
        // the window itself when no control of it has the focus). The key
        // goes on to the control.
        auto *widget = static_cast<QWidget *>(watched);
        const QWidget *first = focusWidget() ? focusWidget() : this;
        if (widget == first)
            forwardKey(static_cast<QKeyEvent *>(event));
        return false;
    }
    if (watched == m_view && m_kind == Kind::Control) {
        if (type == QEvent::MouseMove) {
            const QPoint p = static_cast<QMouseEvent *>(event)->position().toPoint();
            m_link->sendLine(mouseLine(MouseLine::Move, p.x(), p.y()));
        } else if (type == QEvent::MouseButtonPress) {
            const auto *me = static_cast<QMouseEvent *>(event);
            if (me->button() == Qt::LeftButton)
                m_link->sendLine(mouseLine(MouseLine::LeftDown, me->position().toPoint().x(), me->position().toPoint().y()));
        } else if (type == QEvent::MouseButtonDblClick) {
            // The second click of a double click: its press line, as any press.
            const auto *me = static_cast<QMouseEvent *>(event);
            if (me->button() == Qt::LeftButton)
                m_link->sendLine(mouseLine(MouseLine::LeftDown, me->position().toPoint().x(), me->position().toPoint().y()));
        } else if (type == QEvent::MouseButtonRelease) {
            const auto *me = static_cast<QMouseEvent *>(event);
            m_combinations->setFocus(Qt::MouseFocusReason);
            const QPoint p = me->position().toPoint();
            if (me->button() == Qt::LeftButton)
                m_link->sendLine(mouseLine(MouseLine::LeftUp, p.x(), p.y()));
            else if (me->button() == Qt::RightButton)
                m_link->sendLine(mouseLine(MouseLine::RightUp, p.x(), p.y()));
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace dozorix
