#include "backup/ui/TForm8.h"

#include "backup/BackupRunner.h"
#include "common/AppInfo.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

namespace dozorix {

TForm8::TForm8(BackupRunner *runner, Hooks hooks, QWidget *parent)
    : QDialog(parent)
    , m_runner(runner)
    , m_hooks(std::move(hooks))
{
    setObjectName(QStringLiteral("TForm8"));
    setWindowTitle(windowTitleText());
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->setSpacing(4);

    auto *row = new QHBoxLayout;
    m_profiles = new QComboBox(this);
    m_profiles->setObjectName(QStringLiteral("BackupProfiles"));
    m_profiles->setEditable(false);
    m_profiles->setMinimumContentsLength(24);
    m_start = new QPushButton(this);
    m_start->setObjectName(QStringLiteral("StartBackup"));
    m_start->setAutoDefault(false);
    m_cancel = new QPushButton(QStringLiteral("Прервать выполнение"), this);
    m_cancel->setObjectName(QStringLiteral("CancelBackup"));
    m_cancel->setToolTip(QStringLiteral("Прервать выполнение"));
    m_cancel->setAutoDefault(false);
    m_toTray = new QToolButton(this);
    m_toTray->setIcon(style()->standardIcon(QStyle::SP_TitleBarMinButton));
    m_toTray->setToolTip(QStringLiteral("Свернуть в трей"));
    m_maximise = new QToolButton(this);
    m_maximise->setIcon(style()->standardIcon(QStyle::SP_TitleBarMaxButton));
    m_maximise->setToolTip(QStringLiteral("Развернуть на весь экран"));
    row->addWidget(m_profiles, 1);
    row->addWidget(m_start);
    row->addWidget(m_cancel);
    row->addWidget(m_toTray);
    row->addWidget(m_maximise);
    layout->addLayout(row);

    auto *bars = new QHBoxLayout;
    m_mainBar = new QProgressBar(this);
    m_mainBar->setObjectName(QStringLiteral("MainProgress"));
    m_animation = new QProgressBar(this); // a busy bar while the run is prepared
    m_animation->setObjectName(QStringLiteral("PreparingAnimation"));
    m_animation->setRange(0, 0);
    m_animation->setMaximumWidth(70);
    bars->addWidget(m_mainBar);
    bars->addWidget(m_animation);
    bars->addStretch();
    layout->addLayout(bars);
    m_secondBar = new QProgressBar(this);
    m_secondBar->setObjectName(QStringLiteral("SecondProgress"));
    m_secondBar->setRange(0, 100);
    layout->addWidget(m_secondBar);
    m_progress = new QLabel(this);
    m_progress->setObjectName(QStringLiteral("ProgressText"));
    m_progress->setTextFormat(Qt::PlainText);
    layout->addWidget(m_progress);
    layout->addStretch();

    connect(m_profiles, &QComboBox::textActivated, this, [this](const QString &alias) {
        if (!m_rendering)
            m_runner->chooseProfile(alias);
    });
    connect(m_start, &QPushButton::clicked, this, [this] { m_runner->StartBtnClick(); });
    connect(m_cancel, &QPushButton::clicked, this, [this] { m_runner->Button3Click(); });
    connect(m_toTray, &QToolButton::clicked, this, [this] {
        if (m_hooks.minimiseMainToTray)
            m_hooks.minimiseMainToTray();
    });
    connect(m_maximise, &QToolButton::clicked, this, [this] {
        if (m_hooks.maximiseMain)
            m_hooks.maximiseMain();
    });
    connect(m_runner, &BackupRunner::viewChanged, this, &TForm8::render);
    render();
}

void TForm8::openModal()
{
    exec();
}

void TForm8::render()
{
    const BackupRunner::View &v = m_runner->view();
    m_rendering = true;
    const QString chosen = m_runner->chosenProfile();
    QStringList items;
    for (int i = 0; i < m_profiles->count(); ++i)
        items << m_profiles->itemText(i);
    if (items != v.profiles) {
        m_profiles->clear();
        m_profiles->addItems(v.profiles);
    }
    m_profiles->setCurrentIndex(chosen.isEmpty() ? -1 : m_profiles->findText(chosen));
    m_profiles->setEnabled(v.listEnabled);
    m_rendering = false;
    m_start->setText(v.startCaption);
    m_start->setEnabled(v.startEnabled);
    m_cancel->setEnabled(v.cancelEnabled);
    m_animation->setVisible(v.picture);
    m_progress->setText(v.progressText);
    m_mainBar->setVisible(v.mainBarShown);
    m_mainBar->setEnabled(v.mainBarEnabled);
    m_mainBar->setFixedWidth(v.mainBarWidth);
    m_mainBar->setRange(0, static_cast<int>(std::min<qint64>(v.mainBarMax, INT_MAX)));
    m_mainBar->setValue(static_cast<int>(std::min<qint64>(v.mainBarPos, INT_MAX)));
    m_secondBar->setVisible(v.secondBarShown);
    m_secondBar->setEnabled(v.secondBarEnabled);
    // Bytes of an upload may pass what a bar counts: per mille then.
    if (v.secondBarMax > INT_MAX) {
        m_secondBar->setRange(0, 1000);
        m_secondBar->setValue(static_cast<int>(v.secondBarPos * 1000 / v.secondBarMax));
    } else {
        m_secondBar->setRange(0, static_cast<int>(std::max<qint64>(v.secondBarMax, 1)));
        m_secondBar->setValue(static_cast<int>(v.secondBarPos));
    }
    // The heights of the original window are the least; the fonts of this
    // desktop may need more to show every row.
    const int height = std::max(v.height, sizeHint().height());
    setFixedHeight(height);
}

void TForm8::showEvent(QShowEvent *event)
{
    m_runner->LoadFunckShow();
    QDialog::showEvent(event);
}

void TForm8::changeEvent(QEvent *event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        setWindowTitle(windowTitleText());
}

void TForm8::keyPressEvent(QKeyEvent *event)
{
    // Esc stops a running copy as "Отмена" does; otherwise it does nothing
    // (the window is closed by its button when no run is active).
    if (event->key() == Qt::Key_Escape) {
        if (m_runner->copyRunning())
            m_runner->StartBtnClick();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TForm8::closeEvent(QCloseEvent *event)
{
    // While a run is active the window does not close (changing the
    // window's buttons would take a modal window down and up again).
    if (!m_runner->view().closeButton || m_runner->isRunning()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

} // namespace dozorix
