#include "backup/BackupRunner.h"

#include "backup/BackupScenario.h"
#include "backup/DesignerDump.h"
#include "backup/DiskSpace.h"
#include "backup/FTPThread.h"
#include "backup/Retention.h"
#include "backup/ZipStep.h"
#include "common/Background.h"
#include "common/IniFile.h"
#include "common/LogSink.h"
#include "common/ProgramDir.h"
#include "common/SafeFile.h"
#include "common/Stamps.h"
#include "common/SystemErrors.h"
#include "common/SystemHelpers.h"
#include "common/TextCodec.h"
#include "common/TimeScale.h"
#include "filecopy/FileCopy.h"
#include "filecopy/FilesCopyMoveThread.h"
#include "filecopy/FilesInUse.h"
#include "infobases/ProfileStore.h"
#include "notify/NotificationMail.h"
#include "shell/CommandLine.h"
#include "shell/CommandRunner.h"
#include "shell/HandOffFile.h"
#include "terminal/UserMessages.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>

namespace dozorix {

namespace {

const QString kBackup = QStringLiteral("BACKUP");
const QString kSettings = QStringLiteral("settings");
const QString kStartCaption = QStringLiteral("Сделать \"бэкап\"");
const char *const kProgressWords[] = {"старт", "инициализация", "прогресс", "завершение", "конец", "исключение"};

// The designer's result lines logged at most, from the end of its file.
constexpr int kMaxResultLines = 20;
// After SIGTERM, the designer's processes get this long before SIGKILL.
constexpr qint64 kDesignerGraceMs = 10000;

QByteArray readHandOff(const QString &name)
{
    QByteArray bytes;
    loadHandOffBytes(name, &bytes);
    return bytes;
}

// The paths the runner hands to its later steps: UTF-8 with its mark, so
// that a backup folder of any name comes back as it went.
void writeHandOff(const QString &name, const QString &text)
{
    writeRegularFile(programFile(name), encodeHandOffText(text));
}

// Why a folder cannot be copied as a file infobase (missing, unmounted, not
// a folder, no database file in it); empty when it can.
QString fileInfobaseProblem(const QString &path)
{
    if (path.trimmed().isEmpty())
        return QStringLiteral("в профиле не указан каталог информационной базы");
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QStringLiteral("каталог информационной базы «%1» недоступен: %2").arg(path, systemErrorText(errno));
    if (!S_ISDIR(st.st_mode))
        return QStringLiteral("«%1» — не каталог информационной базы").arg(path);
    const QStringList database = QDir(path).entryList({QStringLiteral("1Cv8.1CD")}, QDir::Files | QDir::Hidden);
    if (database.isEmpty())
        return QStringLiteral("в каталоге «%1» нет файла базы 1Cv8.1CD: диск не подключён или путь указан неверно")
            .arg(path);
    return QString();
}

QString blindDetectionLine()
{
    return QStringLiteral("Консоль запущена не от root: файлы, которые открыли процессы других пользователей (сервера "
                          "1С), ей не видны. Файл, изменившийся во время копирования, всё равно будет замечен.");
}

} // namespace

BackupRunner::BackupRunner(Hooks hooks, QObject *parent)
    : QObject(parent)
    , m_hooks(std::move(hooks))
    , m_runScope(new QObject(this))
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
    if (!m_hooks.serverAgents)
        m_hooks.serverAgents = [] { return runningServerAgents(); };
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

BackupRunner::~BackupRunner()
{
    // A designer still dumping when the program ends is ended with it: it
    // runs in process groups of its own, which no terminal signal reaches.
    if (m_designer)
        m_designer->terminate(scaledMs(kDesignerGraceMs));
    waitForBackground(m_inspect);
}

void BackupRunner::log(const QString &text, bool red)
{
    logLine(LogStamp() + text, red ? kLogRed : kLogGreen);
}

void BackupRunner::runSteps(std::vector<StepChain::Step> steps)
{
    auto *chain = new StepChain(m_runScope);
    connect(chain, &StepChain::finished, chain, &QObject::deleteLater);
    chain->start(std::move(steps));
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
    // Only an archive goes to FTP: an upload asked for without ZIP (a
    // hand-edited or an old file) packs first, as the settings window does.
    if (Shag6)
        Shag5 = true;
    m_dumpLimitHours = readBackupHours(ini, QStringLiteral("DumpTimeLimit"), 6);
    m_keepBackups = std::max(0, ini.readInteger(kBackup, QStringLiteral("KeepBackups"), 0));
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

std::vector<StepChain::Step> BackupRunner::end1CClientsSteps()
{
    return {
        {0, [] { LaunchShellHidden(kEnd1CClientsCommand); }},
        {3000,
         [this] {
             const QStringList lines = end1CClientsLines(readHandOff(QStringLiteral("temp.txt")));
             for (const QString &line : lines)
                 log(line);
             if (lines.isEmpty())
                 log(kNothingToEndLine, true);
             emptyHandOffFile(QStringLiteral("temp.txt"));
         }},
    };
}

void BackupRunner::noteFailure(BackupExit outcome, const QString &reason)
{
    const BackupExit worse = worseOf(m_outcome, outcome);
    if (worse != m_outcome) {
        m_outcome = worse;
        m_failure = reason;
    }
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
        // Nothing to back up in an unattended run: it ends, and says so.
        if (unattended() && !m_running) {
            m_outcome = BackupExit::NoSettings;
            m_failure = QStringLiteral("не выбрана информационная база для «бэкапа»");
            finishUnattended(m_outcome);
        }
        return;
    }
    m_view.closeButton = false;
    m_view.height = 141;
    m_view.cancelEnabled = true;
    m_view.progressText.clear();
    if (!m_copyRunning)
        Put.clear();
    m_view.listEnabled = false;
    bool clientServer = false;
    for (const InfobaseProfile &p : m_profiles)
        clientServer = clientServer || (p.alias == m_chosen && p.clientServer);
    KSBASE = clientServer ? QStringLiteral("Yes") : QString();
    if (!m_running) {
        m_running = true;
        m_outcome = BackupExit::Done;
        m_failure.clear();
    }
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
            afterPause(m_runScope, 1000, [] { emptyHandOffFile(QStringLiteral("temp.txt")); });
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
        runSteps(end1CClientsSteps());
    changed();
}

void BackupRunner::fileStep()
{
    if (m_hooks.raise)
        m_hooks.raise();
    if (!Shag3) {
        inspectSource();
        return;
    }
    auto steps = end1CClientsSteps();
    steps.push_back({0, [this] { inspectSource(); }});
    runSteps(std::move(steps));
}

void BackupRunner::inspectSource()
{
    // Nothing is written before the source is known to be there: a missing
    // or unmounted infobase folder is a failed copy, not a backup of nothing.
    const QString problem = fileInfobaseProblem(SPAth);
    if (!problem.isEmpty()) {
        failCopyBeforeStart(SPAth, problem);
        return;
    }
    // Which files are in use, and how much there is to copy, is found off
    // the window thread (a server may hold a million descriptors); the copy
    // waits for the verdict.
    struct Verdict {
        FilesInUse inUse;
        quint64 bytes = 0;
    };
    const QString source = SPAth;
    // A cancel meanwhile drops the answer with the run: the cancel has ended the run.
    m_inspect = runInBackground(
        m_runScope,
        [source] {
            return Verdict{FilesInUse::snapshot(QFile::encodeName(source)), treeSize(source)};
        },
        [this](const Verdict &verdict) {
            const SpaceCheck space = checkSpaceForCopy(verdict.bytes, Shag5, DPAth);
            if (!space.enough) {
                failCopyBeforeStart(SPAth, space.reason);
                return;
            }
            if (verdict.inUse.blind())
                log(blindDetectionLine(), true);
            startCopy(verdict.inUse);
        });
}

void BackupRunner::startCopy(const FilesInUse &inUse)
{
    m_view.startEnabled = true;
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
    // What 1C (or anyone) is writing or holds locked is not copied: a copy
    // taken while it changes may not restore.
    m_inUse = inUse;
    auto *thread = new TFilesCopyMoveThread(true, SPAth, Put, QStringLiteral("*.*"), fwmCopy);
    // A runner that is gone stops the copy at its next file.
    const QPointer<BackupRunner> self(this);
    thread->SetOnProgress([self](TFilesCopyMoveThread *, const QString &file, bool, TFileWorkMode, qint64 position,
                                 qint64 total, bool &cancel) {
        if (!self) {
            cancel = true;
            return;
        }
        self->onCopyProgress(file, position, total, cancel);
    });
    thread->SetOnFileResult(
        [self](TFilesCopyMoveThread *, const QString &file, bool, TFileWorkMode, bool failed, quint32 error) {
            if (self)
                self->onCopyResult(file, failed, error);
        });
    thread->SetOnTerminate([self](TFilesCopyMoveThread *t) {
        if (!self)
            return;
        // The source vanished between the look and the copy: no file was
        // copied, and that is a failure, not an empty backup.
        if (t->ReturnValue() != 0 && !self->fStop)
            self->copyFailed(self->SPAth, QStringLiteral("каталог информационной базы не прочитан (%1)")
                                              .arg(t->FatalException()));
        self->onCopyEnd();
    });
    thread->SetFreeOnTerminate(true);
    thread->start();
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
    copyFailed(file, reason);
}

void BackupRunner::copyFailed(const QString &file, const QString &reason)
{
    log(QStringLiteral("Ошибка копирования файла: \"") + file + QStringLiteral(" Ошибка:- ") + reason, true);
    log(QStringLiteral("\"Бэкап \" ") + m_chosen + QStringLiteral(", не был выполнен удачно!"), true);
    fStop = true;
    noteFailure(BackupExit::BackupFailed, file + QStringLiteral(": ") + reason);
    clearSteps();
    const QString alias = m_chosen;
    ++m_lettersPending;
    afterPause(this, 500, [this, alias, reason, file] {
        --m_lettersPending;
        if (ERRORBACKUP && settingsFileExists()) {
            const BackupLetter letter = copyFailureLetter(alias, GetComputerNameText(), LogStamp(), reason, file);
            m_hooks.sendLetter(letter.subject, letter.body);
        }
    });
}

void BackupRunner::failCopyBeforeStart(const QString &what, const QString &reason)
{
    m_view.startEnabled = true;
    copyFailed(what, reason);
    onCopyEnd();
}

void BackupRunner::onCopyEnd()
{
    m_view.startEnabled = true;
    m_view.startCaption = kStartCaption;
    if (!fStop && Shag4)
        m_hooks.notifyUsers(LastMessage);
    m_copyRunning = false;
    const bool complete = !fStop;
    if (fStop) {
        log(QStringLiteral("\"Бэкап\" отменен!"), true);
        // Only the folder this run made, and only inside the backup folder.
        const QString made = m_copyFolder.trimmed();
        if (!made.isEmpty() && zipContainerFor(made, DPAth).valid)
            QDir(made).removeRecursively();
        m_view.listEnabled = true;
        m_view.cancelEnabled = true;
        fStop = false;
        m_view.progressText = QStringLiteral("Отмена...");
        log(QStringLiteral("Закрываю поток."));
        clearSteps();
    }
    const QString made = m_copyFolder;
    m_copyFolder.clear();
    m_view.progressText = QStringLiteral("Работа завершена!");
    // Green only when every file was copied.
    log(m_view.progressText, !complete);
    const bool zip = Shag5;
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
    LoadFunckShow();
    if (zip)
        return;
    if (complete) {
        applyRetention(made);
        finishRun(BackupExit::Done);
    } else {
        finishRun(BackupExit::Stopped); // a failed copy has said so already: its failure stands
    }
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
    // The alias as it stands now: a cancel during the build clears the list.
    const QString alias = m_chosen;
    m_zipping = true;
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
    m_zipping = false;
    const bool done = out.kind == ZipStepOutcome::Done;
    const bool cancelled = !done && StopProcess; // the cancel ran during the build
    if (done) {
        m_view.progressText = QStringLiteral("Сжатие завершено!");
        log(QStringLiteral("Сжатие завершено! "));
        applyRetention(out.archive);
    } else if (cancelled) {
        // A cancel is a cancel: the unpacked backup stays, no letter.
        m_view.progressText = QStringLiteral("Упаковка отменена.");
        log(QStringLiteral("Упаковка в zip архив отменена")
            + (out.backup.isEmpty() ? QString() : QStringLiteral(". «Бэкап» сохранён без упаковки: ") + out.backup));
    } else {
        // The unpacked backup stays: it is the only complete copy.
        m_view.progressText = QStringLiteral("Архив не создан!");
        log(QStringLiteral("Архив не создан: ") + out.reason
                + (out.backup.isEmpty() ? QString() : QStringLiteral(". «Бэкап» сохранён без упаковки: ") + out.backup),
            true);
        if (ERRORBACKUP && settingsFileExists()) {
            const BackupLetter letter = zipFailureLetter(alias, GetComputerNameText(), LogStamp(), out.reason, out.backup);
            m_hooks.sendLetter(letter.subject, letter.body);
        }
    }
    m_view.listEnabled = true;
    changed();
    if (done && Shag6 && m_hooks.startUpload) {
        log(QStringLiteral("Приступаю к отправке zip архива на FTP сервер!"));
        m_view.progressText = QStringLiteral("Отправка zip архива на FTP сервер...");
        m_view.listEnabled = false;
        m_view.mainBarEnabled = false;
        m_view.mainBarShown = false;
        m_uploading = true;
        changed();
        m_hooks.startUpload();
        return; // the upload's end ends the run (uploadEnded)
    }
    QFile::remove(programFile(QStringLiteral("temp2.txt")));
    m_view.startEnabled = true;
    changed();
    LoadFunckShow();
    finishRun(done ? BackupExit::Done : cancelled ? BackupExit::Stopped : BackupExit::ZipFailed, out.reason);
}

void BackupRunner::applyRetention(const QString &current)
{
    if (m_keepBackups < 1 || current.isEmpty())
        return;
    const int n = chosenNumber();
    const bool clientServer = n && m_profiles[n - 1].clientServer;
    const RetentionResult r = dozorix::applyRetention(DPAth, m_chosen, clientServer, m_keepBackups, current);
    for (const StoredBackup &b : r.deleted)
        log(QStringLiteral("Удалён старый «бэкап» (хранятся последние %1): %2, %3")
                .arg(m_keepBackups)
                .arg(b.name, sizeText(b.size)));
    for (const QString &failure : r.failures)
        log(QStringLiteral("Старый «бэкап» не удалён: ") + failure, true);
}

void BackupRunner::startFtpUpload()
{
    const IniFile ini(settingsFilePath());
    // The run's own end decides when the program ends: the thread arms no
    // exit timer of its own.
    auto *ftp = new FTPThread(readFtpUploadJob(ini, false, ERRORBackupSendFTP), this);
    m_ftp = ftp;
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
    // The cancel button stays usable during the transfer: a server that
    // reads slowly must not hold the run hostage.
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
    connect(ftp, &FTPThread::uploadEnded, this, [this, ftp](bool ok, const QString &message) {
        uploadEnded(ok, ftp->stopRequested(), message);
    });
    connect(ftp, &QThread::finished, ftp, &QObject::deleteLater);
    ftp->start();
}

void BackupRunner::uploadEnded(bool ok, bool cancelled, const QString &failure)
{
    m_ftp = nullptr;
    m_uploading = false;
    m_view.startEnabled = true;
    m_view.listEnabled = true;
    LoadFunckShow();
    finishRun(ok ? BackupExit::Done : cancelled ? BackupExit::Stopped : BackupExit::UploadFailed, failure,
              kFtpExitDelayMs);
}

void BackupRunner::Button3Click()
{
    StopProcess = true;
    clearSteps();
    fStop = true;
    // What the run has pending is dropped.
    delete m_runScope;
    m_runScope = new QObject(this);
    m_view.startCaption = kStartCaption;
    m_view.startEnabled = true;
    m_view.listEnabled = true;
    m_timer1.stop();
    const bool zipPending = m_timer4.isActive();
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
    if (m_ftp)
        m_ftp->requestStop(); // the upload ends as a cancel and ends the run
    if (KSBASE == QLatin1String("Yes")) {
        // The designer and every 1C client of this user end; the partial
        // dump stays where it is.
        log(QStringLiteral("Ждите, выполняю отмену \"бэкапа\"..."));
        LaunchShellHidden(CommandLine(QStringLiteral("/C chcp 1251 && TASKKILL /F /FI \"USERNAME eq %1\" /IM 1cv8* /T "),
                                      {GetUserNameText().trimmed()}));
        // What the designer started (xvfb-run's X server) ends with it.
        if (m_designer)
            m_designer->terminate(scaledMs(kDesignerGraceMs));
        KSBASE.clear();
        afterPause(m_runScope, 15000, [this] {
            ConBase([this] {
                if (m_hooks.raise)
                    m_hooks.raise();
                finishCancel();
            });
        });
        changed();
        return;
    }
    if (zipPending)
        QFile::remove(programFile(QStringLiteral("temp2.txt")));
    finishCancel();
}

void BackupRunner::finishCancel()
{
    m_view.closeButton = true;
    log(QStringLiteral("Выполнение \"бэкапа\" отменено!"));
    LoadFunckShow();
    Shag6 = false;
    // A running copy, ZIP build or upload ends the run through its own end.
    if (!m_copyRunning && !m_zipping && !m_uploading)
        finishRun(BackupExit::Stopped);
}

void BackupRunner::ConBase(std::function<void()> then)
{
    // The profile store reads the profiles again (their monitoring
    // connections are its own), then the pause.
    if (ProfileHolder *holder = profileHolder())
        holder->ChitatINI();
    afterPause(m_runScope, 500, std::move(then));
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
    m_timer3.stop();
    std::vector<StepChain::Step> steps;
    if (Shag3) {
        steps = end1CClientsSteps();
        steps.push_back({500, {}});
    }
    // The profile's login as it stands when the dump begins.
    auto login = std::make_shared<std::pair<QString, QString>>();
    const InfobaseProfile &first = m_profiles[chosenNumber() - 1];
    steps.push_back({first.comProbeOn() ? 500 : 0, [this, login] {
                         const InfobaseProfile &p = m_profiles[chosenNumber() - 1];
                         *login = {p.clusterLogin, p.clusterPassword};
                         const DesignerVersionChoice wanted = designerVersionFor(p.cluster, m_hooks.serverAgents());
                         QStringList passedOver;
                         const QString program = designerProgram(p.connector, m_hooks.programFilesDir(),
                                                                 wanted.version, &passedOver);
                         for (const QString &line : passedOver)
                             log(line, true);
                         if (!program.isEmpty())
                             Puty1c = program;
                         logDesignerChoice(program, wanted);
                     }});
    steps.push_back({3000, [this, login] {
                         const auto &[user, password] = *login;
                         Put = dumpFilePath(DPAth, m_chosen, DateTimeFolderStamp());
                         const QString out = programFile(QStringLiteral("temp.txt"));
                         m_designerClock.start();
                         m_designer = LaunchShellWatched(
                             m_hooks.hasDisplay()
                                 ? designerCommand(Puty1c, ConnectString, Put, user, password, out)
                                 : designerCommandWithoutDisplay(Puty1c, ConnectString, Put, user, password, out));
                     }});
    steps.push_back({5000, [this] {
                         m_timer2.start();
                         log(QStringLiteral("Приступаю к выполнению \"бэкапа\" информационной базы: ") + m_chosen
                             + QStringLiteral(" в клиент - сервере /...."));
                         if (m_hooks.raise)
                             m_hooks.raise();
                     }});
    runSteps(std::move(steps));
}

void BackupRunner::logDesignerChoice(const QString &program, const DesignerVersionChoice &wanted)
{
    if (program.isEmpty() || !QFileInfo(program).isFile())
        return;
    const QString version = platformVersionOfProgram(program);
    if (!wanted.version.isEmpty() && version == wanted.version) {
        log(QStringLiteral("Конфигуратор %1: %2.").arg(program, wanted.reason));
    } else if (!wanted.version.isEmpty()) {
        log(QStringLiteral("Конфигуратора версии %1 (%2) нет среди установленных; беру %3, он может не подключиться "
                           "к серверу другой версии.")
                .arg(wanted.version, wanted.reason, program),
            true);
    } else {
        log(QStringLiteral("Конфигуратор %1: самый новый из установленных (%2).").arg(program, wanted.reason));
    }
}

void BackupRunner::pollDesigner()
{
    base_name_mem = m_chosen;
    if (m_hooks.raise)
        m_hooks.raise();
    // Whether the designer has ended is asked before its file is read: one
    // that has ended has written all it ever will.
    const bool designerEnded = m_designer && m_designer->finished();
    const DesignerResult result = readDesignerResult(programFile(QStringLiteral("temp.txt")));
    const QStringList &lines = result.lines;
    if (lines.isEmpty()) {
        if (designerEnded) {
            QString reason = QStringLiteral("Конфигуратор завершился, не записав результат выгрузки (код завершения %1)")
                                 .arg(m_designer->exitCode());
            const QString said = m_designer->errorTail();
            if (!said.isEmpty())
                reason += QStringLiteral(": ") + splitLines(said).last().trimmed();
            designerFailed({reason}, reason);
            return;
        }
        const qint64 limitMs = static_cast<qint64>(m_dumpLimitHours * 3600.0 * 1000.0);
        if (limitMs > 0 && m_designer
            && m_designerClock.elapsed() >= scaledMs(limitMs)) {
            m_designer->terminate(scaledMs(kDesignerGraceMs));
            const QString reason =
                QStringLiteral("Конфигуратор не закончил выгрузку за %1 ч (DumpTimeLimit): его процессы остановлены")
                    .arg(hoursText(m_dumpLimitHours));
            designerFailed({reason}, reason);
            return;
        }
        return; // not finished yet: the poll comes again 3 s later
    }
    QStringList failures;
    for (const QString &line : lines) {
        if (line != kDumpSucceededLine)
            failures << line;
    }
    const bool succeeded = lines.contains(kDumpSucceededLine);
    if (!failures.isEmpty()) {
        // A designer gone wrong may write millions of lines: the last ones
        // tell what happened.
        const qsizetype shown = std::min<qsizetype>(failures.size(), kMaxResultLines);
        const qsizetype leftOut = failures.size() - shown;
        if (leftOut > 0 || result.headBytes > 0)
            log(QStringLiteral("Результат конфигуратора: не показаны %1 строк(и)%2, ниже последние %3")
                    .arg(leftOut)
                    .arg(result.headBytes > 0
                             ? QStringLiteral(" и начало файла (%1) не прочитано").arg(sizeText(result.headBytes))
                             : QString())
                    .arg(shown),
                true);
        for (qsizetype i = failures.size() - shown; i < failures.size(); ++i)
            log(failures[i], true);
        m_timer2.stop();
        designerFailed({}, lines.last(), !succeeded);
        if (!succeeded)
            return;
    }
    if (succeeded)
        dumpSucceeded();
    emptyHandOffFile(QStringLiteral("temp.txt"));
    changed();
}

void BackupRunner::designerFailed(const QStringList &lines, const QString &letterReason, bool endsRun)
{
    for (const QString &line : lines)
        log(line, true);
    m_timer2.stop();
    noteFailure(BackupExit::BackupFailed, letterReason);
    log(QStringLiteral("Бэкап информационной базы: ") + base_name_mem + QStringLiteral(" не выполнен!"), true);
    m_view.listEnabled = true;
    if (ERRORBACKUP && settingsFileExists()) {
        const BackupLetter letter = dumpFailureLetter(base_name_mem, GetComputerNameText(), LogStamp(), letterReason);
        m_hooks.sendLetter(letter.subject, letter.body);
    }
    m_view.progressText =
        QStringLiteral("ОШИБКА! - бэкап информационной базы: ") + base_name_mem + QStringLiteral(" не выполнен!");
    m_view.closeButton = true;
    m_view.picture = false;
    m_view.startEnabled = true;
    if (!endsRun)
        return; // the same result also reports the success, which goes on
    clearSteps();
    KSBASE.clear();
    emptyHandOffFile(QStringLiteral("temp.txt"));
    LoadFunckShow();
    changed();
    ConBase([this] { finishRun(BackupExit::BackupFailed); });
}

void BackupRunner::dumpSucceeded()
{
    KSBASE.clear();
    m_view.listEnabled = true;
    m_view.picture = false;
    m_timer2.stop();
    log(QStringLiteral("Ждите, приступаю к завершению создания \"бэкапа\"..."));
    m_view.mainBarEnabled = false;
    m_view.closeButton = true;
    const QString dump = Put;
    const bool zip = Shag5;
    if (zip) {
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
    // The profiles are read again after the dump, then the run goes on: to
    // the ZIP step (its timer is running) or to its end.
    ConBase([this, zip, dump] {
        if (zip)
            return;
        LoadFunckShow();
        applyRetention(dump);
        finishRun(BackupExit::Done); // a failure the result also reported stands
    });
}

void BackupRunner::finishRun(BackupExit outcome, const QString &reason, qint64 exitPauseMs)
{
    if (!m_running)
        return;
    noteFailure(outcome, reason.isEmpty() && outcome == BackupExit::Stopped ? QStringLiteral("«бэкап» отменён") : reason);
    m_running = false;
    m_designer.reset();
    emit runEnded();
    if (!unattended())
        return;
    if (exitPauseMs > 0)
        afterPause(this, exitPauseMs, [this] { finishUnattended(m_outcome); });
    else
        finishUnattended(m_outcome);
}

void BackupRunner::finishUnattended(BackupExit outcome, qint64 patienceMs)
{
    if (!m_hooks.shutdown)
        return;
    // The letters are the administrator's only notice of an unattended
    // night: the program ends once they are out (or after two minutes),
    // those still in their pause before sending first.
    if (m_lettersPending > 0 && patienceMs > 0) {
        afterPause(this, 200, [this, outcome, patienceMs] { finishUnattended(outcome, patienceMs - 200); });
        return;
    }
    afterMailsOut(this, patienceMs, [this, outcome] {
        m_hooks.shutdown(backupExitCode(outcome), outcome == BackupExit::Done ? QString() : m_failure);
    });
}

} // namespace dozorix
