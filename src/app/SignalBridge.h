#pragma once
// Turns SIGTERM and SIGINT into a Qt signal on the user-interface thread, so
// that they end the program the ordinary way (ShutdownProgram).

#include <QObject>

class QSocketNotifier;

namespace dozorix {

class SignalBridge : public QObject
{
    Q_OBJECT
public:
    explicit SignalBridge(QObject *parent = nullptr);
    ~SignalBridge() override;

signals:
    void terminationRequested(int signalNumber);

private:
    void readSignal();

    QSocketNotifier *m_notifier = nullptr;
};

} // namespace dozorix
