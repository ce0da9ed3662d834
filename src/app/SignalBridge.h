#pragma once
// Turns SIGTERM, SIGINT and SIGHUP (the terminal that started the console
// closed) into a Qt signal on the user-interface thread, so that they end
// the program the ordinary way (ShutdownProgram).

#include <QObject>

class QSocketNotifier;

namespace dozorix {

// SIGXFSZ (a write past the file-size limit, `ulimit -f`) is caught and
// does nothing, so that the write fails with EFBIG and is handled as a full
// disk instead of ending the program. A caught signal, unlike an ignored
// one, goes back to its default in the programs the console starts.
void catchFileSizeLimit();

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
