#include "app/ui/TForm4.h"

#include "common/AppInfo.h"
#include "common/TimeScale.h"

#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QVBoxLayout>

#include <cmath>

namespace dozorix {

namespace {
constexpr qint64 kSplashMs = 3000;
}

BusyIndicator::BusyIndicator(QWidget *parent)
    : QWidget(parent)
{
    setFixedSize(64, 64);
    m_timer.setInterval(80);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_frame = (m_frame + 1) % 12;
        update();
    });
}

void BusyIndicator::start()
{
    m_timer.start();
}

void BusyIndicator::stop()
{
    m_timer.stop();
}

void BusyIndicator::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(width() / 2.0, height() / 2.0);
    for (int i = 0; i < 12; ++i) {
        const int age = (m_frame - i + 12) % 12;
        QColor c(0x2F, 0x8F, 0x8F);
        c.setAlphaF(1.0 - age / 13.0);
        p.setBrush(c);
        p.setPen(Qt::NoPen);
        const double angle = i * 2 * M_PI / 12;
        p.drawEllipse(QPointF(22 * std::cos(angle), 22 * std::sin(angle)), 4, 4);
    }
}

TForm4::TForm4(QWidget *parent)
    : QDialog(parent)
{
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setWindowTitle(windowTitleText()); // borderless, but a task bar shows it
    setFixedSize(553, 131);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);

    QFont big(QStringLiteral("Verdana"));
    big.setPixelSize(24);
    m_name = new QLabel(this);
    m_name->setFont(big);
    auto *frame = new QFrame(this);
    frame->setFrameShape(QFrame::StyledPanel);
    m_panel = new QLabel(frame);
    m_panel->setFont(big);
    auto *frameLayout = new QHBoxLayout(frame);
    frameLayout->setContentsMargins(6, 2, 6, 2);
    frameLayout->addWidget(m_panel);
    m_busy = new BusyIndicator(this);

    auto *left = new QVBoxLayout();
    left->setSpacing(6);
    left->addWidget(m_name);
    left->addWidget(frame);
    left->addStretch();
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(12, 8, 12, 20); // the lowest 20 pixels are cut off
    layout->addLayout(left, 1);
    layout->addWidget(m_busy, 0, Qt::AlignTop);

    if (QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->geometry().center() - rect().center());

    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &TForm4::onTimer);

    m_name->setText(kAppTitle + QLatin1Char(' ') + kVersionText);
    m_busy->start();
}

QString TForm4::statusText() const
{
    return PARAMBACK.isEmpty() ? QStringLiteral("Запуск программы...") : QStringLiteral("Готовлю \"бэкап\" ИБ...");
}

void TForm4::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    // The splash is active as soon as it shows: it is the program's only
    // visible window at that moment.
    if (!m_activated)
        QTimer::singleShot(0, this, &TForm4::onBecameActive);
}

void TForm4::onBecameActive()
{
    if (m_activated)
        return;
    m_activated = true;
    m_timer.start(scaledMs(kSplashMs));
    m_panel->setText(statusText());
    emit activated();
}

void TForm4::onTimer()
{
    m_panel->setText(statusText());
    accept();
}

void TForm4::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event);
    // Rounded corners (radius 3), the lowest 20 pixels cut off.
    QPainterPath path;
    path.addRoundedRect(QRectF(0, 0, width(), height() - 20), 3, 3);
    setMask(QRegion(path.toFillPolygon().toPolygon()));
}

void TForm4::done(int result)
{
    m_timer.stop();
    m_busy->stop();
    emit closing();
    QDialog::done(result);
}

} // namespace dozorix
