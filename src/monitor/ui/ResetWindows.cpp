#include "monitor/ui/ResetWindows.h"

#include "common/AppInfo.h"
#include "monitor/ProcessActions.h"

#include <QEvent>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

namespace dozorix {

namespace {


QString resetHint()
{
    return QStringLiteral("Для успешного выполнения операции") + QLatin1Char('\n')
        + QStringLiteral(" у пользователя Брандмауэр должен быть отключен.") + QLatin1Char('\n')
        + QStringLiteral("(Служба RPC должна быть запущена)");
}

} // namespace

ResetWindowBase::ResetWindowBase(ProcessActions *actions, Hooks hooks, QWidget *parent)
    : QDialog(parent)
    , m_actions(actions)
    , m_hooks(std::move(hooks))
{
    setWindowTitle(windowTitleText());
    m_reset = new QPushButton(QStringLiteral("Сбросить"), this);
    m_reset->setToolTip(resetHint());
    m_toTray = new QToolButton(this);
    m_toTray->setIcon(style()->standardIcon(QStyle::SP_TitleBarMinButton));
    m_toTray->setToolTip(QStringLiteral("Свернуть в трей"));
    m_restore = new QToolButton(this);
    m_restore->setIcon(style()->standardIcon(QStyle::SP_TitleBarMaxButton));
    m_restore->setToolTip(QStringLiteral("Развернуть на весь экран"));
    connect(m_toTray, &QToolButton::clicked, this, [this] {
        if (m_hooks.minimiseToTray)
            m_hooks.minimiseToTray();
    });
    connect(m_restore, &QToolButton::clicked, this, [this] {
        if (m_hooks.restoreMaximised)
            m_hooks.restoreMaximised();
    });
}

void ResetWindowBase::finishLayout(QLayout *fields)
{
    auto *buttons = new QHBoxLayout();
    buttons->addWidget(m_reset);
    buttons->addStretch();
    buttons->addWidget(m_toTray);
    buttons->addWidget(m_restore);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addLayout(buttons);
}

bool ResetWindowBase::event(QEvent *e)
{
    if (e->type() == QEvent::WindowActivate)
        setWindowTitle(windowTitleText());
    return QDialog::event(e);
}

TForm6::TForm6(ProcessActions *actions, Hooks hooks, QWidget *parent)
    : ResetWindowBase(actions, std::move(hooks), parent)
{
    m_login = new QLineEdit(this);
    auto *fields = new QVBoxLayout();
    fields->addWidget(new QLabel(QStringLiteral("Логин пользователя (Windows)."), this));
    fields->addWidget(m_login);
    finishLayout(fields);
    connect(resetButton(), &QPushButton::clicked, this, [this] { m_actions->resetByLogin(m_login->text()); });
}

TForm5::TForm5(ProcessActions *actions, Hooks hooks, QWidget *parent)
    : ResetWindowBase(actions, std::move(hooks), parent)
{
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    m_host = new QLineEdit(this);
    m_domain = new QLineEdit(this);
    m_login = new QLineEdit(this);
    m_password = new QLineEdit(this);
    m_password->setEchoMode(QLineEdit::Password);
    m_password->setStyleSheet(QStringLiteral("lineedit-password-character: 42;")); // "*"
    auto *fields = new QFormLayout();
    fields->setRowWrapPolicy(QFormLayout::WrapAllRows);
    fields->addRow(QStringLiteral("Хост (IP адрес, имя ПК)"), m_host);
    fields->addRow(QStringLiteral("Домен (Не обязательно)"), m_domain);
    fields->addRow(QStringLiteral("Логин"), m_login);
    fields->addRow(QStringLiteral("Пароль"), m_password);
    finishLayout(fields);
    connect(resetButton(), &QPushButton::clicked, this, [this] {
        m_actions->resetRemote(m_host->text(), m_domain->text(), m_login->text(), m_password->text());
    });
}

} // namespace dozorix
