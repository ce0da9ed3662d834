#pragma once
// The backup run of one infobase profile, as a chain of timer steps and
// copy-thread events on the user-interface thread: message before, delay,
// end of the 1C clients, the copy of a file infobase, message after, the ZIP
// step, and the end of the program when the run was unattended. The runner
// window (TForm8) shows its View and passes the buttons' presses in.
//
// Every log line goes to the event log (LogSink) with the stamp in front;
// failure letters go through the mail notifier when ERRORBackup is on.
// Pauses never freeze the window: they are timer steps through the time
// scale (DOZORIX_TIME_SCALE).
//
// Every run ends by one road, finishRun(outcome): a finished copy or dump
// without ZIP, the ZIP step without an upload, the upload's end, a failure
// or a cancel at any step. An unattended run then ends the program with the
// outcome as its exit status (BackupExitCodes.h), once its letters are out.
// Nothing waits for ever: the designer of a dump has a time limit
// (DumpTimeLimit) and a designer that ended without a result fails the dump
// at once; the upload has its own limits (FtpUpload.h).

#include "backup/BackupExitCodes.h"
#include "backup/ServerAgents.h"
#include "common/TimeScale.h"
#include "filecopy/FilesInUse.h"
#include "infobases/InfobaseProfile.h"

#include <QObject>
#include <QElapsedTimer>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

namespace dozorix {

class FTPThread;
class IniFile;
class TFilesCopyMoveThread;
class WatchedCommand;

class BackupRunner : public QObject
{
    Q_OBJECT
public:
    // What the window shows.
    struct View {
        QStringList profiles;          // the aliases, in profile order
        bool listEnabled = true;
        QString startCaption;          // "Сделать "бэкап"", "Отмена", "Отмена выполнения..."
        bool startEnabled = true;
        bool cancelEnabled = true;
        bool closeButton = true;
        bool picture = false;          // the animation while a run is prepared
        QString progressText = QStringLiteral("...");
        int height = 80;               // 80 idle, 141 running, 137 zipping
        bool mainBarShown = true;
        bool mainBarEnabled = true;
        int mainBarWidth = 433;
        qint64 mainBarMax = 100;
        qint64 mainBarPos = 0;
        bool secondBarShown = false;
        bool secondBarEnabled = false;
        qint64 secondBarMax = 100;     // the ZIP's percent, then the upload's bytes
        qint64 secondBarPos = 0;
    };

    // What the runner needs from outside; empty members use the defaults
    // (SendUserNotice, the mail notifier, ShutdownProgram, none).
    struct Hooks {
        std::function<void(const QString &text)> notifyUsers;
        std::function<void(const QString &subject, const QString &body)> sendLetter;
        // Ends the program of an unattended run: its exit status, and what
        // failed (empty when all went well).
        std::function<void(int exitCode, const QString &failure)> shutdown;
        // The upload of the archive named in temp2.txt (step 6); the default
        // is FTPThread with the FTP account of the settings file, ending in
        // uploadEnded().
        std::function<void()> startUpload;
        // Bring the window to the front.
        std::function<void()> raise;
        // Lets pending window events run (from the ZIP progress).
        std::function<void()> processEvents;
        // The run is unattended (AVTO_BACKUP = "Yes").
        std::function<bool()> unattended;
        // Where the 1C designer is looked for (GetProgramFilesDir).
        std::function<QString()> programFilesDir;
        // The 1C server agents running on this host, whose version the
        // designer should match (runningServerAgents).
        std::function<std::vector<ServerAgent>()> serverAgents;
        // Whether the console has a display the designer can use; without
        // one it runs under xvfb-run. Default: DISPLAY or WAYLAND_DISPLAY set.
        std::function<bool()> hasDisplay;
    };

    explicit BackupRunner(Hooks hooks, QObject *parent = nullptr);
    ~BackupRunner() override;

    const View &view() const { return m_view; }

    // The window is shown, and the end of every run: the profiles and the
    // shown settings read again.
    void LoadFunckShow();
    // A profile chosen in the list (by its alias).
    void chooseProfile(const QString &alias);
    QString chosenProfile() const { return m_chosen; }
    // The start button (also "Отмена" while a copy runs) and Esc in a copy.
    void StartBtnClick();
    // The button "Прервать выполнение".
    void Button3Click();

    // The upload started by the ZIP step has ended: ok, cancelled, or failed
    // for the reason given.
    void uploadEnded(bool ok, bool cancelled, const QString &failure);

    // A run is under way (from the start to its last step).
    bool isRunning() const { return m_running; }
    // How the last run ended, and the reason of its first failure.
    BackupExit lastOutcome() const { return m_outcome; }
    QString lastFailure() const { return m_failure; }
    // The designer program of the last client-server step.
    QString designerPath() const { return Puty1c; }
    bool copyRunning() const { return m_copyRunning; }
    // The profile of the number N (1..14) as read by the last LoadFunckShow.
    const InfobaseProfile &profile(int n) const { return m_profiles[n - 1]; }

signals:
    void viewChanged();
    // The run has reached its end (idle again).
    void runEnded();

private:
    void log(const QString &text, bool red = false);
    // Which designer the dump takes and why.
    void logDesignerChoice(const QString &program, const DesignerVersionChoice &wanted);
    void changed() { emit viewChanged(); }
    void readShown(const IniFile &ini);
    void readChosen(const IniFile &ini);
    int chosenNumber() const;
    // The steps that end the 1C clients and log what ended, 3 s apart.
    std::vector<StepChain::Step> end1CClientsSteps();
    void fileStep();
    void onCopyProgress(const QString &file, qint64 position, qint64 total, bool &cancel);
    void onCopyResult(const QString &file, bool failed, quint32 error);
    void copyFailed(const QString &file, const QString &reason);
    void onCopyEnd();
    void zipStep();
    void ClserverOrFileBase();
    void clientServerStep();
    void pollDesigner();
    void ConBase(std::function<void()> then);
    void finishCancel();
    void startFtpUpload();
    void inspectSource();
    void startCopy(const FilesInUse &inUse);
    void failCopyBeforeStart(const QString &what, const QString &reason);
    // The dump failed: the lines in red, the failure lines and letter; the run
    // ends unless the same result also reports the success.
    void designerFailed(const QStringList &lines, const QString &letterReason, bool endsRun = true);
    void dumpSucceeded();
    void applyRetention(const QString &current);
    // Notes how the run went (BackupExitCodes.h worseOf: the first failure
    // stands, a failure takes a cancel's place) and why.
    void noteFailure(BackupExit outcome, const QString &reason);
    // The one end of every run: its outcome noted with the reason; an
    // unattended one ends the program after exitPauseMs (the pause after an
    // upload).
    void finishRun(BackupExit outcome, const QString &reason = QString(), qint64 exitPauseMs = 0);
    // Ends the program of an unattended run once its letters are out.
    void finishUnattended(BackupExit outcome, qint64 patienceMs = 120000);
    bool unattended() const { return m_hooks.unattended && m_hooks.unattended(); }
    void clearSteps();
    // Runs the steps as a chain of the run: a cancel drops what is left.
    void runSteps(std::vector<StepChain::Step> steps);

    Hooks m_hooks;
    View m_view;
    InfobaseProfile m_profiles[14];
    QString m_chosen;

    // The backup settings (section BACKUP and settings).
    QString DPAth, FirsMessage, LastMessage, Shag2, ShifrArhiv;
    bool Shag1 = false, Shag3 = false, Shag4 = false, Shag5 = false, Shag6 = false;
    bool ERRORBACKUP = true, ERRORBackupSendFTP = false;
    QString SPAth;

    // The run.
    QString Put;
    QString KSBASE;
    QString Puty1c;
    QString ConnectString;
    QString base_name_mem;
    int m_serverDelayMs = 3000;
    QString m_copyFolder; // the folder this run's copy made
    bool fStop = false;
    bool StopProcess = false;
    BackupExit m_outcome = BackupExit::Done;
    QString m_failure;
    bool m_zipping = false;   // the ZIP build runs (a cancel ends the run through it)
    bool m_uploading = false; // the upload runs (idem)
    std::shared_ptr<WatchedCommand> m_designer; // the dump's designer command
    QElapsedTimer m_designerClock;              // since it started (a monotonic clock)
    double m_dumpLimitHours = 6;
    int m_keepBackups = 0;
    QPointer<FTPThread> m_ftp;
    QPointer<QThread> m_inspect; // the open-file and size inspection before a copy
    bool m_copyRunning = false;
    bool m_running = false;
    int m_delayMs = 1000;
    QTimer m_timer1; // the file step after the delay
    QTimer m_timer2; // the designer's result poll
    QTimer m_timer3; // the client-server step after the delay
    QTimer m_timer4; // the ZIP step
    FilesInUse m_inUse; // files of the infobase in use when the copy began
    // What the run has pending (its step chains, its single pauses, the
    // inspection's answer) lives on this object; a cancel replaces it, and
    // with it goes everything still waiting.
    QObject *m_runScope = nullptr;
    int m_lettersPending = 0; // letters waiting for their pause
};

} // namespace dozorix
