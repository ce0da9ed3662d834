#pragma once
// Platform services behind small interfaces, one native implementation per
// operating system (src/platform/<os>/, the build links the one chosen at
// the top of the build), and a settable instance so that a
// test can put a double in where the real thing cannot run (systemd), or
// narrow a real one down (only its own child processes).
//
//   auto table = ProcessTable::instance();          // native unless replaced
//   ScopedInstance<ServiceManager> fake(std::make_shared<FakeServices>());

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace dozorix {

// A settable process-wide instance of an interface T. The native
// implementation is created on first use; setInstance(nullptr) goes back to it.
template <class T>
class InstanceSlot
{
public:
    using Factory = std::shared_ptr<T> (*)();
    explicit InstanceSlot(Factory native) : m_native(native) {}

    std::shared_ptr<T> get()
    {
        std::lock_guard lock(m_mutex);
        if (!m_current) {
            if (!m_nativeInstance)
                m_nativeInstance = m_native();
            return m_nativeInstance;
        }
        return m_current;
    }

    std::shared_ptr<T> set(std::shared_ptr<T> next)
    {
        std::lock_guard lock(m_mutex);
        std::shared_ptr<T> previous = m_current;
        m_current = std::move(next);
        return previous;
    }

private:
    std::mutex m_mutex;
    Factory m_native;
    std::shared_ptr<T> m_nativeInstance;
    std::shared_ptr<T> m_current;
};

// Replaces T's instance for the lifetime of the object.
template <class T>
class ScopedInstance
{
public:
    explicit ScopedInstance(std::shared_ptr<T> replacement)
        : m_previous(T::setInstance(std::move(replacement)))
    {
    }
    ~ScopedInstance() { T::setInstance(m_previous); }
    ScopedInstance(const ScopedInstance &) = delete;
    ScopedInstance &operator=(const ScopedInstance &) = delete;

private:
    std::shared_ptr<T> m_previous;
};

// ---------------------------------------------------------------------------
// Processes

struct ProcessInfo {
    qint64 pid = 0;
    qint64 ppid = 0;
    QString imageName;      // native executable name ("rphost", "1cv8c.exe" under Wine)
    QString ownerName;      // account name of the owner (the uid in digits when it has none)
    quint32 ownerUid = 0;
    qint64 userTime = 0;    // processor time in user mode, 100-ns units
    qint64 kernelTime = 0;  // processor time in kernel mode, 100-ns units
    quint64 residentBytes = 0;
    bool zombie = false;       // ended, not yet reaped by its parent
    bool kernelThread = false; // a kernel worker, not a program
};

// The system's process table.
class ProcessTable
{
public:
    virtual ~ProcessTable() = default;
    // All processes at this moment, in ascending pid order.
    virtual std::vector<ProcessInfo> snapshot() = 0;
    // Number of processors the system runs on.
    virtual int processorCount() = 0;

    static std::shared_ptr<ProcessTable> instance();
    // Returns the previous replacement (nullptr when the native one was in use).
    static std::shared_ptr<ProcessTable> setInstance(std::shared_ptr<ProcessTable> table);
};

struct SignalResult {
    bool ok = false;
    int error = 0; // errno when not ok
};

// Ending processes.
class ProcessControl
{
public:
    virtual ~ProcessControl() = default;
    virtual SignalResult sendSignal(qint64 pid, int signal) = 0;

    static std::shared_ptr<ProcessControl> instance();
    static std::shared_ptr<ProcessControl> setInstance(std::shared_ptr<ProcessControl> control);
};

// ---------------------------------------------------------------------------
// Terminal sessions

// What serves a logon session: whether it can be disconnected without
// ending it, and where its state comes from.
enum class SessionServer {
    Unknown, // none of the below
    Console, // a local console: a text terminal or a display of a seat
    Ssh,     // an ssh logon
    X2Go,    // an X2Go desktop (its agent runs in the session)
    Xrdp,    // an xrdp desktop (started by xrdp-sesman)
};

// One logon session of this host: a remote desktop, an ssh logon, a local
// console.
struct SessionInfo {
    int id = 0;              // the number the session tools take back
    QString user;            // account name
    QString name;            // the terminal ("pts/3", "tty1") or the remote host it came from
    bool active = false;     // in use ("Активно"), else disconnected or idle ("Диск")
    qint64 idleSeconds = -1; // -1: unknown
    QDateTime logon;         // the moment (kept in UTC; shown in local time); invalid: unknown
    QStringList terminals;   // device paths of the session's terminals ("/dev/pts/3")
    quint32 uid = 0;
    qint64 leader = 0;       // the session's first process; 0: unknown
    SessionServer server = SessionServer::Unknown;
    QString serverSessionId; // the session's name with its server: X2Go's session ID, xrdp's display (":10")
};

// What a disconnect did.
struct DisconnectResult {
    int error = 0; // 0, or an errno value: ENOENT no such session, EOPNOTSUPP its server cannot
                   // disconnect it (it was left alone), EIO its server's tool failed
    SessionServer server = SessionServer::Unknown; // the kind of the session found
    QString detail; // what the server's tool said when it failed (Russian or the tool's own words)
};

// The logon sessions of this host and what the session tools do to them.
// Results are 0 on success, else an errno value (ENOENT: no such session).
class SessionManager
{
public:
    virtual ~SessionManager() = default;
    // The sessions at this moment, in ascending ID order.
    virtual std::vector<SessionInfo> sessions() = 0;
    // Disconnects the session: it stays with every program in it, and its
    // user can come back to it. Only where the session's server can do so;
    // any other session is left as it is (EOPNOTSUPP).
    virtual DisconnectResult disconnect(int id) = 0;
    virtual int terminate(int id) = 0; // log off: the session ends, its programs are asked to end
    virtual int kill(int id) = 0;      // reset: every process of the session is killed

    static std::shared_ptr<SessionManager> instance();
    static std::shared_ptr<SessionManager> setInstance(std::shared_ptr<SessionManager> manager);
};

// ---------------------------------------------------------------------------
// Services

// The service control manager behind "net start" / "net stop". Service names
// are those of Windows ("1C:Enterprise 8.3 Server Agent"); an implementation
// maps them to its own units, and one service may be several units (the
// clusters of every installed 1C version). Results are Windows error codes,
// 0 on success.
class ServiceManager
{
public:
    enum class State { Stopped, Running };

    // Windows error codes the callers render.
    static constexpr int kAccessDenied = 5;
    static constexpr int kServiceDoesNotExist = 1060;
    static constexpr int kServiceNotActive = 1062;
    static constexpr int kServiceAlreadyRunning = 1056;
    static constexpr int kServiceDisabled = 1058;
    static constexpr int kServiceRequestTimeout = 1053;
    static constexpr int kServiceSpecificError = 1066;
    static constexpr int kRpcServerUnavailable = 1722;

    // What a start or stop tells as it goes, on the caller's thread; any
    // member may be empty.
    struct Events {
        // The request holds and the first unit is about to be acted on
        // (where Windows says "Служба … запускается."). Not called when the
        // request fails as a whole (no such service, nothing to do).
        std::function<void()> acting;
        // One unit was started or stopped ("srv1cv8-8.3.24.1467@test.service").
        std::function<void(const QString &unit)> unitDone;
        // One unit could not be started or stopped; reason in the service
        // manager's own words.
        std::function<void(const QString &unit, const QString &reason)> unitFailed;
        // A line for the errors, in Russian: why the service manager cannot
        // be reached and what was tried (it stands for Windows' text of
        // kRpcServerUnavailable), or what else went wrong beside the units.
        std::function<void(const QString &text)> problem;
    };

    virtual ~ServiceManager() = default;
    // 0 and the state (Running while any unit of the service runs), or
    // kServiceDoesNotExist / kRpcServerUnavailable / ...
    virtual int queryState(const QString &service, State *state) = 0;
    // Starts or stops the service and waits until it has done so.
    // kServiceAlreadyRunning / kServiceNotActive when there is nothing to do.
    virtual int start(const QString &service, const Events &events) = 0;
    virtual int stop(const QString &service, const Events &events) = 0;

    static std::shared_ptr<ServiceManager> instance();
    static std::shared_ptr<ServiceManager> setInstance(std::shared_ptr<ServiceManager> manager);
};

// ---------------------------------------------------------------------------
// Starting programs (never through a shell)

struct SpawnRequest {
    QStringList argv;          // argv[0] is the program: a path, or a name looked up in PATH
    QString workingDirectory;  // empty: the caller's current directory
    int stdinFd = -1;          // -1: /dev/null
    int stdoutFd = -1;         // -1: /dev/null
    int stderrFd = -1;         // -1: /dev/null
    bool ownProcessGroup = false; // the program leads a process group of its own (pgid = its pid)
};

struct SpawnResult {
    qint64 pid = -1;
    int error = 0; // errno when the program could not be started
};

// Starts a program directly with an argument vector. No descriptor of ours
// other than the three given is inherited; signals start with their defaults.
SpawnResult spawnProgram(const SpawnRequest &request);

// Waits for a started program and reaps it; returns its exit code
// (128 + signal number when it was killed by a signal, -1 on error).
int waitForProgram(qint64 pid);

// Waits until a started program has ended, without reaping it: its pid (and
// process group) stay taken until waitForProgram() reaps it.
void waitForProgramEnd(qint64 pid);

// Reaps a started program in the background, for programs nobody waits for.
void reapProgramInBackground(qint64 pid);

// Native implementations, defined by the platform target of the build.
namespace native {
std::shared_ptr<ProcessTable> createProcessTable();
std::shared_ptr<ProcessControl> createProcessControl();
std::shared_ptr<ServiceManager> createServiceManager();
std::shared_ptr<SessionManager> createSessionManager();
} // namespace native

} // namespace dozorix
