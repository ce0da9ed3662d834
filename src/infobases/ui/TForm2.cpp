#include "infobases/ui/TForm2.h"

#include "common/AppInfo.h"
#include "common/IniFile.h"
#include "common/ProgramDir.h"
#include "common/ui/WindowPlacement.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShowEvent>
#include <QTabWidget>
#include <QVBoxLayout>

namespace dozorix {

namespace {

constexpr int kTileColumns = 4;
constexpr int kTileColumnWidth = 60;

QLineEdit *passwordField(QWidget *parent)
{
    auto *field = new QLineEdit(parent);
    field->setEchoMode(QLineEdit::Password);
    field->setStyleSheet(QStringLiteral("lineedit-password-character: 42;")); // "*"
    return field;
}

// Checks or clears a radio button. Clearing the checked button of an
// exclusive pair is allowed here: both buttons of "Тип ИБ" may be clear.
void setRadio(QRadioButton *button, bool checked)
{
    if (button->isChecked() == checked)
        return;
    if (checked) {
        button->setChecked(true);
        return;
    }
    button->setAutoExclusive(false);
    button->setChecked(false);
    button->setAutoExclusive(true);
}

bool isInside(const QWidget *widget, const QWidget *container)
{
    return widget && container && (widget == container || container->isAncestorOf(widget));
}

// The label beneath a tile: the caption in at most two centred lines, a
// caption too long for them shortened with "…" (the tile's tool tip and the
// label's text keep it whole).
class TileLabel : public QLabel
{
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setPen(palette().color(QPalette::WindowText));
        const QFontMetrics fm = fontMetrics();
        const QStringList lines = wrapped(fm, text(), width());
        int y = 0;
        for (const QString &line : lines) {
            painter.drawText(QRect(0, y, width(), fm.height()), Qt::AlignHCenter | Qt::AlignTop, line);
            y += fm.height();
        }
    }

private:
    static QStringList wrapped(const QFontMetrics &fm, const QString &text, int width)
    {
        QStringList lines;
        QString line;
        const QStringList words = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        for (qsizetype i = 0; i < words.size(); ++i) {
            const QString candidate = line.isEmpty() ? words.at(i) : line + QLatin1Char(' ') + words.at(i);
            if (line.isEmpty() || fm.horizontalAdvance(candidate) <= width) {
                line = candidate;
                continue;
            }
            lines.append(line);
            line = words.at(i);
            if (lines.size() == 1) { // the second line takes the rest
                line = words.mid(i).join(QLatin1Char(' '));
                break;
            }
        }
        if (!line.isEmpty())
            lines.append(line);
        for (QString &l : lines)
            l = fm.elidedText(l, Qt::ElideRight, width);
        return lines.mid(0, 2);
    }
};

} // namespace

ProfileTile::ProfileTile(QWidget *parent)
    : QAbstractButton(parent)
{
    setFixedSize(kWidth, kHeight);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::NoFocus);
}

void ProfileTile::paintEvent(QPaintEvent *)
{
    // A stack of three disks: the usual picture of a database.
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor body = isDown() ? QColor(0x4a, 0x6f, 0x9c) : QColor(0x6a, 0x8f, 0xbc);
    const QRectF area = QRectF(rect()).adjusted(10, 5, -10, -5);
    const qreal lid = area.height() / 5;
    painter.setPen(QPen(QColor(0x2f, 0x4f, 0x7a), 1));
    painter.setBrush(body);
    painter.drawRect(QRectF(area.left(), area.top() + lid / 2, area.width(), area.height() - lid));
    for (int i = 2; i >= 0; --i) {
        const qreal y = area.top() + i * (area.height() - lid) / 2;
        painter.setBrush(i == 0 ? body.lighter(130) : body);
        painter.drawEllipse(QRectF(area.left(), y, area.width(), lid));
    }
}

TForm2::TForm2(Role role, QWidget *parent)
    : QDialog(parent)
    , m_role(role)
{
    setWindowTitle(windowTitleText());
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setFixedSize(kClientWidth, kClientHeight);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    setAutoFillBackground(true);

    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName(QStringLiteral("PageControl1"));
    m_tabs->setUsesScrollButtons(true);
    m_tabs->tabBar()->setElideMode(Qt::ElideNone);
    for (int n = 1; n <= kProfileCount; ++n)
        m_tabs->addTab(buildPage(n), numberedCaption(n));

    m_hideCom = new QCheckBox(QStringLiteral("Не показывать COM-соединения."), this);
    m_hideCom->setObjectName(QStringLiteral("HideComConnections"));

    auto *right = new QVBoxLayout();
    right->addWidget(m_hideCom);
    right->addWidget(buildTilePanel());
    right->addStretch();

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->addWidget(m_tabs, 1);
    layout->addLayout(right);

    connect(qApp, &QApplication::focusChanged, this, &TForm2::onFocusChanged);

    ChitatINI();
}

TForm2::~TForm2()
{
    if (profileHolder() == this)
        setProfileHolder(nullptr);
}

TForm2 *TForm2::createHolder(QWidget *owner)
{
    auto *holder = new TForm2(Role::Holder, owner);
    holder->setObjectName(QStringLiteral("ProfileHolder"));
    setProfileHolder(holder);
    return holder;
}

QString TForm2::folderDialogCaption()
{
    return QStringLiteral("Укажите расположение информационной базы 1С");
}

QWidget *TForm2::buildPage(int n)
{
    Page &p = at(n);
    auto *page = new QWidget();
    page->setObjectName(QStringLiteral("TabSheet%1").arg(n));
    p.page = page;

    // "Тип ИБ" and "Версия 1С Предприятия" side by side.
    auto *typeGroup = new QGroupBox(QStringLiteral("Тип ИБ"), page);
    p.fileRadio = new QRadioButton(QStringLiteral("Файловая"), typeGroup);
    p.fileRadio->setObjectName(QStringLiteral("RadioF%1").arg(n));
    p.clientRadio = new QRadioButton(QStringLiteral("Клиент-сервер"), typeGroup);
    p.clientRadio->setObjectName(QStringLiteral("RadioClient%1").arg(n));
    auto *typeLayout = new QVBoxLayout(typeGroup);
    typeLayout->addWidget(p.fileRadio);
    typeLayout->addWidget(p.clientRadio);

    auto *versionGroup = new QGroupBox(QStringLiteral("Версия 1С Предприятия"), page);
    p.version = new QComboBox(versionGroup);
    p.version->setObjectName(QStringLiteral("Version%1").arg(n));
    p.version->setEditable(true);
    p.version->setInsertPolicy(QComboBox::NoInsert);
    p.version->lineEdit()->setPlaceholderText(QStringLiteral("Версия..."));
    p.version->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    p.version->addItems(versionListItems()); // sizes the list for its items
    p.version->setCurrentIndex(-1);
    auto *versionLayout = new QVBoxLayout(versionGroup);
    versionLayout->addWidget(p.version);
    versionLayout->addStretch();
    connect(p.version, &QComboBox::activated, this, [this, n](int index) { onVersionPicked(n, index); });

    auto *top = new QHBoxLayout();
    top->addWidget(typeGroup);
    top->addWidget(versionGroup, 1);

    // "Файловая": the folder with its button, then user and password.
    auto *fileGroup = new QGroupBox(QStringLiteral("Файловая"), page);
    p.path = new QLineEdit(fileGroup);
    p.path->setObjectName(QStringLiteral("StrokaCon%1").arg(n));
    p.pick = new QPushButton(QStringLiteral("Выбор ИБ"), fileGroup);
    p.pick->setObjectName(QStringLiteral("PickFolder%1").arg(n));
    p.pick->setAutoDefault(false);
    connect(p.pick, &QPushButton::clicked, this, [this, n] { pickFolder(n); });
    p.fileLogin = new QLineEdit(fileGroup);
    p.fileLogin->setObjectName(QStringLiteral("LoginF%1").arg(n));
    p.filePassword = passwordField(fileGroup);
    p.filePassword->setObjectName(QStringLiteral("PassF%1").arg(n));
    auto *fileGrid = new QGridLayout(fileGroup);
    fileGrid->addWidget(p.path, 0, 0, 1, 3);
    fileGrid->addWidget(p.pick, 0, 3);
    auto *fileUser = new QLabel(QStringLiteral("Пользователь"), fileGroup);
    fileUser->setBuddy(p.fileLogin);
    auto *filePass = new QLabel(QStringLiteral("Пароль"), fileGroup);
    filePass->setBuddy(p.filePassword);
    fileGrid->addWidget(fileUser, 1, 0);
    fileGrid->addWidget(p.fileLogin, 1, 1);
    fileGrid->addWidget(filePass, 1, 2);
    fileGrid->addWidget(p.filePassword, 1, 3);

    // "Клиент-сервер": cluster, infobase, user and password.
    auto *serverGroup = new QGroupBox(QStringLiteral("Клиент-сервер"), page);
    p.cluster = new QLineEdit(serverGroup);
    p.cluster->setObjectName(QStringLiteral("KlasterB%1").arg(n));
    p.clusterInfobase = new QLineEdit(serverGroup);
    p.clusterInfobase->setObjectName(QStringLiteral("IBNAmeKlaster%1").arg(n));
    p.clusterLogin = new QLineEdit(serverGroup);
    p.clusterLogin->setObjectName(QStringLiteral("LoginK%1").arg(n));
    p.clusterPassword = passwordField(serverGroup);
    p.clusterPassword->setObjectName(QStringLiteral("PassK%1").arg(n));
    auto *serverGrid = new QGridLayout(serverGroup);
    auto labelled = [&](const QString &caption, QLineEdit *field, int row, int column, int span) {
        auto *label = new QLabel(caption, serverGroup);
        label->setBuddy(field);
        serverGrid->addWidget(label, row, column);
        serverGrid->addWidget(field, row, column + 1, 1, span);
    };
    labelled(QStringLiteral("Кластер серверов"), p.cluster, 0, 0, 3);
    labelled(QStringLiteral("Информационная база"), p.clusterInfobase, 1, 0, 3);
    labelled(QStringLiteral("Пользователь"), p.clusterLogin, 2, 0, 1);
    labelled(QStringLiteral("Пароль"), p.clusterPassword, 2, 2, 1);

    // The alias and the tab's button.
    p.alias = new QLineEdit(page);
    p.alias->setObjectName(QStringLiteral("Psevdo%1").arg(n));
    auto *aliasLabel = new QLabel(QStringLiteral("Имя ИБ (Псевдоним):"), page);
    aliasLabel->setBuddy(p.alias);
    p.action = new QPushButton(n <= 7 ? QStringLiteral("Подключить") : QStringLiteral("Сохранить"), page);
    p.action->setObjectName(QStringLiteral("Action%1").arg(n));
    p.action->setAutoDefault(false);
    auto *bottom = new QHBoxLayout();
    bottom->addWidget(aliasLabel);
    bottom->addWidget(p.alias, 1);
    bottom->addWidget(p.action);

    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->addLayout(top);
    layout->addWidget(fileGroup);
    layout->addWidget(serverGroup);
    layout->addLayout(bottom);
    layout->addStretch();
    return page;
}

QWidget *TForm2::buildTilePanel()
{
    auto *panel = new QWidget(this);
    panel->setObjectName(QStringLiteral("TilePanel"));
    auto *grid = new QGridLayout(panel);
    grid->setContentsMargins(0, 4, 0, 0);
    grid->setHorizontalSpacing(2);
    grid->setVerticalSpacing(0);
    QFont small = font();
    small.setPointSizeF(font().pointSizeF() * 0.85);
    for (int n = 1; n <= kProfileCount; ++n) {
        Page &p = at(n);
        const int row = (n - 1) / kTileColumns;
        const int column = (n - 1) % kTileColumns;
        p.tile = new ProfileTile(panel);
        p.tile->setObjectName(QStringLiteral("Tile%1").arg(n));
        p.tile->setToolTip(numberedCaption(n));
        connect(p.tile, &ProfileTile::clicked, this, [this, n] { showProfile(n); });
        p.tileLabel = new TileLabel(numberedCaption(n), panel);
        p.tileLabel->setObjectName(QStringLiteral("NazvaBaz%1").arg(n));
        p.tileLabel->setFont(small);
        p.tileLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        p.tileLabel->setWordWrap(true);
        p.tileLabel->setFixedWidth(kTileColumnWidth);
        p.tileLabel->setFixedHeight(2 * QFontMetrics(small).height());
        grid->addWidget(p.tile, 2 * row, column, Qt::AlignHCenter);
        grid->addWidget(p.tileLabel, 2 * row + 1, column, Qt::AlignHCenter | Qt::AlignTop);
        grid->setColumnMinimumWidth(column, kTileColumnWidth);
    }
    return panel;
}

void TForm2::ChitatINI()
{
    // 1. The version lists: the four items again; the list keeps its text.
    for (Page &p : m_pages) {
        const QString text = p.version->currentText();
        p.version->clear();
        p.version->addItems(versionListItems());
        p.version->setCurrentIndex(-1);
        p.version->setEditText(text);
    }
    // 2 … 5. Everything else from the file, the controls as the defaults.
    ProfileSet set = profiles();
    const IniFile ini(settingsFilePath());
    if (!loadProfiles(ini, set))
        return;
    m_hideCom->setChecked(set.hideComConnections);
    for (int n = 1; n <= kProfileCount; ++n) {
        Page &p = at(n);
        const InfobaseProfile &loaded = set.profile(n);
        p.path->setText(loaded.path);
        p.fileLogin->setText(loaded.fileLogin);
        p.filePassword->setText(loaded.filePassword);
        setRadio(p.fileRadio, loaded.fileType);
        setRadio(p.clientRadio, loaded.clientServer);
        p.cluster->setText(loaded.cluster);
        p.clusterInfobase->setText(loaded.clusterInfobase);
        p.clusterLogin->setText(loaded.clusterLogin);
        p.clusterPassword->setText(loaded.clusterPassword);
        p.psevdoName = loaded.alias;
        p.alias->setText(loaded.alias);
        p.probe = loaded;
        const int index = versionIndexOfConnector(loaded.connector);
        if (index >= 0)
            p.version->setCurrentIndex(index); // not a user's pick: nothing is written
    }
}

QString TForm2::PsevdoNAME(int n) const
{
    return isProfileNumber(n) ? at(n).psevdoName : QString();
}

InfobaseProfile TForm2::heldProfile(int n) const
{
    if (!isProfileNumber(n))
        return {};
    const Page &p = at(n);
    InfobaseProfile profile;
    profile.number = n;
    profile.path = p.path->text();
    profile.fileLogin = p.fileLogin->text();
    profile.filePassword = p.filePassword->text();
    profile.cluster = p.cluster->text();
    profile.clusterInfobase = p.clusterInfobase->text();
    profile.clusterLogin = p.clusterLogin->text();
    profile.clusterPassword = p.clusterPassword->text();
    profile.alias = p.alias->text();
    profile.fileType = p.fileRadio->isChecked();
    profile.clientServer = p.clientRadio->isChecked();
    profile.connector = connectorOfVersionIndex(p.version->currentIndex());
    profile.connect = p.probe.connect;
    profile.connectKS1CBase = p.probe.connectKS1CBase;
    profile.connectFile1CBase = p.probe.connectFile1CBase;
    return profile;
}

ProfileSet TForm2::profiles() const
{
    ProfileSet set;
    set.hideComConnections = m_hideCom->isChecked();
    for (int n = 1; n <= kProfileCount; ++n)
        set.profile(n) = heldProfile(n);
    return set;
}

void TForm2::ShowNameInfoBase()
{
    for (int n = 1; n <= kProfileCount; ++n) {
        const QString alias = at(n).alias->text();
        if (alias.isEmpty())
            continue;
        m_tabs->setTabText(n - 1, alias);
        at(n).tileLabel->setText(alias);
        at(n).tile->setToolTip(alias);
    }
}

void TForm2::showProfile(int n)
{
    if (isProfileNumber(n))
        m_tabs->setCurrentIndex(n - 1);
}

void TForm2::pickFolder(int n)
{
    if (!isProfileNumber(n))
        return;
    QFileDialog dialog(this, folderDialogCaption(), QDir::rootPath());
    dialog.setObjectName(QStringLiteral("FolderDialog"));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty() || chosen.first().isEmpty())
        return;
    at(n).path->setText(QDir::toNativeSeparators(chosen.first()));
}

void TForm2::onVersionPicked(int n, int index)
{
    // Only a pick by the user writes; ChitatINI's selections do not come here.
    writeConnector(n, index);
}

void TForm2::onFocusChanged(QWidget *old, QWidget *now)
{
    if (!old)
        return;
    bool leftAlias = false;
    for (const Page &p : m_pages)
        leftAlias = leftAlias || old == p.alias;
    const bool leftTabs = isInside(old, m_tabs) && !isInside(now, m_tabs);
    if (leftAlias || leftTabs)
        ShowNameInfoBase();
}

void TForm2::saveAll()
{
    if (m_role != Role::Editor)
        return;
    saveProfiles(profiles());
}

bool TForm2::event(QEvent *e)
{
    if (e->type() == QEvent::WindowActivate)
        setWindowTitle(windowTitleText());
    return QDialog::event(e);
}

void TForm2::setVisible(bool visible)
{
    if (visible && !isVisible()) {
        centerOnDesktop(this);
    }
    QDialog::setVisible(visible);
}

void TForm2::showEvent(QShowEvent *e)
{
    QDialog::showEvent(e);
    if (e->spontaneous())
        return;
    ChitatINI();
    ShowNameInfoBase();
}

void TForm2::done(int result)
{
    saveAll();
    QDialog::done(result);
}

void OpenProfileEditor(QWidget *parent)
{
    TForm2 editor(TForm2::Role::Editor, parent);
    editor.setObjectName(QStringLiteral("ProfileEditor"));
    editor.exec();
}

} // namespace dozorix
