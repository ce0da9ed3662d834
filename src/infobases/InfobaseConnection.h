#pragma once
// A connection to a 1C infobase, held by a connector program.
//
// 1C:Enterprise has no COM on Linux; a connector takes the place of the COM
// object a ProgID names. The connector of ProgID P is the program named
// exactly P ("V83.ComConnector", "V82.ComConnector", …), looked up first in
// the program directory, then on PATH. It is started without arguments and
// reads the connection string as the first line of its standard input
// (UTF-8, ended by a line feed): the string holds the infobase password, and
// a program's arguments are public to every local user (/proc/<pid>/cmdline)
// for as long as it runs. It answers with one line on its output:
//
//   OK [text]        connected; it keeps running and holds the connection
//                    until its input ends or it gets SIGTERM
//   ERROR <reason>   refused; it ends
//
// Anything else, an end without an answer, or no answer within the time limit
// counts as a refusal (the connector is then ended). The line is handed to
// the connector through the event loop: a connector that never reads it,
// closes its input or never answers holds nothing up. The console ships
// dozorix-connector under the four names (see the README for what it checks).

#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>

namespace dozorix {

// The connector program of a ProgID: the program directory first, then
// PATH; empty when there is none (the ProgID is "not registered").
QString findConnectorProgram(const QString &progId);

// Why a connection string cannot be handed to a connector as one line (it
// holds a line feed, a carriage return or a NUL character); empty when it
// can. The text never repeats the string, nor anything of it.
QString connectionStringRefusal(const QString &connectionString);

class InfobaseConnection : public QObject
{
    Q_OBJECT
public:
    enum class State { Connecting, Connected, Failed, Closed };

    // The connector's designed time limit for its answer (through the time scale).
    static constexpr qint64 kAnswerLimitMs = 30000;

    // Starts the connector at once and hands it the connection string,
    // which connectionStringRefusal() must have let through (a string it
    // refuses starts nothing: the connection fails with that reason).
    InfobaseConnection(const QString &program, const QString &progId, const QString &connectionString,
                       QObject *parent = nullptr);
    // Ends the connector.
    ~InfobaseConnection() override;

    State state() const { return m_state; }
    bool isConnected() const { return m_state == State::Connected; }
    // Why it failed (Russian, with the connector's own text).
    QString reason() const { return m_reason; }
    qint64 processId() const { return m_process.processId(); }

    // Ends the connector and with it the connection.
    void close();

signals:
    // Once: connected, or failed (reason()).
    void settled(bool connected);

private:
    void onOutput();
    void onFinished(int code);
    void fail(const QString &reason);

    QProcess m_process;
    QTimer m_limit;
    QString m_progId;
    QByteArray m_output;
    State m_state = State::Connecting;
    QString m_reason;
};

} // namespace dozorix
