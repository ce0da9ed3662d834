#pragma once
// Copies or moves every file of a folder tree into another folder tree on a
// worker thread. Each file's progress and result are handed to the thread
// that created the object (the user-interface thread) while the worker waits,
// so the handlers may read and change the run (Cancel) without locks. A
// file's result comes just before the next file's progress (both in one
// hand-off) or the end of the run. Cancel, set in a file's progress, stops
// the run there: that file and the ones after it are not at the destination
// when the run ends.
//
// Files are copied with the kernel's copy_file_range (a read/write loop where
// the file systems cannot), once each, keeping their permission bits and
// times; a read-only file in the way is replaced. A file is written under
// a temporary name beside its destination and takes its name when complete,
// so a failed copy (a full disk, the file-size limit) leaves nothing partial
// and the file it was to replace as it was. A FIFO, socket or device among
// the files is never opened for its data: it is reported as a failed file
// (kNotARegularFile, FileCopy.h). In copy mode a second
// thread copies the files that are new to the destination ahead of their
// turn, so that the copying goes on while the events wait for the window;
// a copy made ahead is removed again when its file's turn does not come
// (cancel, or a source removed before its turn).
//
//   auto *copy = new TFilesCopyMoveThread(true, source, backup, "*.*", fwmCopy);
//   copy->SetOnProgress(...);    // runs on the creating thread
//   copy->SetOnFileResult(...);  // idem
//   copy->SetOnTerminate(...);   // after the body has returned, idem
//   copy->SetFreeOnTerminate(true);
//   copy->start();
//
// The creating thread must keep running its event loop while the copy runs.

#include <QString>
#include <QList>
#include <QPair>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>

namespace dozorix {

enum TFileWorkMode {
    fwmCopy,
    fwmMove,
};

class TFilesCopyMoveThread;

// Sender, FileName, IsFolder, aMode, Position (index of the file), Total
// (number of files less one), Cancel (set it to stop before this file).
using TCopyProgressEvent = std::function<void(TFilesCopyMoveThread *Sender, const QString &FileName,
                                              bool IsFolder, TFileWorkMode aMode, qint64 Position,
                                              qint64 Total, bool &Cancel)>;

// Sender, aFile, IsFolder, aMode, OperationFailed, ErrorCode (the errno).
using TFileResultEvent = std::function<void(TFilesCopyMoveThread *Sender, const QString &aFile, bool IsFolder,
                                            TFileWorkMode aMode, bool OperationFailed, quint32 ErrorCode)>;

using TCopyTerminateEvent = std::function<void(TFilesCopyMoveThread *Sender)>;

// The run could not start: folders missing or the same.
class EFilesCopyMoveThreadException : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

class TFilesCopyMoveThread : public QThread
{
    Q_OBJECT
public:
    // A thread that is not created suspended starts as soon as the creating
    // thread's event loop runs, after the handlers have been set.
    explicit TFilesCopyMoveThread(bool CreateSuspended, QObject *parent = nullptr);
    TFilesCopyMoveThread(bool CreateSuspended, const QString &aSrcDir, const QString &aDstDir,
                         const QString &aFilesFilter, TFileWorkMode aMode, QObject *parent = nullptr);
    ~TFilesCopyMoveThread() override;

    // Read by the worker before its loop: set them before start().
    QString SourceDirectory() const { return m_srcDir; }
    void SetSourceDirectory(const QString &value) { m_srcDir = value; }
    QString DestinationDirectory() const { return m_dstDir; }
    void SetDestinationDirectory(const QString &value) { m_dstDir = value; }
    QString FilesFilter() const { return m_filter; }
    void SetFilesFilter(const QString &value) { m_filter = value; }
    TFileWorkMode Mode() const { return m_mode; }
    void SetMode(TFileWorkMode value) { m_mode = value; }

    void SetOnProgress(TCopyProgressEvent handler) { m_onProgress = std::move(handler); }
    void SetOnFileResult(TFileResultEvent handler) { m_onFileResult = std::move(handler); }
    void SetOnTerminate(TCopyTerminateEvent handler) { m_onTerminate = std::move(handler); }
    // Deletes the object after the terminate handler has run.
    void SetFreeOnTerminate(bool value) { m_freeOnTerminate = value; }
    // For tests: runs on the worker thread each time the worker has handed
    // a call to the creating thread and is about to wait for it. Set it
    // before start().
    void SetOnHandOffWaiting(std::function<void()> hook) { m_onHandOffWaiting = std::move(hook); }

    // 0 after a normal run; 3 when a folder was not given, 5 when source and
    // destination are the same folder, 2 when the source folder is missing
    // or cannot be listed.
    int ReturnValue() const { return m_returnValue; }
    // The message of the failure that kept the run from starting; empty otherwise.
    QString FatalException() const { return m_fatal; }
    // True once a progress handler has set Cancel (or Terminate() was called).
    bool Terminated() const { return m_terminated.load(); }
    // Asks the worker to stop before its next file.
    void Terminate() { m_terminated.store(true); }

    // The files below folder, as paths relative to base ("/" separators), in
    // the order the file system lists them; a folder's files follow at the
    // place where the folder was met. The filter applies to files and
    // folders alike; empty means "*.*". FIFOs, sockets and devices are
    // listed too (their copy fails with kNotARegularFile). Folders that cannot be listed are
    // added to *unlisted (paths relative to base) with their errno.
    static void CollectFiles(const QString &folder, const QString &base, QStringList &list,
                             const QString &filter,
                             QList<QPair<QString, int>> *unlisted = nullptr);

protected:
    void run() override;

private:
    void body();
    // Runs fn on the creating thread and waits for it; false when the object
    // is being destroyed and the hand-off was abandoned.
    bool handOff(const std::function<void()> &fn);

    TFileWorkMode m_mode = fwmCopy;
    QString m_srcDir;
    QString m_dstDir;
    QString m_filter = QStringLiteral("*.*");
    QStringList m_files;
    TCopyProgressEvent m_onProgress;
    TFileResultEvent m_onFileResult;
    TCopyTerminateEvent m_onTerminate;
    std::function<void()> m_onHandOffWaiting;
    bool m_freeOnTerminate = false;

    int m_returnValue = 0;
    QString m_fatal;
    std::atomic<bool> m_terminated{false};
    std::atomic<bool> m_abandon{false};
};

} // namespace dozorix
