#pragma once
// The profile editor: the fourteen infobase profiles on fourteen tabs, with
// a tile panel to reach each tab at once.
//
// The class serves twice:
// - the holder: one instance created at start-up (createHolder) and never
//   shown. It loads the profiles once when created and whenever ChitatINI is
//   called again; it never saves. It registers itself as the program's
//   ProfileHolder (ProfileStore.h), so the backup runner and the start-up
//   check of an unattended run "bak<N>" reach it through profileHolder()
//   without knowing this class.
// - the editors: OpenProfileEditor() creates a fresh instance, shows it
//   modally and destroys it on return. An editor loads the profiles when
//   created and again when shown; closing it by any means saves all fourteen
//   profiles (when the settings file exists). A version picked from a list
//   is written at once.
//
// For the main window:
//   at start-up      TForm2 *holder = TForm2::createHolder(this);
//   menu entry       OpenProfileEditor(this);
//   a profile        holder->heldProfile(n), holder->PsevdoNAME(n), or
//                    readProfile(n) (ProfileStore.h) straight from the file.

#include "infobases/InfobaseProfile.h"
#include "infobases/ProfileStore.h"

#include <QAbstractButton>
#include <QDialog>
#include <QString>

#include <array>
#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;

namespace dozorix {

// A clickable tile of the tile panel (51 × 50): a picture of an infobase.
class ProfileTile : public QAbstractButton
{
    Q_OBJECT
public:
    static constexpr int kWidth = 51;
    static constexpr int kHeight = 50;
    explicit ProfileTile(QWidget *parent = nullptr);
    QSize sizeHint() const override { return {kWidth, kHeight}; }

protected:
    void paintEvent(QPaintEvent *event) override;
};

class TForm2 : public QDialog, public ProfileHolder
{
    Q_OBJECT
public:
    enum class Role {
        Holder, // never shown, never saves
        Editor, // shown modally, saves when it closes
    };

    static constexpr int kClientWidth = 726;
    static constexpr int kClientHeight = 522;

    // Builds the window and loads the profiles (ChitatINI).
    explicit TForm2(Role role, QWidget *parent = nullptr);
    ~TForm2() override;

    // The holder of the program: created once at start-up, owned by `owner`
    // (the main window), registered as profileHolder() until destroyed.
    static TForm2 *createHolder(QWidget *owner);

    Role role() const { return m_role; }

    // Loads all fourteen profiles from the settings file into the controls:
    // refills the version lists, then (when the file exists) reads COMALL,
    // every profile's fields, type flags and alias (PsevdoNAME<n>), and
    // selects each profile's version when its Connector is one of the four
    // names exactly. A missing key leaves its control as it was.
    void ChitatINI() override;
    // The alias of profile n as last loaded by ChitatINI; empty outside 1 … 14.
    QString PsevdoNAME(int n) const override;
    // Profile n as the controls hold it now (connector: that of the selected
    // version, empty without a selection); number 0 outside 1 … 14.
    InfobaseProfile heldProfile(int n) const override;
    // All fourteen as the controls hold them.
    ProfileSet profiles() const;

    // Copies every non-empty alias to its tab caption and tile label; an
    // empty alias changes nothing.
    void ShowNameInfoBase();

    // Brings tab n to the front (a tile click).
    void showProfile(int n);
    // "Выбор ИБ" on tab n: a folder dialog; the chosen folder replaces the
    // path field, a cancel changes nothing.
    void pickFolder(int n);

    // Shown centred on the desktop.
    void setVisible(bool visible) override;

    // The controls, for the tests and the main window (n = 1 … 14).
    QTabWidget *tabs() const { return m_tabs; }
    QCheckBox *hideComConnectionsBox() const { return m_hideCom; }
    QWidget *page(int n) const { return at(n).page; }
    QRadioButton *fileRadio(int n) const { return at(n).fileRadio; }
    QRadioButton *clientServerRadio(int n) const { return at(n).clientRadio; }
    QComboBox *versionList(int n) const { return at(n).version; }
    QLineEdit *pathField(int n) const { return at(n).path; }
    QPushButton *pickFolderButton(int n) const { return at(n).pick; }
    QLineEdit *fileLoginField(int n) const { return at(n).fileLogin; }
    QLineEdit *filePasswordField(int n) const { return at(n).filePassword; }
    QLineEdit *clusterField(int n) const { return at(n).cluster; }
    QLineEdit *clusterInfobaseField(int n) const { return at(n).clusterInfobase; }
    QLineEdit *clusterLoginField(int n) const { return at(n).clusterLogin; }
    QLineEdit *clusterPasswordField(int n) const { return at(n).clusterPassword; }
    QLineEdit *aliasField(int n) const { return at(n).alias; }
    QPushButton *actionButton(int n) const { return at(n).action; }
    ProfileTile *tile(int n) const { return at(n).tile; }
    QLabel *tileLabel(int n) const { return at(n).tileLabel; }

    // The folder dialog's caption.
    static QString folderDialogCaption();

protected:
    bool event(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void done(int result) override;

private:
    struct Page {
        QWidget *page = nullptr;
        QRadioButton *fileRadio = nullptr;
        QRadioButton *clientRadio = nullptr;
        QComboBox *version = nullptr;
        QLineEdit *path = nullptr;
        QPushButton *pick = nullptr;
        QLineEdit *fileLogin = nullptr;
        QLineEdit *filePassword = nullptr;
        QLineEdit *cluster = nullptr;
        QLineEdit *clusterInfobase = nullptr;
        QLineEdit *clusterLogin = nullptr;
        QLineEdit *clusterPassword = nullptr;
        QLineEdit *alias = nullptr;
        QPushButton *action = nullptr;
        ProfileTile *tile = nullptr;
        QLabel *tileLabel = nullptr;
        QString psevdoName;   // PsevdoNAME<n>
        InfobaseProfile probe; // connect, ConnectKS1CBase, ConnectFile1CBase as loaded
    };

    const Page &at(int n) const { return m_pages.at(static_cast<size_t>(n - 1)); }
    Page &at(int n) { return m_pages.at(static_cast<size_t>(n - 1)); }

    QWidget *buildPage(int n);
    QWidget *buildTilePanel();
    void onVersionPicked(int n, int index);
    void onFocusChanged(QWidget *old, QWidget *now);
    void saveAll();

    Role m_role;
    QTabWidget *m_tabs = nullptr;
    QCheckBox *m_hideCom = nullptr;
    std::array<Page, kProfileCount> m_pages;
};

// The main window's OpenProfileEditor: a new editor, shown modally, saved
// when it closes and destroyed on return.
void OpenProfileEditor(QWidget *parent);

} // namespace dozorix
