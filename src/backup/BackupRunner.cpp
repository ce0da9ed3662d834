#include "BackupRunner.h"

#include "BackupScenario.h"
#include "DesignerDump.h"
#include "CommandLine.h"
#include "CommandRunner.h"
#include "FTPThread.h"
#include "FileCopy.h"
#include "FilesCopyMoveThread.h"
#include "FilesInUse.h"
#include "HandOffFile.h"
#include "IniFile.h"
#include "LogSink.h"
#include "NotificationMail.h"
#include "ProfileStore.h"
#include "ProgramDir.h"
#include "SafeFile.h"
#include "Stamps.h"
#include "SystemHelpers.h"
#include "TimeScale.h"
#include "TextCodec.h"
#include "UserMessages.h"
#include "ZipStep.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <sys/stat.h>

namespace dozorix {

namespace {

const QString kBackup = QStringLiteral("BACKUP");
const QString kSettings = QStringLiteral("settings");
const QString kStartCaption = QStringLiteral("Сделать \"бэкап\"");
const char *const kProgressWords[] = {"старт", "инициализация", "прогресс", "завершение", "конец", "исключение"};

QByteArray readHandOff(const QString &name)
{
    QByteArray bytes;
    loadHandOffBytes(name, &bytes);
    return bytes;
}

void writeHandOff(const QString &name, const QString &text)
{
    writeRegularFile(programFile(name), toCp1251(text));
}

} // namespace

BackupRunner::BackupRunner(Hooks hooks, QObject *parent)
    : QObject(parent)
    , m_hooks(std::move(hooks))
{
    m_view.startCaption = kStartCaption;
    m_timer1.setSingleShot(true);
    m_timer4.setSingleShot(true);
    setScaledInterval(&m_timer1, m_delayMs);
    setScaledInterval(&m_timer4, 3000);
    connect(&m_timer1, &QTimer::timeout, this, &BackupRunner::fileStep);
    connect(&m_timer4, &QTimer::timeout, this, &BackupRunner::zipStep);
    m_timer3.setSingleShot(true);
    setScaledInterval(&m_timer2, 3000);
    setScaledInterval(&m_timer3, m_serverDelayMs);
    connect(&m_timer2, &QTimer::timeout, this, &BackupRunner::pollDesigner);
    connect(&m_timer3, &QTimer::timeout, this, &BackupRunner::clientServerStep);
    if (!m_hooks.startUpload)
        m_hooks.startUpload = [this] { startFtpUpload(); };
    if (!m_hooks.programFilesDir)
        m_hooks.programFilesDir = [] { return GetProgramFilesDir(); };
    if (!m_hooks.hasDisplay)
        m_hooks.hasDisplay = [] {
            return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
        };
    if (!m_hooks.notifyUsers)
        m_hooks.notifyUsers = [](const QString &text) { SendUserNotice(text); };
    if (!m_hooks.sendLetter)
        m_hooks.sendLetter = [](const QString &subject, const QString &body) {
            SendNotificationMail(subject, body, kBackupLetterSuccessLine, {}, [](const QString &) {});
        };
}

BackupRunner::~BackupRunner() = default;

void BackupRunner::log(const QString &text, bool red)
{
    logLine(LogStamp() + text, red ? kLogRed : kLogGreen);
}

void BackupRunner::after(qint64 designMs, std::function<void()> fn)
{
    const quint64 generation = m_generation;
    afterPause(this, designMs, [this, generation, fn = std::move(fn)] {
        if (generation == m_generation)
            fn();
    });
}

void BackupRunner::clearSteps()
{
    Shag1 = Shag3 = Shag4 = Shag5 = Shag6 = false;
    Shag2.clear();
}

void BackupRunner::readShown(const IniFile &ini)
{
    for (int n = 1; n <= 14; ++n)
        m_profiles[n - 1] = readProfile(ini, n);
    DPAth = ini.readString(kBackup, QStringLiteral("AvtoPath"), QString());
    Shag1 = ini.readBool(kBackup, QStringLiteral("MsgFirstSend"), Shag1);
    FirsMessage = ini.readString(kBackup, QStringLiteral("MsgDo"), QString());
    LastMessage = ini.readString(kBackup, QStringLiteral("MsgPosle"), LastMessage);
    Shag2 = ini.readString(kBackup, QStringLiteral("Zadergka"), QString());
    Shag3 = ini.readBool(kBackup, QStringLiteral("Close1C"), Shag3);
    Shag4 = ini.readBool(kBackup, QStringLiteral("MsgAfterBackup"), Shag4);
    Shag5 = ini.readBool(kBackup, QStringLiteral("ZipArhiv"), Shag5);
    Shag6 = ini.readBool(kBackup, QStringLiteral("FtpArhiv"), Shag6);
}

void BackupRunner::readChosen(const IniFile &ini)
{
    ShifrArhiv = ini.readString(kBackup, QStringLiteral("ZipArhivShifr"), ShifrArhiv);
    ERRORBACKUP = ini.readBool(kSettings, QStringLiteral("ERRORBackup"), true);
    ERRORBackupSendFTP = ini.readBool(kSettings, QStringLiteral("ERRORBackupSendFTP"), ERRORBackupSendFTP);
}

void BackupRunner::LoadFunckShow()
{
    m_view.profiles.clear();
    m_view.height = 80;
    m_view.picture = false;
    m_view.mainBarShown = true;
    m_view.mainBarWidth = 433;
    if (settingsFileExists())
        readShown(IniFile(settingsFilePath()));
    for (const InfobaseProfile &p : m_profiles) {
        if (!p.alias.isEmpty())
            m_view.profiles.append(p.alias);
    }
    changed();
}

int BackupRunner::chosenNumber() const
{
    // Two profiles of one alias: the higher number wins.
    for (int n = 14; n >= 1; --n) {
        if (!m_chosen.isEmpty() && m_profiles[n - 1].alias == m_chosen)
            return n;
    }
    return 0;
}

void BackupRunner::chooseProfile(const QString &alias)
{
    m_chosen = alias;
    if (settingsFileExists()) {
        const IniFile ini(settingsFilePath());
        readShown(ini);
        readChosen(ini);
    }
    const int n = chosenNumber();
    SPAth = n ? m_profiles[n - 1].path : QString();
    changed();
}

void BackupRunner::end1CClients(std::function<void()> then)
{
    LaunchShellHidden(kEnd1CClientsCommand);
    after(3000, [this, then = std::move(then)] {
        const QStringList lines = end1CClientsLines(readHandOff(QStringLiteral("temp.txt")));
        for (const QString &line : lines)
            log(line);
        if (lines.isEmpty())
            log(kNothingToEndLine, true);
        emptyHandOffFile(QStringLiteral("temp.txt"));
        if (then)
            then();
    });
}

void BackupRunner::StartBtnClick()
{
    m_timer1.stop();
    fStop = false;
    if (m_chosen.isEmpty()) {
        log(QStringLiteral("Сперва выберите информационную базу для «бэкапа»!"), true);
        m_view.mainBarEnabled = false;
        m_view.secondBarEnabled = false;
        m_view.listEnabled = true;
        m_view.height = 80;
        changed();
        return;
    }
    m_view.closeButton = false;
    m_view.height = 141;
    m_view.cancelEnabled = true;
    m_view.progressText.clear();
    if (!m_copyRunning)
        Put.clear();
    m_view.listEnabled = false;
    const int n = chosenNumber();
    bool clientServer = false;
    for (const InfobaseProfile &p : m_profiles)
        clientServer = clientServer || (p.alias == m_chosen && p.clientServer);
    KSBASE = clientServer ? QStringLiteral("Yes") : QString();
    m_running = true;
    if (KSBASE == QLatin1String("Yes")) {
        ClserverOrFileBase();
        return;
    }
    m_view.secondBarEnabled = false;
    m_view.secondBarShown = false;
    m_view.mainBarShown = true;
    m_view.mainBarPos = 0;
    m_view.mainBarWidth = 354;
    m_view.picture = true;
    m_view.progressText = QStringLiteral("Подготовка к выполнению \"бэкапа\" ") + m_chosen;
    log(m_view.progressText);
    if (!m_copyRunning && Shag1)
        m_hooks.notifyUsers(FirsMessage);
    log(QStringLiteral("Задержка перед выполнением \"бэкапа\": ") + Shag2 + QLatin1Char('!'));
    if (m_copyRunning) {
        // "Отмена": the copy stops at its next file and its end cleans up.
        fStop = true;
        m_view.startCaption = QStringLiteral("Отмена выполнения...");
        m_view.startEnabled = false;
        const QString handedOff = lastNonEmptyLine(readHandOff(QStringLiteral("temp.txt")));
        if (!handedOff.isEmpty()) {
            Put = handedOff;
            after(1000, [] { emptyHandOffFile(QStringLiteral("temp.txt")); });
        }
        m_view.picture = false;
        m_view.mainBarWidth = 433;
        log(QStringLiteral("Идет отмена выполнения \"бэкапа\" ") + m_chosen, true);
        m_view.progressText = QStringLiteral("Отмена!");
        changed();
        return;
    }
    m_view.startEnabled = false;
    m_delayMs = backupDelayMs(Shag2, m_delayMs);
    // A delay never stored runs without one: a run that waits for nothing
    // would keep its running look for ever.
    setScaledInterval(&m_timer1, Shag2.isEmpty() ? 500 : m_delayMs);
    m_timer1.start();
    if (Shag2.isEmpty() && Shag3)
        end1CClients({});
    changed();
}

void BackupRunner::fileStep()
{
    m_view.startEnabled = true;
    if (m_hooks.raise)
        m_hooks.raise();
    const auto copy = [this] {
        m_view.cancelEnabled = false;
        Put = fileBackupFolder(DPAth, DateTimeFolderStamp(), m_chosen);
        m_copyFolder = Put;
        writeHandOff(QStringLiteral("temp.txt"), Put);
        if (Shag5)
            writeHandOff(QStringLiteral("temp2.txt"), Put);
        QDir().mkdir(Put);
        m_view.startCaption = QStringLiteral("Отмена");
        m_copyRunning = true;
        changed();
        // What 1C (or anyone) is writing or holds locked is not copied: a
        // copy taken while it changes may not restore.
        m_inUse = FilesInUse::snapshot(QFile::encodeName(SPAth));
        try {
            auto *thread = new TFilesCopyMoveThread(true, SPAth, Put, QStringLiteral("*.*"), fwmCopy);
            // A runner that is gone stops the copy at its next file.
            const QPointer<BackupRunner> self(this);
            thread->SetOnProgress([self](TFilesCopyMoveThread *, const QString &file, bool, TFileWorkMode,
                                         qint64 position, qint64 total, bool &cancel) {
                if (!self) {
                    cancel = true;
                    return;
                }
                self->onCopyProgress(file, position, total, cancel);
            });
            thread->SetOnFileResult([self](TFilesCopyMoveThread *, const QString &file, bool, TFileWorkMode,
                                           bool failed, quint32 error) {
                if (self)
                    self->onCopyResult(file, failed, error);
            });
            thread->SetOnTerminate([self](TFilesCopyMoveThread *) {
                if (self)
                    self->onCopyEnd();
            });
            thread->SetFreeOnTerminate(true);
            thread->start();
        } catch (const EFilesCopyMoveThreadException &) {
            // Nothing to copy from: the run goes on as after a copy of nothing.
            onCopyEnd();
        }
    };
    if (Shag3)
        end1CClients(copy);
    else
        copy();
}

void BackupRunner::onCopyProgress(const QString &file, qint64 position, qint64 total, bool &cancel)
{
    struct stat st {};
    if (!m_inUse.isEmpty() && ::stat(QFile::encodeName(file).constData(), &st) == 0
        && m_inUse.contains(st.st_dev, st.st_ino)) {
        onCopyResult(file, true, kFileInUse);
        cancel = true;
        changed();
        return;
    }
    m_view.mainBarMax = total;
    m_view.mainBarPos = position;
    m_view.progressText = QStringLiteral("Копирую: ") + file;
    cancel = fStop;
    changed();
}

void BackupRunner::onCopyResult(const QString &file, bool failed, quint32 error)
{
    if (!failed) {
        log(QStringLiteral("Файл: \"") + file + QStringLiteral("\" успешно скопирован."));
        return;
    }
    const QString reason = static_cast<int>(error) == kFileInUse ? fileInUseText()
                                                                 : fileErrorText(static_cast<int>(error));
    log(QStringLiteral("Ошибка копирования файла: \"") + file + QStringLiteral(" Ошибка:- ") + reason, true);
    log(QStringLiteral("\"Бэкап \" ") + m_chosen + QStringLiteral(", не был выполнен удачно!"), true);
    fStop = true;
    clearSteps();
    const QString alias = m_chosen;
    ++m_lettersPending;
    after(500, [this, alias, reason, file] {
        --m_lettersPending;
        if (ERRORBACKUP && settingsFileExists()) {
            const BackupLetter letter = copyFailureLetter(alias, GetComputerNameText(), LogStamp(), reason, file);
            m_hooks.sendLetter(letter.subject, letter.body);
        }
    });
}

void BackupRunner::onCopyEnd()
{
    m_view.startEnabled = true;
    m_view.startCaption = kStartCaption;
    if (!fStop && Shag4)
        m_hooks.notifyUsers(LastMessage);
    m_copyRunning = false;
    if (fStop) {
        log(QStringLiteral("\"Бэкап\" отменен!"), true);
        // Only the folder this run made, and only inside the backup folder.
        const QString made = m_copyFolder.trimmed();
        if (zipContainerFor(made, DPAth).valid)
            QDir(made).removeRecursively();
        m_view.listEnabled = true;
        m_view.cancelEnabled = true;
        fStop = false;
        m_view.progressText = QStringLiteral("Отмена...");
        log(QStringLiteral("Закрываю поток."));
        clearSteps();
    }
    m_copyFolder.clear();
    m_view.progressText = QStringLiteral("Работа завершена!");
    log(m_view.progressText);
    const bool zip = Shag5;
    const bool upload = Shag6;
    if (zip) {
        log(QStringLiteral("Приступаю к упаковке в zip архив!"));
        m_view.progressText = QStringLiteral("Приступаю к упаковке в zip архив!");
        m_timer4.start();
        m_view.secondBarShown = true;
    }
    m_view.cancelEnabled = true;
    Put.clear();
    m_view.closeButton = true;
    if (m_hooks.raise)
        m_hooks.raise();
    emptyHandOffFile(QStringLiteral("temp.txt"));
    m_view.picture = false;
    m_view.mainBarWidth = 433;
    m_view.listEnabled = true;
    changed();
    if (m_hooks.unattended && m_hooks.unattended() && !zip && !upload)
        endProgram();
    LoadFunckShow();
    if (!zip)
        finishRun();
}

void BackupRunner::zipStep()
{
    m_timer4.stop();
    m_view.secondBarEnabled = true;
    m_view.secondBarMax = 100;
    m_view.secondBarPos = 0;
    m_view.mainBarEnabled = true;
    m_view.mainBarShown = true;
    m_view.secondBarShown = true;
    m_view.listEnabled = false;
    m_view.startEnabled = false;
    m_view.height = 137;
    changed();
    StopProcess = false;
    const ZipStepOutcome out = runZipStep(
        DPAth, readHandOff(QStringLiteral("temp2.txt")), ShifrArhiv,
        [this](TFWZipWriter *, const QString &file, quint8 percent, quint8 total, bool &cancel, TProgressState state) {
            cancel = StopProcess;
            m_view.progressText = QStringLiteral("Сжатие процент: (%1) Файл: %2").arg(percent).arg(file);
            m_view.mainBarPos = percent;
            m_view.mainBarMax = 100;
            m_view.secondBarMax = 100;
            m_view.secondBarPos = total;
            changed();
            log(QStringLiteral("%1 - %2 процент %3 всего %4")
                    .arg(file, QString::fromUtf8(kProgressWords[state]))
                    .arg(percent)
                    .arg(total));
            if (m_hooks.processEvents) {
                m_hooks.processEvents();
                m_hooks.processEvents();
            }
        });
    const bool done = out.kind == ZipStepOutcome::Done;
    if (done) {
        m_view.progressText = QStringLiteral("Сжатие завершено!");
        log(QStringLiteral("Сжатие завершено! "));
    } else {
        // The unpacked backup stays: it is the only complete copy.
        m_view.progressText = QStringLiteral("Архив не создан!");
        log(QStringLiteral("Архив не создан: ") + out.reason
                + (out.backup.isEmpty() ? QString() : QStringLiteral(". «Бэкап» сохранён без упаковки: ") + out.backup),
            true);
        if (ERRORBACKUP && settingsFileExists()) {
            const BackupLetter letter =
                zipFailureLetter(m_chosen, GetComputerNameText(), LogStamp(), out.reason, out.backup);
            m_hooks.sendLetter(letter.subject, letter.body);
        }
    }
    m_view.listEnabled = true;
    changed();
    const bool unattended = m_hooks.unattended && m_hooks.unattended();
    if (done && Shag6 && m_hooks.startUpload) {
        log(QStringLiteral("Приступаю к отправке zip архива на FTP сервер!"));
        m_view.progressText = QStringLiteral("Отправка zip архива на FTP сервер...");
        m_view.listEnabled = false;
        m_view.mainBarEnabled = false;
        m_view.mainBarShown = false;
        changed();
        m_hooks.startUpload();
        return; // the upload's end ends the run (uploadEnded)
    }
    QFile::remove(programFile(QStringLiteral("temp2.txt")));
    m_view.startEnabled = true;
    changed();
    if (unattended)
        endProgram();
    LoadFunckShow();
    finishRun();
}

void BackupRunner::startFtpUpload()
{
    const IniFile ini(settingsFilePath());
    const bool unattended = m_hooks.unattended && m_hooks.unattended();
    auto *ftp = new FTPThread(readFtpUploadJob(ini, unattended, ERRORBackupSendFTP), this);
    connect(ftp, &FTPThread::progressBarEnabled, this, [this](bool on) {
        m_view.secondBarEnabled = on;
        changed();
    });
    connect(ftp, &FTPThread::transferStarted, this, [this](qint64 total) {
        m_view.secondBarMax = total;
        m_view.secondBarPos = 0;
        changed();
    });
    connect(ftp, &FTPThread::transferProgress, this, [this](qint64 sent) {
        m_view.secondBarPos = sent;
        changed();
    });
    connect(ftp, &FTPThread::cancelButtonEnabled, this, [this](bool on) {
        m_view.cancelEnabled = on;
        changed();
    });
    connect(ftp, &FTPThread::progressText, this, [this](const QString &text) {
        m_view.progressText = text;
        changed();
    });
    connect(ftp, &FTPThread::controlsReleased, this, [this] {
        m_view.startEnabled = true;
        m_view.listEnabled = true;
        m_view.cancelEnabled = true;
        changed();
    });
    connect(ftp, &FTPThread::uploadEnded, this, [this](bool, const QString &) { uploadEnded(); });
    connect(ftp, &FTPThread::shutdownRequested, this, [this] { endProgram(); });
    connect(ftp, &QThread::finished, ftp, [ftp] {
        // The exit timer of an unattended run lives in the thread object.
        if (!ftp->exitTimerArmed())
            ftp->deleteLater();
    });
    ftp->start();
}

void BackupRunner::uploadEnded()
{
    m_view.startEnabled = true;
    m_view.listEnabled = true;
    LoadFunckShow();
    finishRun();
}

void BackupRunner::Button3Click()
{
    StopProcess = true;
    clearSteps();
    fStop = true;
    ++m_generation; // pending pauses of the run are dropped
    m_view.startCaption = kStartCaption;
    m_view.startEnabled = true;
    m_view.listEnabled = true;
    m_timer1.stop();
    m_timer4.stop();
    m_view.picture = false;
    m_view.mainBarWidth = 433;
    m_view.progressText = QStringLiteral("Бэкап информационной базы: ") + m_chosen + QStringLiteral(" отменен");
    m_view.profiles.clear();
    m_chosen.clear();
    m_view.mainBarEnabled = false;
    m_view.secondBarEnabled = false;
    Put.clear();
    if (m_hooks.raise)
        m_hooks.raise();
    m_timer2.stop();
    m_timer3.stop();
    if (KSBASE == QLatin1String("Yes")) {
        // The designer and every 1C client of this user end; the partial
        // dump stays where it is.
        log(QStringLiteral("Ждите, выполняю отмену \"бэкапа\"..."));
        LaunchShellHidden(CommandLine(QStringLiteral("/C chcp 1251 && TASKKILL /F /FI \"USERNAME eq %1\" /IM 1cv8* /T "),
                                      {GetUserNameText().trimmed()}));
        KSBASE.clear();
        const quint64 generation = m_generation;
        afterPause(this, 15000, [this, generation] {
            if (generation != m_generation)
                return;
            ConBase([this] {
                if (m_hooks.raise)
                    m_hooks.raise();
                finishCancel();
            });
        });
        changed();
        return;
    }
    finishCancel();
}

void BackupRunner::finishCancel()
{
    m_view.closeButton = true;
    log(QStringLiteral("Выполнение \"бэкапа\" отменено!"));
    LoadFunckShow();
    Shag6 = false;
    if (!m_copyRunning)
        finishRun(); // a running copy ends through its own end
}

void BackupRunner::ConBase(std::function<void()> then)
{
    // The profile store reads the profiles again (their monitoring
    // connections are its own), then the pause.
    if (ProfileHolder *holder = profileHolder())
        holder->ChitatINI();
    after(500, std::move(then));
}

void BackupRunner::ClserverOrFileBase()
{
    if (m_hooks.processEvents)
        m_hooks.processEvents();
    if (m_hooks.raise)
        m_hooks.raise();
    m_view.mainBarShown = false;
    m_view.secondBarShown = false;
    m_view.progressText =
        QStringLiteral("Ждите, выполняю бэкап клиент-серверной: ") + m_chosen + QStringLiteral(" /------/...");
    m_view.picture = true;
    log(QStringLiteral("Подготовка к выполнению \"бэкапа\" ") + m_chosen);
    if (Shag1)
        m_hooks.notifyUsers(FirsMessage);
    if (!Shag2.isEmpty())
        log(QStringLiteral("Задержка перед выполнением \"бэкапа\": ") + Shag2 + QLatin1Char('!'));
    m_view.startEnabled = false;
    m_serverDelayMs = backupDelayMs(Shag2, m_serverDelayMs);
    // A delay never stored runs without one instead of waiting for nothing.
    setScaledInterval(&m_timer3, Shag2.isEmpty() ? 500 : m_serverDelayMs);
    m_timer3.start();
    const int n = chosenNumber();
    ConnectString = m_profiles[n - 1].clusterConnectionString();
    changed();
}

void BackupRunner::clientServerStep()
{
    const auto dump = [this] {
        const InfobaseProfile &p = m_profiles[chosenNumber() - 1];
        const QString user = p.clusterLogin;
        const QString password = p.clusterPassword;
        const QString connector = p.connector;
        after(p.comProbeOn() ? 500 : 0, [this, user, password, connector] {
            const QString program = designerProgram(connector, m_hooks.programFilesDir());
            if (!program.isEmpty())
                Puty1c = program;
            after(3000, [this, user, password] {
                Put = dumpFilePath(DPAth, m_chosen, DateTimeFolderStamp());
                const QString out = programFile(QStringLiteral("temp.txt"));
                LaunchShellHidden(m_hooks.hasDisplay()
                                      ? designerCommand(Puty1c, ConnectString, Put, user, password, out)
                                      : designerCommandWithoutDisplay(Puty1c, ConnectString, Put, user, password, out));
                after(5000, [this] {
                    m_timer2.start();
                    log(QStringLiteral("Приступаю к выполнению \"бэкапа\" информационной базы: ") + m_chosen
                        + QStringLiteral(" в клиент - сервере /...."));
                    if (m_hooks.raise)
                        m_hooks.raise();
                });
            });
        });
    };
    m_timer3.stop();
    if (Shag3)
        end1CClients([this, dump] { after(500, dump); });
    else
        dump();
}

void BackupRunner::pollDesigner()
{
    base_name_mem = m_chosen;
    if (m_hooks.raise)
        m_hooks.raise();
    const QStringList lines = designerResultLines(readHandOff(QStringLiteral("temp.txt")));
    for (const QString &line : lines) {
        if (line != kDumpSucceededLine) {
            log(line, true);
            m_timer2.stop();
            NoBakup = QStringLiteral("No");
        }
    }
    bool ended = false;
    if (NoBakup == QLatin1String("No")) {
        log(QStringLiteral("Бэкап информационной базы: ") + base_name_mem + QStringLiteral(" не выполнен!"), true);
        m_view.listEnabled = true;
        if (ERRORBACKUP && settingsFileExists()) {
            const BackupLetter letter =
                dumpFailureLetter(base_name_mem, GetComputerNameText(), LogStamp(), lines.isEmpty() ? QString() : lines.last());
            m_hooks.sendLetter(letter.subject, letter.body);
        }
        if (m_hooks.unattended && m_hooks.unattended())
            endProgram();
        m_view.progressText =
            QStringLiteral("ОШИБКА! - бэкап информационной базы: ") + base_name_mem + QStringLiteral(" не выполнен!");
        m_view.closeButton = true;
        m_view.picture = false;
        m_view.startEnabled = true;
        NoBakup.clear();
        clearSteps();
        LoadFunckShow();
        ended = true;
    }
    if (lines.contains(kDumpSucceededLine)) {
        KSBASE.clear();
        m_view.listEnabled = true;
        m_view.picture = false;
        m_timer2.stop();
        log(QStringLiteral("Ждите, приступаю к завершению создания \"бэкапа\"..."));
        m_view.mainBarEnabled = false;
        m_view.closeButton = true;
        if (m_hooks.unattended && m_hooks.unattended() && !Shag5 && !Shag6)
            endProgram();
        if (Shag5) {
            writeHandOff(QStringLiteral("temp2.txt"), Put);
            log(QStringLiteral("Приступаю к упаковке в zip архив!"));
            m_view.progressText = QStringLiteral("Приступаю к упаковке в zip архив!");
            m_timer4.start();
        }
        if (!fStop && Shag4)
            m_hooks.notifyUsers(LastMessage);
        m_view.progressText = QStringLiteral("Бэкап информационной базы: ") + base_name_mem
                              + QStringLiteral(" успешно выполнен!");
        log(m_view.progressText);
        m_view.startEnabled = true;
        ended = !Shag5;
    }
    emptyHandOffFile(QStringLiteral("temp.txt"));
    changed();
    if (ended && !m_timer4.isActive()) {
        KSBASE.clear();
        LoadFunckShow();
        finishRun();
    }
}

void BackupRunner::endProgram(qint64 patienceMs)
{
    if (!m_hooks.shutdown)
        return;
    // The letters are the administrator's only notice of an unattended
    // night: the program ends once they are out (or after two minutes).
    if ((m_lettersPending == 0 && mailsInFlight() == 0) || patienceMs <= 0) {
        m_hooks.shutdown();
        return;
    }
    afterPause(this, 200, [this, patienceMs] { endProgram(patienceMs - 200); });
}

void BackupRunner::finishRun()
{
    if (!m_running)
        return;
    m_running = false;
    emit runEnded();
}

} // namespace dozorix
