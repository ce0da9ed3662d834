#include "shell/CmdInterpreter.h"

#include "common/Platform.h"
#include "common/SafeFile.h"
#include "common/SystemErrors.h"
#include "shell/HandOffFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QHash>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <unistd.h>

namespace dozorix {
namespace {

const QString kCrLf = QStringLiteral("\r\n");

bool isBlank(QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); }

// ---------------------------------------------------------------------------
// Registry of built-ins. Never destroyed, so a command still running on a
// worker thread at exit finds it intact.

struct Registry {
    std::mutex mutex;
    QHash<QString, CmdInterpreter::Builtin> handlers;
    QSet<QString> windowsTools;
};

int echoCommand(CmdContext &ctx);
int chcpCommand(CmdContext &ctx);

Registry &registry()
{
    static Registry *r = [] {
        auto *reg = new Registry;
        reg->handlers.insert(QStringLiteral("echo"), &echoCommand);
        reg->handlers.insert(QStringLiteral("chcp"), &chcpCommand);
        return reg;
    }();
    return *r;
}

// "echo" prints its raw arguments; alone it reports the echo state.
int echoCommand(CmdContext &ctx)
{
    if (ctx.rawArguments().trimmed().isEmpty()) {
        ctx.outLine(QStringLiteral("Режим вывода команд на экран (ECHO) включен."));
        return 0;
    }
    ctx.outLine(ctx.rawArguments());
    return 0;
}

// "chcp [NNN]": switches the console code page and reports the current one.
int chcpCommand(CmdContext &ctx)
{
    if (ctx.args().size() > 2) {
        ctx.errLine(QStringLiteral("Параметр задан неверно - %1").arg(ctx.args().at(2)));
        return 1;
    }
    if (ctx.args().size() == 2) {
        bool ok = false;
        const int number = ctx.args().at(1).toInt(&ok);
        CodePage page;
        if (!ok || !codePageFromNumber(number, &page)) {
            ctx.errLine(QStringLiteral("Недопустимая кодовая страница"));
            return 1;
        }
        ctx.interpreter().setCodePage(page);
    }
    ctx.outLine(QStringLiteral("Текущая кодовая страница: %1").arg(static_cast<int>(ctx.interpreter().codePage())));
    return 0;
}

// ---------------------------------------------------------------------------
// Output of Linux programs: UTF-8 re-encoded into the console code page, one
// stream at a time and one line at a time. A line that is not UTF-8 (a Wine
// program writing its own code page) passes unchanged.

class Utf8Recoder
{
public:
    explicit Utf8Recoder(CodePage page) : m_page(page) {}

    QByteArray feed(const QByteArray &chunk)
    {
        if (m_page == CodePage::Utf8)
            return chunk;
        m_pending.append(chunk);
        qsizetype end = m_pending.lastIndexOf('\n') + 1;
        if (end == 0 && m_pending.size() > kMaxLine) {
            // A very long line: cut it where no UTF-8 sequence is split.
            end = m_pending.size();
            for (int back = 0; back < 3 && end > 0 && (static_cast<unsigned char>(m_pending[end - 1]) & 0xC0) == 0x80; ++back)
                --end;
            if (end > 0 && static_cast<unsigned char>(m_pending[end - 1]) >= 0xC0)
                --end;
        }
        if (end <= 0)
            return QByteArray();
        const QByteArray lines = m_pending.left(end);
        m_pending.remove(0, end);
        return recode(lines);
    }

    QByteArray finish()
    {
        const QByteArray rest = m_pending;
        m_pending.clear();
        return m_page == CodePage::Utf8 ? rest : recode(rest);
    }

private:
    static constexpr qsizetype kMaxLine = 1 << 20;

    QByteArray recode(const QByteArray &lines) const
    {
        QByteArray out;
        out.reserve(lines.size());
        qsizetype start = 0;
        while (start < lines.size()) {
            qsizetype stop = lines.indexOf('\n', start);
            stop = stop < 0 ? lines.size() : stop + 1;
            const QByteArray line = lines.mid(start, stop - start);
            out.append(isValidUtf8(line) ? encode(QString::fromUtf8(line), m_page) : line);
            start = stop;
        }
        return out;
    }

    CodePage m_page;
    QByteArray m_pending;
};

class FdSink : public ByteSink
{
public:
    explicit FdSink(int fd) : m_fd(fd) {}
    ~FdSink() override { ::close(m_fd); }
    FdSink(const FdSink &) = delete;
    FdSink &operator=(const FdSink &) = delete;
    void write(const QByteArray &bytes) override
    {
        const char *p = bytes.constData();
        qsizetype left = bytes.size();
        while (left > 0) {
            const ssize_t n = ::write(m_fd, p, static_cast<size_t>(left));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            p += n;
            left -= n;
        }
    }

private:
    int m_fd;
};

struct FdCloser {
    int fd = -1;
    ~FdCloser()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

QString osErrorText(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return QStringLiteral("Системе не удается найти указанный путь.");
    case EACCES:
    case EPERM:
    case EISDIR:
        return QStringLiteral("Отказано в доступе.");
    default:
        return systemErrorText(error);
    }
}

QString syntaxError() { return QStringLiteral("Синтаксическая ошибка в команде."); }

bool pathGiven(const QString &name) { return name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')); }

// A batch argument with its "%~" modifiers (f, d, p, n, x; none: the
// argument without its quotes). Linux paths have no drive: d adds nothing.
QString batchArgumentPart(QString value, const QString &modifiers, const QString &workingDirectory)
{
    if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
        value = value.mid(1, value.size() - 2);
    if (modifiers.isEmpty() || value.isEmpty())
        return value;
    const QFileInfo info(toLocalPath(value, workingDirectory));
    if (modifiers.contains(QLatin1Char('f')))
        return info.absoluteFilePath();
    QString part;
    if (modifiers.contains(QLatin1Char('p')))
        part += info.absolutePath() + (info.absolutePath().endsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/"));
    if (modifiers.contains(QLatin1Char('n')))
        part += info.completeBaseName();
    if (modifiers.contains(QLatin1Char('x')) && !info.suffix().isEmpty())
        part += QLatin1Char('.') + info.suffix();
    return part;
}

} // namespace

// ---------------------------------------------------------------------------

CmdContext::CmdContext(CmdInterpreter *interpreter, QStringList args, QString rawArguments, ByteSink *out,
                       ByteSink *err)
    : m_interpreter(interpreter)
    , m_args(std::move(args))
    , m_raw(std::move(rawArguments))
    , m_out(out)
    , m_err(err)
{
}

QString CmdContext::workingDirectory() const { return m_interpreter->workingDirectory(); }

void CmdContext::out(const QString &text)
{
    if (m_out)
        m_out->write(m_interpreter->encodeOutput(text));
}

void CmdContext::err(const QString &text)
{
    if (m_err)
        m_err->write(m_interpreter->encodeOutput(text));
}

// ---------------------------------------------------------------------------

struct CmdInterpreter::Redirection {
    int fd = 1;         // 0 input, 1 output, 2 errors
    bool append = false;
    int duplicateOf = -1; // 2>&1 -> 1
    QString target;
};

struct CmdInterpreter::Segment {
    enum class Join { First, Always, OnSuccess, OnFailure };
    Join join = Join::First;
    bool compound = false; // "if"/"for" with the rest of the line, redirections included
    MarkedText text; // command without redirections
    std::vector<Redirection> redirections;
};

CmdInterpreter::CmdInterpreter(QString workingDirectory)
    : m_workingDirectory(std::move(workingDirectory))
{
}

QByteArray CmdInterpreter::encodeOutput(const QString &text) const
{
    return encode(text, m_codePage);
}

void CmdInterpreter::registerBuiltin(const QString &name, Builtin handler, BuiltinKind kind)
{
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    const QString key = builtinKey(name);
    r.handlers.insert(key, std::move(handler));
    if (kind == BuiltinKind::WindowsTool)
        r.windowsTools.insert(key);
    else
        r.windowsTools.remove(key);
}

void CmdInterpreter::unregisterBuiltin(const QString &name)
{
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    const QString key = builtinKey(name);
    r.handlers.remove(key);
    r.windowsTools.remove(key);
}

bool CmdInterpreter::isWindowsTool(const QString &name)
{
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    return r.windowsTools.contains(builtinKey(name));
}

CmdInterpreter::Builtin CmdInterpreter::findBuiltin(const QString &name)
{
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    return r.handlers.value(builtinKey(name));
}

QString CmdInterpreter::builtinKey(const QString &programName)
{
    QString name = programName;
    const qsizetype cut = std::max(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\')));
    name = name.mid(cut + 1).toLower();
    if (name.endsWith(QLatin1String(".exe")) || name.endsWith(QLatin1String(".com")))
        name.chop(4);
    return name;
}

namespace {

// Splits a command line into its commands and the operators between them.
// Applies the ^ escape (outside quotes) by marking the escaped character
// as plain. Returns false on a syntax error.
struct RawPiece {
    MarkedText text;
    int join = 0; // 0 first, 1 &, 2 &&, 3 ||
    bool compound = false; // "if" or "for": the rest of the line is theirs
};

// True when nothing but template blanks and '@' has been collected yet.
bool atCommandStart(const MarkedText &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.isLiteral(i) || !(isBlank(text.at(i)) || text.at(i) == QLatin1Char('@')))
            return false;
    }
    return true;
}

// True when the template word at i is the keyword, followed by a blank or
// a switch ("if/i", "for/f"). A user value never makes a keyword.
bool keywordAt(const MarkedText &text, qsizetype i, QLatin1StringView keyword)
{
    const qsizetype n = keyword.size();
    if (i + n >= text.size())
        return false;
    for (qsizetype k = 0; k < n; ++k) {
        if (text.isLiteral(i + k) || text.at(i + k).toLower() != QLatin1Char(keyword.at(k)))
            return false;
    }
    return !text.isLiteral(i + n) && (isBlank(text.at(i + n)) || text.at(i + n) == QLatin1Char('/'));
}

bool splitCommands(const MarkedText &line, std::vector<RawPiece> *pieces, QString *error)
{
    RawPiece current;
    bool inQuotes = false;
    const qsizetype n = line.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = line.at(i);
        if (line.isLiteral(i)) {
            current.text.append(c, true);
            continue;
        }
        if (c == QLatin1Char('"')) {
            inQuotes = !inQuotes;
            current.text.append(c, false);
            continue;
        }
        if (!inQuotes && atCommandStart(current.text)
            && (keywordAt(line, i, QLatin1StringView("if")) || keywordAt(line, i, QLatin1StringView("for")))) {
            // "if" and "for" take the rest of the line as their own: its
            // operators belong to the command they run.
            current.text.append(line.mid(i));
            current.compound = true;
            pieces->push_back(current);
            return true;
        }
        if (!inQuotes && c == QLatin1Char('^')) {
            if (i + 1 < n)
                current.text.append(line.at(++i), true);
            continue;
        }
        if (!inQuotes && (c == QLatin1Char('&') || c == QLatin1Char('|'))) {
            // "2>&1" and "1>&2" belong to a redirection, not to the operators.
            if (c == QLatin1Char('&') && i > 0 && line.isSyntax(i - 1, QLatin1Char('>'))) {
                current.text.append(c, false);
                continue;
            }
            const bool doubled = i + 1 < n && line.isSyntax(i + 1, c);
            int join;
            if (c == QLatin1Char('&'))
                join = doubled ? 2 : 1;
            else if (doubled)
                join = 3;
            else {
                *error = QStringLiteral("Конвейер (|) не поддерживается.");
                return false;
            }
            if (doubled)
                ++i;
            if (current.text.trimmed().isEmpty()) {
                *error = syntaxError();
                return false;
            }
            pieces->push_back(current);
            current = RawPiece();
            current.join = join;
            continue;
        }
        current.text.append(c, false);
    }
    if (current.text.trimmed().isEmpty()) {
        if (current.join != 0) {
            *error = syntaxError();
            return false;
        }
        return true; // an empty line, or nothing after the last command
    }
    pieces->push_back(current);
    return true;
}

} // namespace

int CmdInterpreter::run(const CommandLine &command, ByteSink *out, ByteSink *err)
{
    return run(command.marked(), out, err);
}

int CmdInterpreter::run(const MarkedText &line, ByteSink *out, ByteSink *err)
{
    std::vector<RawPiece> pieces;
    QString error;
    if (!splitCommands(line, &pieces, &error)) {
        if (err)
            err->write(encodeOutput(error + kCrLf));
        return m_errorLevel = 1;
    }

    // Take the redirections out of each command.
    std::vector<Segment> segments;
    for (const RawPiece &piece : pieces) {
        Segment seg;
        seg.join = static_cast<Segment::Join>(piece.join);
        if (piece.compound) {
            qsizetype lead = 0;
            while (lead < piece.text.size() && !piece.text.isLiteral(lead)
                   && (isBlank(piece.text.at(lead)) || piece.text.at(lead) == QLatin1Char('@')))
                ++lead;
            seg.text = piece.text.mid(lead);
            seg.compound = true;
            segments.push_back(std::move(seg));
            continue;
        }
        const MarkedText &t = piece.text;
        const qsizetype n = t.size();
        MarkedText rest;
        bool inQuotes = false;
        for (qsizetype i = 0; i < n; ++i) {
            const QChar c = t.at(i);
            if (t.isLiteral(i)) {
                rest.append(c, true);
                continue;
            }
            if (c == QLatin1Char('"'))
                inQuotes = !inQuotes;
            if (inQuotes || (c != QLatin1Char('>') && c != QLatin1Char('<'))) {
                rest.append(c, false);
                continue;
            }
            Redirection r;
            r.fd = c == QLatin1Char('<') ? 0 : 1;
            // A handle digit right before '>' (at the start or after a blank).
            if (c == QLatin1Char('>') && rest.size() > 0) {
                const qsizetype last = rest.size() - 1;
                const bool digit = rest.isSyntax(last, QLatin1Char('1')) || rest.isSyntax(last, QLatin1Char('2'));
                const bool separated = last == 0 || (!rest.isLiteral(last - 1) && isBlank(rest.at(last - 1)));
                if (digit && separated) {
                    r.fd = rest.at(last).unicode() - u'0';
                    rest = rest.mid(0, last);
                }
            }
            if (r.fd != 0 && i + 1 < n && t.isSyntax(i + 1, QLatin1Char('>'))) {
                r.append = true;
                ++i;
            }
            if (r.fd != 0 && i + 2 < n && t.isSyntax(i + 1, QLatin1Char('&'))
                && (t.isSyntax(i + 2, QLatin1Char('1')) || t.isSyntax(i + 2, QLatin1Char('2')))) {
                r.duplicateOf = t.at(i + 2).unicode() - u'0';
                i += 2;
            } else {
                ++i;
                while (i < n && !t.isLiteral(i) && isBlank(t.at(i)))
                    ++i;
                bool quoted = false;
                while (i < n) {
                    const QChar d = t.at(i);
                    if (!t.isLiteral(i)) {
                        if (d == QLatin1Char('"')) {
                            quoted = !quoted;
                            ++i;
                            continue;
                        }
                        if (!quoted && (isBlank(d) || d == QLatin1Char('>') || d == QLatin1Char('<')))
                            break;
                    }
                    r.target.append(d);
                    ++i;
                }
                --i;
                if (r.target.isEmpty()) {
                    if (err)
                        err->write(encodeOutput(syntaxError() + kCrLf));
                    return m_errorLevel = 1;
                }
            }
            // Keep the words on both sides apart.
            if (i + 1 < n && rest.size() > 0 && !(!rest.isLiteral(rest.size() - 1) && isBlank(rest.at(rest.size() - 1)))
                && !(!t.isLiteral(i + 1) && isBlank(t.at(i + 1))))
                rest.append(QLatin1Char(' '), false);
            seg.redirections.push_back(r);
        }
        // Leading blanks and a '@' (which only hides the command's echo)
        // go; trailing blanks stay, as "echo" prints them.
        qsizetype lead = 0;
        while (lead < rest.size() && !rest.isLiteral(lead)
               && (isBlank(rest.at(lead)) || rest.at(lead) == QLatin1Char('@')))
            ++lead;
        seg.text = rest.mid(lead);
        if (seg.text.trimmed().isEmpty() && seg.redirections.empty()) {
            if (err)
                err->write(encodeOutput(syntaxError() + kCrLf));
            return m_errorLevel = 1;
        }
        segments.push_back(std::move(seg));
    }

    int last = 0;
    for (const Segment &seg : segments) {
        if (seg.join == Segment::Join::OnSuccess && last != 0)
            continue;
        if (seg.join == Segment::Join::OnFailure && last == 0)
            continue;
        last = execute(seg, out, err);
        m_errorLevel = last;
    }
    return last;
}

int CmdInterpreter::execute(const Segment &segment, ByteSink *out, ByteSink *err)
{
    if (segment.compound)
        return keywordAt(segment.text, 0, QLatin1StringView("if")) ? runIf(segment.text, out, err)
                                                                   : runFor(segment.text, out, err);
    ByteSink *curOut = out;
    ByteSink *curErr = err;
    std::vector<std::unique_ptr<ByteSink>> files;
    FdCloser input;
    for (const Redirection &r : segment.redirections) {
        if (r.duplicateOf >= 0) {
            if (r.fd == 1)
                curOut = r.duplicateOf == 2 ? curErr : curOut;
            else
                curErr = r.duplicateOf == 1 ? curOut : curErr;
            continue;
        }
        const QString path = toLocalPath(r.target, m_workingDirectory);
        int fd = -1;
        int error = ENOENT;
        if (!path.isEmpty()) {
            const int flags = r.fd == 0 ? O_RDONLY : (O_WRONLY | O_CREAT | (r.append ? O_APPEND : O_TRUNC));
            if (isHandOffFile(path)) {
                // A link or a FIFO planted as temp.txt is neither written
                // through nor waited on.
                fd = openRegularFile(path, flags, nullptr, 0666);
                error = EACCES;
            } else {
                fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC, 0666);
                error = errno;
            }
        }
        if (fd < 0) {
            if (curErr)
                curErr->write(encodeOutput(osErrorText(error) + kCrLf));
            return 1;
        }
        if (r.fd == 0) {
            if (input.fd >= 0)
                ::close(input.fd);
            input.fd = fd;
            continue;
        }
        files.push_back(std::make_unique<FdSink>(fd));
        (r.fd == 1 ? curOut : curErr) = files.back().get();
    }

    const MarkedText text = segment.text;
    if (text.trimmed().isEmpty())
        return 0; // only redirections: cmd creates the files and runs nothing

    const QStringList argv = splitWindowsArguments(text, true);
    const QString name = argv.value(0);

    // The raw arguments: everything after the name and one separator.
    qsizetype pos = 0;
    bool inQuotes = false;
    while (pos < text.size()) {
        if (text.isSyntax(pos, QLatin1Char('"')))
            inQuotes = !inQuotes;
        else if (!inQuotes && !text.isLiteral(pos) && isBlank(text.at(pos)))
            break;
        ++pos;
    }
    const QString raw = text.mid(pos + 1).text;

    // Built-ins: the Windows tools by name wherever they are addressed;
    // other built-ins unless a real file of that path exists.
    const QString key = builtinKey(name);
    if (key == QLatin1String("call") && !pathGiven(name))
        return runCall(text.mid(pos + 1), curOut, curErr);
    Builtin builtin;
    if (isWindowsTool(key) || !pathGiven(name) || !QFileInfo(toLocalPath(name, m_workingDirectory)).isFile())
        builtin = findBuiltin(key);
    if (builtin) {
        CmdContext ctx(this, argv, raw, curOut, curErr);
        return builtin(ctx);
    }

    if (key.endsWith(QLatin1String(".cmd")) || key.endsWith(QLatin1String(".bat"))) {
        const QString script = toLocalPath(name, m_workingDirectory);
        if (QFileInfo(script).isFile())
            return runBatchFile(script, argv.mid(1), curOut, curErr);
    }
    return runExternal(argv, input.fd, curOut, curErr);
}

int CmdInterpreter::runExternal(const QStringList &argvIn, int stdinFd, ByteSink *out, ByteSink *err)
{
    QStringList argv = argvIn;
    const QString written = argv.front();
    if (written.contains(QLatin1Char('/')) || written.contains(QLatin1Char('\\')))
        argv.front() = toLocalPath(written, m_workingDirectory);

    auto notFound = [&] {
        if (err)
            err->write(encodeOutput(QStringLiteral("\"%1\" не является внутренней или внешней").arg(written) + kCrLf
                                    + QStringLiteral("командой, исполняемой программой или пакетным файлом.")
                                    + kCrLf));
        return kCommandNotFound;
    };
    if (argv.front().isEmpty())
        return notFound();

    // One pipe per distinct destination; a shared one keeps the order of
    // output and error lines when both go to the same place.
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    if (out && ::pipe2(outPipe, O_CLOEXEC) != 0)
        return 1;
    if (err && err != out && ::pipe2(errPipe, O_CLOEXEC) != 0) {
        if (outPipe[0] >= 0) {
            ::close(outPipe[0]);
            ::close(outPipe[1]);
        }
        return 1;
    }

    SpawnRequest request;
    request.argv = argv;
    request.workingDirectory = m_workingDirectory;
    request.stdinFd = stdinFd;
    request.stdoutFd = out ? outPipe[1] : -1;
    request.stderrFd = err ? (err == out ? outPipe[1] : errPipe[1]) : -1;
    request.ownProcessGroup = static_cast<bool>(m_watch.started);
    SpawnResult started = spawnProgram(request);
    if (started.error == ENOENT && argv.front().endsWith(QLatin1String(".exe"), Qt::CaseInsensitive)) {
        request.argv.front().chop(4); // "ping.exe" -> "ping"
        started = spawnProgram(request);
    }
    if (outPipe[1] >= 0)
        ::close(outPipe[1]);
    if (errPipe[1] >= 0)
        ::close(errPipe[1]);

    if (started.error != 0) {
        if (outPipe[0] >= 0)
            ::close(outPipe[0]);
        if (errPipe[0] >= 0)
            ::close(errPipe[0]);
        if (started.error == ENOENT || started.error == ENOTDIR)
            return notFound();
        if (err)
            err->write(encodeOutput(osErrorText(started.error) + kCrLf));
        return 1;
    }
    if (m_watch.started)
        m_watch.started(started.pid);

    struct Stream {
        int fd;
        ByteSink *sink;
        Utf8Recoder recoder;
    };
    std::vector<Stream> streams;
    if (outPipe[0] >= 0)
        streams.push_back({outPipe[0], out, Utf8Recoder(m_codePage)});
    if (errPipe[0] >= 0)
        streams.push_back({errPipe[0], err, Utf8Recoder(m_codePage)});

    QByteArray buffer(65536, Qt::Uninitialized);
    size_t open = streams.size();
    while (open > 0) {
        std::vector<pollfd> fds;
        for (const Stream &s : streams)
            fds.push_back({s.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (size_t k = 0; k < streams.size(); ++k) {
            Stream &s = streams[k];
            if (s.fd < 0 || fds[k].revents == 0)
                continue;
            const ssize_t got = ::read(s.fd, buffer.data(), static_cast<size_t>(buffer.size()));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                s.sink->write(s.recoder.finish());
                ::close(s.fd);
                s.fd = -1;
                --open;
                continue;
            }
            s.sink->write(s.recoder.feed(QByteArray(buffer.constData(), got)));
        }
        std::erase_if(streams, [](const Stream &s) { return s.fd < 0; });
    }
    for (Stream &s : streams) {
        if (s.fd >= 0)
            ::close(s.fd);
    }
    if (m_watch.ended) {
        waitForProgramEnd(started.pid);
        m_watch.ended(started.pid);
    }
    return waitForProgram(started.pid);
}

int CmdInterpreter::runParameters(const CommandLine &parameters, ByteSink *out, ByteSink *err)
{
    return runParameters(parameters.marked(), out, err);
}

int CmdInterpreter::runParameters(const MarkedText &all, ByteSink *out, ByteSink *err)
{
    qsizetype i = 0;
    const qsizetype n = all.size();
    bool start = false;
    // Switches before the command: /C or /K start it; others (/Q, /D, ...) are skipped.
    while (i < n) {
        while (i < n && !all.isLiteral(i) && isBlank(all.at(i)))
            ++i;
        if (i + 1 < n && all.isSyntax(i, QLatin1Char('/')) && !all.isLiteral(i + 1)) {
            const QChar sw = all.at(i + 1).toUpper();
            i += 2;
            if (sw == QLatin1Char('C') || sw == QLatin1Char('K')) {
                start = true;
                break;
            }
            while (i < n && !(!all.isLiteral(i) && isBlank(all.at(i))))
                ++i;
            continue;
        }
        break;
    }
    if (!start)
        return 0;

    MarkedText command = all.mid(i);
    // cmd.exe's quote rule: a command that starts with a quote keeps its
    // quotes only when it holds exactly two, with blanks and no special
    // characters between them; otherwise the first and the last quote go.
    qsizetype first = 0;
    while (first < command.size() && !command.isLiteral(first) && isBlank(command.at(first)))
        ++first;
    if (first < command.size() && command.isSyntax(first, QLatin1Char('"'))) {
        std::vector<qsizetype> quotes;
        for (qsizetype k = 0; k < command.size(); ++k) {
            if (command.isSyntax(k, QLatin1Char('"')))
                quotes.push_back(k);
        }
        bool keep = false;
        if (quotes.size() == 2) {
            bool blank = false;
            bool special = false;
            for (qsizetype k = quotes[0] + 1; k < quotes[1]; ++k) {
                if (command.isLiteral(k))
                    continue;
                blank = blank || isBlank(command.at(k));
                special = special || QStringLiteral("&<>()@^|").contains(command.at(k));
            }
            keep = blank && !special;
        }
        if (!keep) {
            const qsizetype lastQuote = quotes.back();
            MarkedText stripped = command.mid(0, first);
            stripped.append(command.mid(first + 1, lastQuote - first - 1));
            if (lastQuote != first)
                stripped.append(command.mid(lastQuote + 1));
            command = stripped;
        }
    }
    return run(command, out, err);
}

int CmdInterpreter::runBatchFile(const QString &path, const QStringList &arguments, ByteSink *out, ByteSink *err)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (err)
            err->write(encodeOutput(osErrorText(ENOENT) + kCrLf));
        return 1;
    }
    const QByteArray bytes = file.readAll();
    const QString text = decodeTextFile(bytes);

    int last = 0;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (QString line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        QString trimmed = line.trimmed();
        if (trimmed.startsWith(QLatin1Char('@')))
            trimmed = trimmed.mid(1).trimmed();
        const QString lower = trimmed.toLower();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char(':')) || lower == QLatin1String("rem")
            || lower.startsWith(QLatin1String("rem ")) || lower == QLatin1String("echo off")
            || lower == QLatin1String("echo on"))
            continue;
        if (lower == QLatin1String("exit") || lower.startsWith(QLatin1String("exit "))) {
            const QStringList words = trimmed.split(QLatin1Char(' '), Qt::SkipEmptyParts);
            bool ok = false;
            const int code = words.value(words.size() - 1).toInt(&ok);
            return ok ? code : last;
        }
        // %0..%9 and %* become plain characters; %% is one percent sign.
        MarkedText marked;
        for (qsizetype i = 0; i < trimmed.size(); ++i) {
            const QChar c = trimmed.at(i);
            if (c == QLatin1Char('%') && i + 1 < trimmed.size()) {
                const QChar d = trimmed.at(i + 1);
                if (d == QLatin1Char('%')) {
                    marked.append(c, false);
                    ++i;
                    continue;
                }
                if (d.isDigit()) {
                    const int index = d.unicode() - u'0';
                    const QString value = index == 0 ? path : arguments.value(index - 1);
                    marked.append(MarkedText::fromLiteral(value));
                    ++i;
                    continue;
                }
                if (d == QLatin1Char('*')) {
                    marked.append(MarkedText::fromLiteral(arguments.join(QLatin1Char(' '))));
                    ++i;
                    continue;
                }
                if (d == QLatin1Char('~')) {
                    // %~N without quotes, %~fN full path, %~dpN its folder
                    // with a trailing separator, %~nN name, %~xN extension.
                    qsizetype k = i + 2;
                    QString modifiers;
                    while (k < trimmed.size() && QStringLiteral("fdpnx").contains(trimmed.at(k).toLower()))
                        modifiers.append(trimmed.at(k++).toLower());
                    if (k < trimmed.size() && trimmed.at(k).isDigit()) {
                        const int index = trimmed.at(k).unicode() - u'0';
                        const QString value = batchArgumentPart(index == 0 ? path : arguments.value(index - 1),
                                                                modifiers, m_workingDirectory);
                        marked.append(MarkedText::fromLiteral(value));
                        i = k;
                        continue;
                    }
                }
            }
            marked.append(c, false);
        }
        last = run(marked, out, err);
    }
    return last;
}

// ---------------------------------------------------------------------------
// if, for /f, call

namespace {

void skipBlanks(const MarkedText &text, qsizetype *pos)
{
    while (*pos < text.size() && !text.isLiteral(*pos) && isBlank(text.at(*pos)))
        ++*pos;
}

// One word of an "if" or "for" head: up to a template blank or '=' outside
// template quotes; quotes stay part of the word, ^ makes the next character
// plain. User-value characters never end a word.
MarkedText nextWord(const MarkedText &text, qsizetype *pos)
{
    skipBlanks(text, pos);
    MarkedText word;
    bool quoted = false;
    qsizetype i = *pos;
    for (; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (text.isLiteral(i)) {
            word.append(c, true);
            continue;
        }
        if (c == QLatin1Char('"'))
            quoted = !quoted;
        else if (!quoted && c == QLatin1Char('^') && i + 1 < text.size()) {
            word.append(text.at(++i), true);
            continue;
        } else if (!quoted && (isBlank(c) || c == QLatin1Char('=')))
            break;
        word.append(c, false);
    }
    *pos = i;
    return word;
}

bool isKeyword(const MarkedText &word, QLatin1StringView keyword)
{
    for (qsizetype i = 0; i < word.size(); ++i) {
        if (word.isLiteral(i))
            return false;
    }
    return word.text.compare(keyword, Qt::CaseInsensitive) == 0;
}

bool equalsFollows(const MarkedText &text, qsizetype pos)
{
    skipBlanks(text, &pos);
    return pos + 1 < text.size() && text.isSyntax(pos, QLatin1Char('=')) && text.isSyntax(pos + 1, QLatin1Char('='));
}

QString withoutQuotes(const MarkedText &word)
{
    QString text;
    for (qsizetype i = 0; i < word.size(); ++i) {
        if (!word.isSyntax(i, QLatin1Char('"')))
            text.append(word.at(i));
    }
    return text;
}

QString unexpected(const QString &what) { return QStringLiteral("Непредвиденное появление: %1.").arg(what); }

// Output of a command run for "for /f", remembered with the code page each
// piece was written in.
class PagedSink : public ByteSink
{
public:
    explicit PagedSink(const CmdInterpreter &interpreter) : m_interpreter(interpreter) {}
    void write(const QByteArray &bytes) override
    {
        const CodePage page = m_interpreter.codePage();
        if (m_pieces.empty() || m_pieces.back().first != page)
            m_pieces.emplace_back(page, QByteArray());
        m_pieces.back().second.append(bytes);
    }
    QString text() const
    {
        QString all;
        for (const auto &[page, bytes] : m_pieces)
            all += decode(bytes, page);
        return all;
    }

private:
    const CmdInterpreter &m_interpreter;
    std::vector<std::pair<CodePage, QByteArray>> m_pieces;
};

struct ForOptions {
    int skip = 0;
    std::vector<int> tokens{1};
    bool rest = false; // a trailing '*'
    QString delims = QStringLiteral(" \t");
    QChar eol = QLatin1Char(';');
    bool hasEol = true;
    bool backQuotes = false;
};

bool parseTokens(const QString &list, ForOptions *o)
{
    o->tokens.clear();
    o->rest = false;
    const QStringList items = list.split(QLatin1Char(','));
    for (qsizetype k = 0; k < items.size(); ++k) {
        QString item = items.at(k);
        if (item.endsWith(QLatin1Char('*'))) {
            if (k != items.size() - 1)
                return false;
            o->rest = true;
            item.chop(1);
            if (item.isEmpty())
                continue;
        }
        const QStringList bounds = item.split(QLatin1Char('-'));
        bool ok1 = false;
        bool ok2 = false;
        const int from = bounds.value(0).toInt(&ok1);
        const int to = bounds.size() == 2 ? bounds.at(1).toInt(&ok2) : from;
        if (!ok1 || (bounds.size() == 2 && !ok2) || bounds.size() > 2 || from < 1 || to < from || to > 31)
            return false;
        for (int t = from; t <= to; ++t)
            o->tokens.push_back(t);
    }
    std::sort(o->tokens.begin(), o->tokens.end());
    o->tokens.erase(std::unique(o->tokens.begin(), o->tokens.end()), o->tokens.end());
    return !o->tokens.empty() || o->rest;
}

// "skip=N tokens=... delims=... eol=c usebackq"; delims runs up to a blank
// that starts another option (so "delims= " is a blank).
bool parseForOptions(const QString &text, ForOptions *o, QString *bad)
{
    static const QStringList kNames = {QStringLiteral("skip="), QStringLiteral("tokens="), QStringLiteral("delims="),
                                       QStringLiteral("eol="), QStringLiteral("usebackq")};
    auto startsOption = [&](qsizetype at) {
        for (const QString &name : kNames) {
            if (text.mid(at, name.size()).compare(name, Qt::CaseInsensitive) == 0)
                return true;
        }
        return false;
    };
    qsizetype i = 0;
    while (i < text.size()) {
        if (isBlank(text.at(i))) {
            ++i;
            continue;
        }
        qsizetype end = i;
        while (end < text.size() && !isBlank(text.at(end)))
            ++end;
        const QString word = text.mid(i, end - i);
        const QString lower = word.toLower();
        if (lower.startsWith(QLatin1String("delims="))) {
            // Up to a blank that begins another option, or the end.
            qsizetype stop = i + 7;
            while (stop < text.size() && !(isBlank(text.at(stop)) && startsOption(stop + 1)))
                ++stop;
            o->delims = text.mid(i + 7, stop - i - 7);
            i = stop;
            continue;
        }
        if (lower.startsWith(QLatin1String("eol="))) {
            // One character, which may be a blank.
            o->hasEol = i + 4 < text.size();
            if (o->hasEol)
                o->eol = text.at(i + 4);
            i += 5;
            continue;
        }
        bool ok = true;
        if (lower.startsWith(QLatin1String("skip="))) {
            o->skip = word.mid(5).toInt(&ok);
            ok = ok && o->skip >= 0;
        } else if (lower.startsWith(QLatin1String("tokens="))) {
            ok = parseTokens(word.mid(7), o);
        } else if (lower == QLatin1String("usebackq")) {
            o->backQuotes = true;
        } else {
            ok = false;
        }
        if (!ok) {
            *bad = word;
            return false;
        }
        i = end;
    }
    return true;
}

// The values of one line for the loop's letters; false when the line is
// skipped (an eol line, or no token it asks for).
bool splitForLine(const QString &line, const ForOptions &o, QStringList *values)
{
    auto isDelim = [&](QChar c) { return o.delims.contains(c); };
    qsizetype i = 0;
    while (i < line.size() && isDelim(line.at(i)))
        ++i;
    if (i >= line.size() || (o.hasEol && line.at(i) == o.eol))
        return false;
    std::vector<std::pair<qsizetype, qsizetype>> tokens; // start, end
    const int wanted = o.tokens.empty() ? 0 : o.tokens.back();
    while (i < line.size() && static_cast<int>(tokens.size()) < wanted + 1) {
        const qsizetype start = i;
        while (i < line.size() && !isDelim(line.at(i)))
            ++i;
        tokens.emplace_back(start, i);
        while (i < line.size() && isDelim(line.at(i)))
            ++i;
    }
    values->clear();
    bool any = false;
    for (int t : o.tokens) {
        const qsizetype k = t - 1;
        const QString v = k < static_cast<qsizetype>(tokens.size())
            ? line.mid(tokens[size_t(k)].first, tokens[size_t(k)].second - tokens[size_t(k)].first)
            : QString();
        any = any || !v.isEmpty();
        values->append(v);
    }
    if (o.rest) {
        QString v;
        if (static_cast<int>(tokens.size()) > wanted)
            v = line.mid(tokens[size_t(wanted)].first);
        any = any || !v.isEmpty();
        values->append(v);
    }
    return any;
}

// The body with %v (and %~v, without surrounding quotes) replaced by the
// values, as plain characters.
MarkedText substituteForValues(const MarkedText &body, QChar first, const QStringList &values)
{
    MarkedText result;
    for (qsizetype i = 0; i < body.size(); ++i) {
        if (body.isSyntax(i, QLatin1Char('%')) && i + 1 < body.size() && !body.isLiteral(i + 1)) {
            qsizetype at = i + 1;
            const bool unquote = body.at(at) == QLatin1Char('~') && at + 1 < body.size() && !body.isLiteral(at + 1);
            if (unquote)
                ++at;
            const int index = body.at(at).unicode() - first.unicode();
            if (index >= 0 && index < values.size()) {
                QString value = values.at(index);
                if (unquote && value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
                    value = value.mid(1, value.size() - 2);
                result.append(MarkedText::fromLiteral(value));
                i = at;
                continue;
            }
        }
        result.append(body.at(i), body.isLiteral(i));
    }
    return result;
}

} // namespace

int CmdInterpreter::runIf(const MarkedText &text, ByteSink *out, ByteSink *err)
{
    auto fail = [&] {
        if (err)
            err->write(encodeOutput(syntaxError() + kCrLf));
        return 1;
    };
    qsizetype pos = 2;
    MarkedText word = nextWord(text, &pos);
    bool ignoreCase = false;
    bool negate = false;
    if (isKeyword(word, QLatin1StringView("/i"))) {
        ignoreCase = true;
        word = nextWord(text, &pos);
    }
    if (isKeyword(word, QLatin1StringView("not")) && !equalsFollows(text, pos)) {
        negate = true;
        word = nextWord(text, &pos);
    }
    bool condition = false;
    if (isKeyword(word, QLatin1StringView("exist")) && !equalsFollows(text, pos)) {
        const MarkedText path = nextWord(text, &pos);
        if (path.isEmpty())
            return fail();
        const QString local = toLocalPath(withoutQuotes(path), m_workingDirectory);
        condition = !local.isEmpty() && QFileInfo::exists(local);
    } else if (isKeyword(word, QLatin1StringView("errorlevel")) && !equalsFollows(text, pos)) {
        bool ok = false;
        const int level = nextWord(text, &pos).text.toInt(&ok);
        if (!ok)
            return fail();
        condition = m_errorLevel >= level;
    } else {
        if (word.isEmpty() || !equalsFollows(text, pos))
            return fail();
        skipBlanks(text, &pos);
        pos += 2;
        const MarkedText right = nextWord(text, &pos);
        if (right.isEmpty())
            return fail();
        condition = word.text.compare(right.text, ignoreCase ? Qt::CaseInsensitive : Qt::CaseSensitive) == 0;
    }
    skipBlanks(text, &pos);
    const MarkedText body = text.mid(pos);
    if (body.trimmed().isEmpty())
        return fail();
    if (condition == negate)
        return m_errorLevel; // a false condition leaves the exit code as it was
    return run(body, out, err);
}

bool CmdInterpreter::forLines(const MarkedText &set, bool backQuotes, QStringList *lines, ByteSink *err)
{
    const QChar commandQuote = backQuotes ? QLatin1Char('`') : QLatin1Char('\'');
    const QChar stringQuote = backQuotes ? QLatin1Char('\'') : QLatin1Char('"');
    const qsizetype n = set.size();
    QString text;
    if (n >= 2 && set.isSyntax(0, commandQuote) && set.isSyntax(n - 1, commandQuote)) {
        // The command as the child cmd.exe would get it: the ^ escapes of
        // this line are spent, so "^|" and "^&" act there.
        MarkedText command;
        bool quoted = false;
        for (qsizetype i = 1; i < n - 1; ++i) {
            if (set.isLiteral(i)) {
                command.append(set.at(i), true);
                continue;
            }
            if (set.at(i) == QLatin1Char('"'))
                quoted = !quoted;
            if (!quoted && set.at(i) == QLatin1Char('^') && i + 1 < n - 1)
                ++i;
            command.append(set.at(i), false);
        }
        CmdInterpreter child(m_workingDirectory);
        child.setCodePage(m_codePage);
        PagedSink sink(child);
        child.run(command, &sink, err);
        text = sink.text();
    } else if (n >= 2 && set.isSyntax(0, stringQuote) && set.isSyntax(n - 1, stringQuote)) {
        text = set.mid(1, n - 2).text;
    } else {
        for (const QString &name : splitWindowsArguments(set)) {
            const QString local = toLocalPath(name, m_workingDirectory);
            QFile file(local);
            if (local.isEmpty() || !QFileInfo(local).isFile() || !file.open(QIODevice::ReadOnly)) {
                if (err)
                    err->write(encodeOutput(QStringLiteral("Не удается найти файл %1.").arg(name) + kCrLf));
                return false;
            }
            text += decodeTextFile(file.readAll(), m_codePage);
            if (!text.endsWith(QLatin1Char('\n')))
                text += QLatin1Char('\n');
        }
    }
    *lines = text.split(QLatin1Char('\n'));
    for (QString &line : *lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    }
    if (!lines->isEmpty() && lines->back().isEmpty())
        lines->removeLast();
    return true;
}

int CmdInterpreter::runFor(const MarkedText &text, ByteSink *out, ByteSink *err)
{
    auto fail = [&](const QString &message) {
        if (err)
            err->write(encodeOutput(message + kCrLf));
        return 1;
    };
    qsizetype pos = 3;
    skipBlanks(text, &pos);
    ForOptions options;
    bool lineMode = false;
    if (pos + 1 < text.size() && text.isSyntax(pos, QLatin1Char('/')) && !text.isLiteral(pos + 1)
        && text.at(pos + 1).toLower() == QLatin1Char('f')) {
        lineMode = true;
        pos += 2;
        skipBlanks(text, &pos);
        if (pos < text.size() && text.isSyntax(pos, QLatin1Char('"'))) {
            qsizetype close = pos + 1;
            while (close < text.size() && !text.isSyntax(close, QLatin1Char('"')))
                ++close;
            if (close >= text.size())
                return fail(syntaxError());
            QString bad;
            if (!parseForOptions(text.mid(pos + 1, close - pos - 1).text, &options, &bad))
                return fail(unexpected(bad));
            pos = close + 1;
            skipBlanks(text, &pos);
        }
    }
    // %v (a batch file's %%v arrives here as %v)
    if (pos + 1 >= text.size() || !text.isSyntax(pos, QLatin1Char('%')) || text.isLiteral(pos + 1)
        || !text.at(pos + 1).isLetter() || text.at(pos + 1).unicode() > 127)
        return fail(syntaxError());
    const QChar letter = text.at(pos + 1);
    pos += 2;
    if (!isKeyword(nextWord(text, &pos), QLatin1StringView("in")))
        return fail(syntaxError());
    skipBlanks(text, &pos);
    if (pos >= text.size() || !text.isSyntax(pos, QLatin1Char('(')))
        return fail(syntaxError());
    // The set ends at the first ')' followed by "do" (outside quotes).
    qsizetype close = -1;
    qsizetype bodyStart = -1;
    bool quoted = false;
    for (qsizetype i = pos + 1; i < text.size(); ++i) {
        if (text.isSyntax(i, QLatin1Char('"')))
            quoted = !quoted;
        if (quoted || !text.isSyntax(i, QLatin1Char(')')))
            continue;
        qsizetype after = i + 1;
        skipBlanks(text, &after);
        if (keywordAt(text, after, QLatin1StringView("do"))) {
            close = i;
            bodyStart = after + 2;
            break;
        }
    }
    if (close < 0)
        return fail(syntaxError());
    const MarkedText set = text.mid(pos + 1, close - pos - 1).trimmed();
    skipBlanks(text, &bodyStart);
    const MarkedText body = text.mid(bodyStart);
    if (body.trimmed().isEmpty())
        return fail(syntaxError());

    const int letters = lineMode ? static_cast<int>(options.tokens.size()) + (options.rest ? 1 : 0) : 1;
    const QChar lastLetter(letter.unicode() + letters - 1);
    if (letters > 1 && (!lastLetter.isLetter() || (letter.isLower() != lastLetter.isLower())))
        return fail(unexpected(QStringLiteral("%") + letter));

    int last = m_errorLevel;
    if (!lineMode) {
        // for %v in (a b c): each word of the set.
        for (const QString &item : splitWindowsArguments(set))
            last = run(substituteForValues(body, letter, {item}), out, err);
        return last;
    }
    QStringList lines;
    if (!forLines(set, options.backQuotes, &lines, err))
        return m_errorLevel = 1;
    QStringList values;
    for (qsizetype k = options.skip; k < lines.size(); ++k) {
        if (lines.at(k).isEmpty() || !splitForLine(lines.at(k), options, &values))
            continue;
        last = run(substituteForValues(body, letter, values), out, err);
    }
    return last;
}

int CmdInterpreter::runCall(const MarkedText &rest, ByteSink *out, ByteSink *err)
{
    const QStringList argv = splitWindowsArguments(rest, true);
    if (argv.isEmpty() || argv.front().isEmpty())
        return 0;
    const QString local = toLocalPath(argv.front(), m_workingDirectory);
    if (!local.isEmpty() && QFileInfo(local).isFile())
        return runBatchFile(local, argv.mid(1), out, err);
    if (pathGiven(argv.front()) || argv.front().contains(QLatin1Char('.'))) {
        if (err)
            err->write(encodeOutput(osErrorText(ENOENT) + kCrLf));
        return 1;
    }
    return run(rest, out, err); // "call echo x": any other command
}

} // namespace dozorix
