#include "shell/CmdInterpreter.h"

#include "shell/CmdBuiltins.h"
#include "shell/CmdExternal.h"
#include "shell/CmdMessages.h"
#include "shell/CmdSyntax.h"

#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <mutex>

namespace dozorix {
namespace {

using cmdmessages::kCrLf;

// ---------------------------------------------------------------------------
// Registry of built-ins. Never destroyed, so a command still running on a
// worker thread at exit finds it intact.

struct Registry {
    std::mutex mutex;
    QHash<QString, CmdInterpreter::Builtin> handlers;
    QSet<QString> windowsTools;
};

Registry &registry()
{
    static auto *r = new Registry;
    return *r;
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

void CmdContext::noteAccessDenied()
{
    m_interpreter->noteAccessDenied();
}

// ---------------------------------------------------------------------------

void ConsoleSink::write(const QByteArray &bytes)
{
    const CodePage page = m_interpreter.codePage();
    if (m_pieces.empty() || m_pieces.back().first != page)
        m_pieces.emplace_back(page, QByteArray());
    m_pieces.back().second.append(bytes);
}

QByteArray ConsoleSink::bytes() const
{
    QByteArray all;
    for (const auto &piece : m_pieces)
        all.append(piece.second);
    return all;
}

QString ConsoleSink::text() const
{
    QString all;
    for (const auto &[page, bytes] : m_pieces)
        all += decode(bytes, page);
    return all;
}

// ---------------------------------------------------------------------------

CmdInterpreter::CmdInterpreter(QString workingDirectory)
    : m_workingDirectory(std::move(workingDirectory))
{
    registerCmdCommands();
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

// ---------------------------------------------------------------------------

int CmdInterpreter::run(const CommandLine &command, ByteSink *out, ByteSink *err)
{
    return run(command.marked(), out, err);
}

int CmdInterpreter::run(const MarkedText &line, ByteSink *out, ByteSink *err)
{
    std::vector<cmdsyntax::Segment> segments;
    QString error;
    if (!cmdsyntax::parseLine(line, &segments, &error)) {
        if (err)
            err->write(encodeOutput(error + kCrLf));
        return m_errorLevel = 1;
    }

    using Join = cmdsyntax::Segment::Join;
    int last = 0;
    for (const cmdsyntax::Segment &seg : segments) {
        if (seg.join == Join::OnSuccess && last != 0)
            continue;
        if (seg.join == Join::OnFailure && last == 0)
            continue;
        last = execute(seg, out, err);
        m_errorLevel = last;
    }
    return last;
}

int CmdInterpreter::execute(const cmdsyntax::Segment &segment, ByteSink *out, ByteSink *err)
{
    if (segment.compound)
        return cmdsyntax::keywordAt(segment.text, 0, QLatin1StringView("if")) ? runIf(segment.text, out, err)
                                                                              : runFor(segment.text, out, err);
    CommandStreams streams(out, err);
    for (const cmdsyntax::Redirection &r : segment.redirections) {
        if (const int error = streams.redirect(r, m_workingDirectory); error != 0) {
            if (streams.err())
                streams.err()->write(encodeOutput(cmdmessages::osErrorText(error) + kCrLf));
            return 1;
        }
    }
    ByteSink *curOut = streams.out();
    ByteSink *curErr = streams.err();

    const MarkedText text = segment.text;
    if (text.trimmed().isEmpty())
        return 0; // only redirections: cmd creates the files and runs nothing

    const QStringList argv = splitWindowsArguments(text, true);
    const QString name = argv.value(0);
    const qsizetype argumentsStart = cmdsyntax::argumentsStart(text);
    const QString raw = text.mid(argumentsStart).text;

    // Built-ins: the Windows tools by name wherever they are addressed;
    // other built-ins unless a real file of that path exists.
    const QString key = builtinKey(name);
    if (key == QLatin1String("call") && !cmdsyntax::pathGiven(name))
        return runCall(text.mid(argumentsStart), curOut, curErr);
    Builtin builtin;
    if (isWindowsTool(key) || !cmdsyntax::pathGiven(name) || !QFileInfo(toLocalPath(name, m_workingDirectory)).isFile())
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
    return runExternal(argv, streams.input(), curOut, curErr);
}

int CmdInterpreter::runParameters(const CommandLine &parameters, ByteSink *out, ByteSink *err)
{
    return runParameters(parameters.marked(), out, err);
}

int CmdInterpreter::runParameters(const MarkedText &all, ByteSink *out, ByteSink *err)
{
    MarkedText command;
    if (!cmdsyntax::commandOfParameters(all, &command))
        return 0; // no /C or /K: an interactive shell nobody sees
    return run(command, out, err);
}

} // namespace dozorix
