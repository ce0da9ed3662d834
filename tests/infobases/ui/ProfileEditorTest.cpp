// The profile editor TForm2 driven through its widgets: the layout (every
// tab and tile, readable), loading a settings file from a Windows server,
// editing and closing (the file on disk afterwards), the version written at
// once, the folder pick, the captions, the holder instance and
// OpenProfileEditor.
#include "common/IniFile.h"
#include "common/ProgramDir.h"
#include "common/TextCodec.h"
#include "infobases/ProfileStore.h"
#include "infobases/ui/TForm2.h"
#include "support/TestSupport.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStringEncoder>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

using namespace dozorix;
using test::ProgramHome;

namespace {

const QString kIni = QStringLiteral("Example.ini");

QString readKey(int n, const QString &key)
{
    const IniFile ini(settingsFilePath());
    return ini.readString(profileSection(n), key, QStringLiteral("<missing>"));
}

// An editor as OpenProfileEditor makes it, shown (so loaded twice).
std::unique_ptr<TForm2> shownEditor()
{
    auto editor = std::make_unique<TForm2>(TForm2::Role::Editor);
    editor->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(editor.get()));
    return editor;
}

// Picks a version the way a user does: the list gets the focus and the
// arrow keys move the selection.
void pickVersion(QComboBox *list, int index)
{
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Home, Qt::ControlModifier);
    if (list->currentIndex() != 0)
        QTest::keyClick(list, Qt::Key_Down);
    while (list->currentIndex() < index)
        QTest::keyClick(list, Qt::Key_Down);
    while (list->currentIndex() > index)
        QTest::keyClick(list, Qt::Key_Up);
}

// Types text into a widget key by key, as a keyboard with any layout does
// (QTest's own typing knows Latin letters only).
void typeText(QWidget *widget, const QString &text)
{
    for (const QChar ch : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(widget, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(widget, &release);
    }
}

// Runs `action` on the next modal window once it is up.
void onModal(std::function<void(QWidget *)> action)
{
    QTimer::singleShot(0, [action] {
        QWidget *modal = nullptr;
        test::waitUntil([&] { return (modal = QApplication::activeModalWidget()) != nullptr; }, 5000);
        action(modal);
    });
}

QByteArray windowsProfiles()
{
    const QString text = QStringLiteral(
        "[MONITORING1C]\r\nCOMALL=1\r\n"
        "[Base1]\r\nStrokaCon=D:\\Базы\\Бухгалтерия\r\nLoginF=Главбух\r\nPassF=пароль\r\nRadioF=1\r\nRadioClient=0\r\n"
        "Psevdo1=Бухгалтерия\r\nConnector=V83.ComConnector\r\nconnect=On\r\n"
        "[Base2]\r\nKlasterB=srv1c\r\nIBNAmeKlaster=zup\r\nLoginK=Админ\r\nPassK=ключ\r\nRadioF=1\r\nRadioClient=1\r\n"
        "Psevdo2=Зарплата\r\nConnector=V82.ComConnector\r\n"
        "[Base3]\r\nStrokaCon=E:\\Склад\r\nConnector=v83.comconnector\r\n"
        "[Base14]\r\nPsevdo14=Архив 2019\r\nRadioF=0\r\nRadioClient=0\r\nConnector=V8.ComConnector\r\n");
    return toCp1251(text);
}

} // namespace

TEST(ProfileEditorLayout, EveryTabAndTileIsThereAndReadable)
{
    ProgramHome home;
    auto editor = shownEditor();
    EXPECT_EQ(editor->size(), QSize(TForm2::kClientWidth, TForm2::kClientHeight));
    EXPECT_EQ(editor->windowTitle(), QStringLiteral("Dozorix v: 1.5"));
    EXPECT_EQ(editor->palette().color(QPalette::Window), QColor(Qt::white));
    const QRect desktop = editor->screen()->availableGeometry();
    EXPECT_LE((editor->frameGeometry().center() - desktop.center()).manhattanLength(), 6);

    QTabWidget *tabs = editor->tabs();
    ASSERT_EQ(tabs->count(), kProfileCount);
    EXPECT_EQ(editor->hideComConnectionsBox()->text(), QStringLiteral("Не показывать COM-соединения."));
    auto fits = [](const QWidget *w, const QString &text, int extra) {
        return w->width() >= w->fontMetrics().horizontalAdvance(text) + extra;
    };
    EXPECT_TRUE(fits(editor->hideComConnectionsBox(), editor->hideComConnectionsBox()->text(), 16));
    EXPECT_TRUE(editor->rect().contains(editor->hideComConnectionsBox()->geometry()));

    for (int n = 1; n <= kProfileCount; ++n) {
        SCOPED_TRACE(n);
        tabs->setCurrentIndex(n - 1);
        QApplication::processEvents();
        EXPECT_EQ(tabs->tabText(n - 1), QStringLiteral("ИБ - %1").arg(n));
        EXPECT_GE(tabs->tabBar()->tabRect(n - 1).width(),
                  tabs->tabBar()->fontMetrics().horizontalAdvance(tabs->tabText(n - 1)));
        QWidget *page = editor->page(n);
        EXPECT_EQ(tabs->widget(n - 1), page);

        // Groups and captions.
        QStringList groups;
        for (QGroupBox *g : page->findChildren<QGroupBox *>())
            groups << g->title();
        EXPECT_EQ(groups, (QStringList{QStringLiteral("Тип ИБ"), QStringLiteral("Версия 1С Предприятия"),
                                       QStringLiteral("Файловая"), QStringLiteral("Клиент-сервер")}));
        EXPECT_EQ(editor->fileRadio(n)->text(), QStringLiteral("Файловая"));
        EXPECT_EQ(editor->clientServerRadio(n)->text(), QStringLiteral("Клиент-сервер"));
        EXPECT_EQ(editor->pickFolderButton(n)->text(), QStringLiteral("Выбор ИБ"));
        EXPECT_EQ(editor->actionButton(n)->text(), n <= 7 ? QStringLiteral("Подключить") : QStringLiteral("Сохранить"));
        EXPECT_EQ(editor->versionList(n)->lineEdit()->placeholderText(), QStringLiteral("Версия..."));
        EXPECT_EQ(editor->versionList(n)->currentIndex(), -1);
        EXPECT_TRUE(editor->versionList(n)->isEditable());
        QStringList labels;
        for (QLabel *l : page->findChildren<QLabel *>())
            labels << l->text();
        for (const char *caption : {"Пользователь", "Пароль", "Кластер серверов", "Информационная база", "Имя ИБ (Псевдоним):"})
            EXPECT_TRUE(labels.contains(QString::fromUtf8(caption))) << caption;
        EXPECT_EQ(labels.count(QStringLiteral("Пользователь")), 2);
        EXPECT_EQ(labels.count(QStringLiteral("Пароль")), 2);
        for (QLineEdit *secret : {editor->filePasswordField(n), editor->clusterPasswordField(n)})
            EXPECT_EQ(secret->echoMode(), QLineEdit::Password);

        // Readable: every caption fits its widget, every field has room, all
        // inside the page.
        for (QLabel *l : page->findChildren<QLabel *>())
            EXPECT_TRUE(fits(l, l->text(), 0)) << l->text().toStdString();
        for (QAbstractButton *b : page->findChildren<QAbstractButton *>()) {
            if (!b->text().isEmpty()) {
                EXPECT_TRUE(fits(b, b->text(), 8)) << b->text().toStdString();
            }
        }
        for (QGroupBox *g : page->findChildren<QGroupBox *>())
            EXPECT_TRUE(fits(g, g->title(), 8)) << g->title().toStdString();
        for (QLineEdit *e : page->findChildren<QLineEdit *>()) {
            EXPECT_GE(e->width(), 8 * e->fontMetrics().averageCharWidth()) << e->objectName().toStdString();
            EXPECT_GE(e->height(), e->fontMetrics().height()) << e->objectName().toStdString();
        }
        QComboBox *list = editor->versionList(n);
        for (int i = 0; i < list->count(); ++i)
            EXPECT_GE(list->lineEdit()->width(), list->fontMetrics().horizontalAdvance(list->itemText(i)));
        for (QWidget *w : page->findChildren<QWidget *>()) {
            if (w->isVisible()) {
                EXPECT_TRUE(page->rect().contains(QRect(w->mapTo(page, QPoint(0, 0)), w->size())))
                    << w->objectName().toStdString();
            }
        }
    }

    // Tiles: 51 × 50, four columns, labels beneath, centred.
    for (int n = 1; n <= kProfileCount; ++n) {
        SCOPED_TRACE(n);
        ProfileTile *tile = editor->tile(n);
        QLabel *label = editor->tileLabel(n);
        EXPECT_EQ(tile->size(), QSize(51, 50));
        EXPECT_EQ(label->objectName(), QStringLiteral("NazvaBaz%1").arg(n));
        EXPECT_EQ(label->text(), QStringLiteral("ИБ - %1").arg(n));
        EXPECT_TRUE(fits(label, label->text(), 0));
        EXPECT_GE(label->height(), label->fontMetrics().height());
        EXPECT_TRUE(label->alignment() & Qt::AlignHCenter);
        const QRect t(tile->mapTo(editor.get(), QPoint(0, 0)), tile->size());
        const QRect l(label->mapTo(editor.get(), QPoint(0, 0)), label->size());
        EXPECT_TRUE(editor->rect().contains(t));
        EXPECT_TRUE(editor->rect().contains(l));
        EXPECT_GE(l.top(), t.bottom());
        EXPECT_LE(std::abs(l.center().x() - t.center().x()), 1);
        EXPECT_GT(t.left(), tabs->geometry().right()); // the panel is on the right
        const int row = (n - 1) / 4, column = (n - 1) % 4;
        const QRect first(editor->tile(1)->mapTo(editor.get(), QPoint(0, 0)), editor->tile(1)->size());
        if (column > 0) {
            const QRect left(editor->tile(n - 1)->mapTo(editor.get(), QPoint(0, 0)), tile->size());
            EXPECT_EQ(t.top(), left.top());
            EXPECT_GT(t.left(), left.right());
        } else {
            EXPECT_EQ(t.left(), first.left());
        }
        if (row > 0) {
            const QRect above(editor->tile(n - 4)->mapTo(editor.get(), QPoint(0, 0)), tile->size());
            EXPECT_EQ(t.left(), above.left());
            EXPECT_GT(t.top(), above.bottom());
        }
    }
}

TEST(ProfileEditorLayout, TheTitleIsSetEachTimeTheWindowBecomesActive)
{
    ProgramHome home;
    auto editor = shownEditor();
    editor->setWindowTitle(QStringLiteral("другое"));
    QEvent activate(QEvent::WindowActivate);
    QApplication::sendEvent(editor.get(), &activate);
    EXPECT_EQ(editor->windowTitle(), QStringLiteral("Dozorix v: 1.5"));
}

TEST(ProfileEditor, AFileFromAWindowsServerIsShownRight)
{
    ProgramHome home;
    home.write(kIni, windowsProfiles());
    const QByteArray before = home.read(kIni);
    auto editor = shownEditor();

    EXPECT_TRUE(editor->hideComConnectionsBox()->isChecked());
    EXPECT_EQ(editor->pathField(1)->text(), QStringLiteral("D:\\Базы\\Бухгалтерия"));
    EXPECT_EQ(editor->fileLoginField(1)->text(), QStringLiteral("Главбух"));
    EXPECT_EQ(editor->filePasswordField(1)->text(), QStringLiteral("пароль"));
    EXPECT_EQ(editor->clusterLoginField(2)->text(), QStringLiteral("Админ"));
    EXPECT_EQ(editor->clusterPasswordField(2)->text(), QStringLiteral("ключ"));
    EXPECT_EQ(editor->pathField(3)->text(), QStringLiteral("E:\\Склад"));

    struct Case {
        int n;
        bool file, client;
        int version;
        const char *caption;
    };
    const Case cases[] = {
        {1, true, false, 3, "Бухгалтерия"},
        {2, false, true, 2, "Зарплата"},   // both flags stored: "Клиент-сервер"
        {3, false, false, -1, "ИБ - 3"},    // no alias; connector in other letter case
        {4, false, false, -1, "ИБ - 4"},    // no section
        {14, false, false, 0, "Архив 2019"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.n);
        EXPECT_EQ(editor->fileRadio(c.n)->isChecked(), c.file);
        EXPECT_EQ(editor->clientServerRadio(c.n)->isChecked(), c.client);
        EXPECT_EQ(editor->versionList(c.n)->currentIndex(), c.version);
        EXPECT_EQ(editor->tabs()->tabText(c.n - 1), QString::fromUtf8(c.caption));
        EXPECT_EQ(editor->tileLabel(c.n)->text(), QString::fromUtf8(c.caption));
        EXPECT_EQ(editor->PsevdoNAME(c.n), editor->aliasField(c.n)->text());
    }
    EXPECT_EQ(editor->heldProfile(1).connector, QStringLiteral("V83.ComConnector"));
    EXPECT_TRUE(editor->heldProfile(1).comProbeOn());
    // Loading (twice) wrote nothing.
    EXPECT_EQ(home.read(kIni), before);
}

TEST(ProfileEditor, ClosingByAnyMeansSavesTheEditsToTheFile)
{
    struct Case {
        const char *name;
        std::function<void(TForm2 *)> close;
    };
    const Case cases[] = {
        {"close button", [](TForm2 *e) { e->close(); }},
        {"Escape", [](TForm2 *e) { QTest::keyClick(e, Qt::Key_Escape); }},
        {"accept", [](TForm2 *e) { e->accept(); }},
        {"reject", [](TForm2 *e) { e->reject(); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ProgramHome home;
        home.write(kIni, windowsProfiles());
        auto editor = shownEditor();
        editor->tabs()->setCurrentIndex(4);
        typeText(editor->aliasField(5), QStringLiteral("Торговля"));
        typeText(editor->pathField(5), QStringLiteral("/srv/1c/торговля"));
        typeText(editor->filePasswordField(5), QStringLiteral("p;a=s\"s"));
        QTest::mouseClick(editor->fileRadio(5), Qt::LeftButton);
        editor->tabs()->setCurrentIndex(1);
        QTest::mouseClick(editor->fileRadio(2), Qt::LeftButton); // from client-server to file
        editor->aliasField(1)->clear();
        c.close(editor.get());
        ASSERT_FALSE(editor->isVisible());

        EXPECT_EQ(readKey(5, QStringLiteral("Psevdo5")), QStringLiteral("Торговля"));
        EXPECT_EQ(readKey(5, QStringLiteral("StrokaCon")), QStringLiteral("/srv/1c/торговля"));
        EXPECT_EQ(readKey(5, QStringLiteral("PassF")), QStringLiteral("p;a=s\"s"));
        EXPECT_EQ(readKey(5, QStringLiteral("RadioF")), QStringLiteral("1"));
        EXPECT_EQ(readKey(5, QStringLiteral("RadioClient")), QStringLiteral("0"));
        EXPECT_EQ(readKey(2, QStringLiteral("RadioF")), QStringLiteral("1"));
        EXPECT_EQ(readKey(2, QStringLiteral("RadioClient")), QStringLiteral("0"));
        EXPECT_EQ(readKey(1, QStringLiteral("Psevdo1")), QString());
        EXPECT_EQ(readKey(1, QStringLiteral("StrokaCon")), QStringLiteral("D:\\Базы\\Бухгалтерия"));
        EXPECT_EQ(readKey(14, QStringLiteral("RadioF")), QStringLiteral("0"));
        EXPECT_EQ(readKey(14, QStringLiteral("RadioClient")), QStringLiteral("0"));
        // Connector and the probe keys are not written on close.
        EXPECT_EQ(readKey(3, QStringLiteral("Connector")), QStringLiteral("v83.comconnector"));
        EXPECT_EQ(readKey(1, QStringLiteral("connect")), QStringLiteral("On"));
        EXPECT_EQ(readKey(5, QStringLiteral("Connector")), QStringLiteral("<missing>"));
        // All fourteen sections are there, the untouched ones with empty values.
        for (int n = 1; n <= kProfileCount; ++n)
            EXPECT_EQ(readKey(n, QStringLiteral("LoginK")), n == 2 ? QStringLiteral("Админ") : QString()) << n;
        // The password keeps its masking in the window, not in the file.
        EXPECT_NE(editor->filePasswordField(5)->displayText(), editor->filePasswordField(5)->text());
    }
}

TEST(ProfileEditor, AVersionPickIsWrittenAtOnceAndOnlyAPickWrites)
{
    ProgramHome home;
    home.write(kIni, windowsProfiles());
    auto editor = shownEditor();
    editor->tabs()->setCurrentIndex(2);

    struct Case {
        int n;
        int index;
        const char *written;
    };
    const Case cases[] = {
        {3, 3, "V83.ComConnector"}, {3, 1, "V81.ComConnector"}, {3, 0, "V8.ComConnector"},
        {1, 2, "V82.ComConnector"}, {7, 3, "V83.ComConnector"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.n << " / " << c.index);
        editor->tabs()->setCurrentIndex(c.n - 1);
        pickVersion(editor->versionList(c.n), c.index);
        ASSERT_EQ(editor->versionList(c.n)->currentIndex(), c.index);
        EXPECT_EQ(readKey(c.n, QStringLiteral("Connector")), QString::fromLatin1(c.written)); // before any close
    }

    // Typing into the list selects nothing and writes nothing.
    const QByteArray before = home.read(kIni);
    editor->tabs()->setCurrentIndex(9);
    QComboBox *list = editor->versionList(10);
    list->setFocus();
    typeText(list, QStringLiteral("8.5"));
    EXPECT_EQ(list->currentIndex(), -1);
    EXPECT_EQ(home.read(kIni), before);

    // A reload selects from the file without writing.
    editor->ChitatINI();
    EXPECT_EQ(home.read(kIni), before);
    EXPECT_EQ(editor->versionList(3)->currentIndex(), 0);
    EXPECT_EQ(editor->versionList(10)->currentText(), QStringLiteral("8.5")); // the list keeps its text
}

TEST(ProfileEditor, WithoutASettingsFileNothingIsWrittenOrCreated)
{
    ProgramHome home;
    auto editor = shownEditor();
    for (int n = 1; n <= kProfileCount; ++n) {
        EXPECT_EQ(editor->versionList(n)->currentIndex(), -1);
        EXPECT_TRUE(editor->aliasField(n)->text().isEmpty());
        EXPECT_FALSE(editor->fileRadio(n)->isChecked());
        EXPECT_FALSE(editor->clientServerRadio(n)->isChecked());
    }
    pickVersion(editor->versionList(1), 3);
    editor->aliasField(1)->setText(QStringLiteral("Касса"));
    editor->close();
    EXPECT_TRUE(QDir(home.path()).entryList(QDir::Files).isEmpty());
}

TEST(ProfileEditor, ATileBringsItsTabToTheFront)
{
    ProgramHome home;
    auto editor = shownEditor();
    for (int n : {14, 1, 9, 4, 13}) {
        QTest::mouseClick(editor->tile(n), Qt::LeftButton);
        EXPECT_EQ(editor->tabs()->currentIndex(), n - 1) << n;
    }
}

TEST(ProfileEditor, CaptionsFollowTheAliasWhenItsFieldIsLeft)
{
    ProgramHome home;
    home.write(kIni, windowsProfiles());
    auto editor = shownEditor();
    editor->activateWindow();
    editor->tabs()->setCurrentIndex(5);
    QLineEdit *alias = editor->aliasField(6);
    alias->setFocus();
    typeText(alias, QStringLiteral("Розница"));
    EXPECT_EQ(editor->tabs()->tabText(5), QStringLiteral("ИБ - 6")); // still typing
    editor->pathField(6)->setFocus();                                // leaves the alias field
    EXPECT_EQ(editor->tabs()->tabText(5), QStringLiteral("Розница"));
    EXPECT_EQ(editor->tileLabel(6)->text(), QStringLiteral("Розница"));

    // A cleared alias leaves the old caption while the window is open ...
    alias->setFocus();
    alias->clear();
    editor->hideComConnectionsBox()->setFocus(); // leaves the tab set too
    EXPECT_EQ(editor->tabs()->tabText(5), QStringLiteral("Розница"));
    EXPECT_EQ(editor->tileLabel(6)->text(), QStringLiteral("Розница"));
    editor->aliasField(2)->setText(QStringLiteral("Зарплата и кадры"));
    editor->ShowNameInfoBase();
    EXPECT_EQ(editor->tabs()->tabText(1), QStringLiteral("Зарплата и кадры"));
    editor->close();

    // ... and the next editor shows the numbered caption.
    auto next = shownEditor();
    EXPECT_EQ(next->tabs()->tabText(5), QStringLiteral("ИБ - 6"));
    EXPECT_EQ(next->tileLabel(6)->text(), QStringLiteral("ИБ - 6"));
    EXPECT_EQ(next->tabs()->tabText(1), QStringLiteral("Зарплата и кадры"));
}

TEST(ProfileEditor, BothTypesClearIsKeptAndBothSetBecomesClientServer)
{
    ProgramHome home;
    home.write(kIni, "[Base1]\nRadioF=1\nRadioClient=1\n[Base2]\nRadioF=0\nRadioClient=0\n[Base3]\nRadioF=1\nRadioClient=0\n");
    auto editor = shownEditor();
    EXPECT_TRUE(editor->clientServerRadio(1)->isChecked());
    EXPECT_FALSE(editor->fileRadio(1)->isChecked());
    EXPECT_FALSE(editor->fileRadio(2)->isChecked());
    EXPECT_FALSE(editor->clientServerRadio(2)->isChecked());
    // A reload over a checked button can clear both again.
    home.write(kIni, "[Base3]\nRadioF=0\nRadioClient=0\n");
    editor->ChitatINI();
    EXPECT_FALSE(editor->fileRadio(3)->isChecked());
    EXPECT_FALSE(editor->clientServerRadio(3)->isChecked());
    home.write(kIni, "[Base1]\nRadioF=1\nRadioClient=1\n[Base2]\nRadioF=0\nRadioClient=0\n");
    editor->close();
    EXPECT_EQ(readKey(1, QStringLiteral("RadioF")), QStringLiteral("0"));
    EXPECT_EQ(readKey(1, QStringLiteral("RadioClient")), QStringLiteral("1"));
    EXPECT_EQ(readKey(2, QStringLiteral("RadioF")), QStringLiteral("0"));
    EXPECT_EQ(readKey(2, QStringLiteral("RadioClient")), QStringLiteral("0"));
}

TEST(ProfileEditor, TheFolderPickFillsThePathOrChangesNothing)
{
    ProgramHome home;
    QTemporaryDir folder;
    const QString chosen = folder.filePath(QStringLiteral("База 1С"));
    ASSERT_TRUE(QDir().mkpath(chosen));
    auto editor = shownEditor();
    editor->tabs()->setCurrentIndex(7);
    editor->pathField(8)->setText(QStringLiteral("before"));

    QString caption;
    onModal([&](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        ASSERT_NE(dialog, nullptr);
        caption = dialog->windowTitle();
        dialog->reject();
    });
    QTest::mouseClick(editor->pickFolderButton(8), Qt::LeftButton);
    EXPECT_EQ(caption, QStringLiteral("Укажите расположение информационной базы 1С"));
    EXPECT_EQ(editor->pathField(8)->text(), QStringLiteral("before"));

    onModal([&](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->fileMode(), QFileDialog::Directory);
        dialog->setDirectory(folder.path());
        dialog->selectFile(chosen);
        QMetaObject::invokeMethod(dialog, "accept"); // the "Choose" button's slot
    });
    QTest::mouseClick(editor->pickFolderButton(8), Qt::LeftButton);
    EXPECT_EQ(editor->pathField(8)->text(), chosen);
    EXPECT_TRUE(editor->pathField(7)->text().isEmpty());
}

TEST(ProfileHolder, LoadsRefreshesNeverSavesAndIsTheProgramsHolder)
{
    ProgramHome home;
    home.write(kIni, windowsProfiles());
    QWidget owner;
    EXPECT_EQ(profileHolder(), nullptr);
    QPointer<TForm2> holder = TForm2::createHolder(&owner);
    ASSERT_EQ(profileHolder(), holder.data());
    EXPECT_FALSE(holder->isVisible());
    EXPECT_EQ(holder->role(), TForm2::Role::Holder);
    EXPECT_EQ(profileHolder()->PsevdoNAME(2), QStringLiteral("Зарплата"));
    EXPECT_EQ(profileHolder()->heldProfile(2).clusterConnectionString(), QStringLiteral("srv1c\\zup"));
    EXPECT_EQ(profileHolder()->heldProfile(2).connector, QStringLiteral("V82.ComConnector"));
    EXPECT_TRUE(profileHolder()->PsevdoNAME(0).isEmpty());
    EXPECT_TRUE(profileHolder()->PsevdoNAME(15).isEmpty());
    EXPECT_EQ(profileHolder()->heldProfile(15).number, 0);

    // An editor changes the file; the holder sees it after ChitatINI.
    {
        auto editor = shownEditor();
        editor->aliasField(2)->setText(QStringLiteral("ЗУП"));
        editor->aliasField(9)->setText(QStringLiteral("Новая"));
        editor->close();
    }
    EXPECT_EQ(profileHolder()->PsevdoNAME(2), QStringLiteral("Зарплата"));
    profileHolder()->ChitatINI();
    EXPECT_EQ(profileHolder()->PsevdoNAME(2), QStringLiteral("ЗУП"));
    EXPECT_EQ(profileHolder()->PsevdoNAME(9), QStringLiteral("Новая"));

    // The holder never saves, whatever happens to it.
    holder->aliasField(9)->setText(QStringLiteral("Не сохранять"));
    const QByteArray before = home.read(kIni);
    holder->reject();
    holder->close();
    EXPECT_EQ(home.read(kIni), before);

    delete holder.data();
    EXPECT_EQ(profileHolder(), nullptr);
}

TEST(OpenProfileEditor, AModalEditorThatSavesAndIsGoneOnReturn)
{
    ProgramHome home;
    home.write(kIni, windowsProfiles());
    QWidget mainWindow;
    QPointer<TForm2> seen;
    bool modal = false;
    onModal([&](QWidget *w) {
        seen = qobject_cast<TForm2 *>(w);
        ASSERT_TRUE(seen);
        modal = seen->isModal();
        EXPECT_EQ(seen->aliasField(1)->text(), QStringLiteral("Бухгалтерия"));
        EXPECT_EQ(seen->tabs()->tabText(0), QStringLiteral("Бухгалтерия"));
        seen->clusterField(4)->setText(QStringLiteral("новый-сервер"));
        seen->close();
    });
    OpenProfileEditor(&mainWindow);
    EXPECT_TRUE(modal);
    EXPECT_TRUE(seen.isNull()); // destroyed on return
    EXPECT_EQ(readKey(4, QStringLiteral("KlasterB")), QStringLiteral("новый-сервер"));
    EXPECT_TRUE(mainWindow.findChildren<TForm2 *>().isEmpty());
}
