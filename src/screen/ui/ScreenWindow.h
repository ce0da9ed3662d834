#pragma once
// The two remote screen windows: the control window TForm11 ("Управление":
// pictures, keys, mouse and key combinations) and the view window TForm50
// (pictures and keys). Both are made once with the main window and hidden,
// not destroyed, when closed. The picture exchange and the lines are the
// ScreenLink's; this window shows and forwards.

#include "screen/ScreenKeys.h"
#include "screen/ScreenLink.h"

#include <QImage>
#include <QWidget>

#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;

namespace dozorix {

// The picture at its natural size: one picture pixel, one window pixel.
class ScreenPictureView : public QWidget
{
    Q_OBJECT
public:
    using QWidget::QWidget;
    void setPicture(const ScreenPicture &picture);
    void clear();
    const QImage &image() const { return m_image; }
    QSize sizeHint() const override { return m_image.size(); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QByteArray m_pixels; // shared with the link's picture: no copy
    QImage m_image;
};

class ScreenWindow : public QWidget
{
    Q_OBJECT
public:
    enum class Kind { Control, View };
    // What the window needs from the main window.
    struct Hooks {
        // The main window's `SendHost`, copied into the address field
        // whenever the window is shown; empty: the field keeps its text.
        std::function<QString()> sendHost;
    };
    ScreenWindow(Kind kind, Hooks hooks, QWidget *parent = nullptr);
    ~ScreenWindow() override;

    Kind kind() const { return m_kind; }
    // "Подключится" and "Отключить", as the buttons do.
    void connectClicked();
    void disconnectClicked();
    // The activation step at once, for a window just shown and about to be
    // used before the window system's activation arrives (that one then
    // does not run the step again).
    void activateNow();
    // "Отправить" (control window).
    void sendClicked();

    ScreenLink *link() const { return m_link; }
    QPushButton *connectButton() const { return m_connect; }
    QPushButton *disconnectButton() const { return m_disconnect; }
    QPushButton *sendButton() const { return m_send; }
    QLineEdit *hostBox() const { return m_host; }
    QComboBox *combinationList() const { return m_combinations; }
    QScrollArea *pictureArea() const { return m_area; }
    ScreenPictureView *pictureView() const { return m_view; }
    QWidget *topBar() const { return m_bar; }

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void onActivated();
    // Port2 of the settings file; false when it is missing or no number.
    bool readPort(quint16 *port, QString *text) const;
    void forwardKey(QKeyEvent *event);
    void showPicture();
    void clearPicture();

    Kind m_kind;
    Hooks m_hooks;
    ScreenLink *m_link = nullptr;
    HeldKeys m_keys;
    quint16 m_port = 0;
    bool m_portErrorShown = false;
    bool m_activationDone = false;
    QWidget *m_bar = nullptr;
    QPushButton *m_connect = nullptr;
    QPushButton *m_disconnect = nullptr;
    QLineEdit *m_host = nullptr;
    QLabel *m_combinationLabel = nullptr;
    QComboBox *m_combinations = nullptr;
    QPushButton *m_send = nullptr;
    QScrollArea *m_area = nullptr;
    ScreenPictureView *m_view = nullptr;
};

class TForm11 : public ScreenWindow
{
    Q_OBJECT
public:
    explicit TForm11(Hooks hooks, QWidget *parent = nullptr)
        : ScreenWindow(Kind::Control, std::move(hooks), parent)
    {
    }
};

class TForm50 : public ScreenWindow
{
    Q_OBJECT
public:
    explicit TForm50(Hooks hooks, QWidget *parent = nullptr)
        : ScreenWindow(Kind::View, std::move(hooks), parent)
    {
    }
};

} // namespace dozorix
