#include "app/ui/TForm4.h"

#include "app/ScheduledStart.h"
#include "app/ui/TForm1.h"
#include "backup/BackupExitCodes.h"
#include "common/AppInfo.h"
#include "common/IniFile.h"
#include "common/ProgramDir.h"
#include "common/SettingsExposure.h"
#include "common/Stamps.h"
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

TForm4::TForm4(TForm1 *main, const QString &firstParameter, QWidget *parent)
    : QDialog(parent)
    , m_main(main)
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

    // Creation step.
    m_name->setText(kAppTitle + QLatin1Char(' ') + kVersionText);
    checkStartParameter(firstParameter);
    if (TForm1::shutdownRequested())
        return; // the program is ending: no start line for a program that does not start
    m_busy->start();
    if (m_main) {
        m_main->eventLog()->clearLog();
        CText(LogStamp() + QStringLiteral("Программа Dozorix успешно стартовала. "), kBlack);
        const QString exposed = settingsExposureWarning();
        if (!exposed.isEmpty())
            CText(LogStamp() + exposed, kRed);
    }
    // After the log was cleared, so that a failed write stays in it.
    if (settingsFileExists()) {
        IniFile ini(settingsFilePath());
        ini.writeBool(QStringLiteral("settings"), QStringLiteral("FirstStart"), true);
        saveSettingsFile(ini);
    }
}

void TForm4::CText(const QString &text, const QColor &colour)
{
    if (m_main)
        m_main->CText(text, colour);
}

void TForm4::checkStartParameter(const QString &parameter)
{
    const int profile = scheduledBackupProfile(parameter);
    if (profile == 0)
        return;
    // Nothing to back up by: the run fails loudly (the log, standard error,
    // its exit status) instead of ending as if all went well.
    QString missing;
    if (!settingsFileExists())
        missing = QStringLiteral("файл настроек %1 не найден").arg(settingsFilePath());
    else if (profileAlias(profile).isEmpty())
        missing = QStringLiteral("профиль %1 не настроен (у него нет имени) в файле %2").arg(profile).arg(settingsFilePath());
    if (!missing.isEmpty()) {
        if (m_main) {
            m_main->CText(LogStamp() + QStringLiteral("Ночной «бэкап» не выполнен: ") + missing, kRed);
            m_main->endScheduledRun(backupExitCode(BackupExit::NoSettings), missing);
        } else {
            ShutdownProgram();
        }
        return;
    }
    if (m_main)
        m_main->armScheduledBackup();
    PARAMBACK = parameter;
    writeStartParameter(parameter);
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
    if (m_main)
        m_main->startSamplingTimers();
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
    if (m_main)
        m_main->setScheduledBackupDelayAfterSplash();
    QDialog::done(result);
}

} // namespace dozorix
