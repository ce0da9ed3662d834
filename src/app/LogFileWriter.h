#pragma once
// Mirrors every event-log line to Dozorix.log in the program directory:
// "dd.MM.yyyy HH:mm:ss.zzz PID [colour] text" (the PID tells
// two consoles apart, e.g. a second instance that ends at once). The history
// outlives the window and outside checks can read it.
//
// The file is bounded: once a line would take it past kMaxFileBytes it
// becomes Dozorix.log.1 (the older ones move on to .2 … .4, the oldest is
// dropped) and a new Dozorix.log begins, so that the log never takes more
// than five such files. Every control character but the tab is written as a
// blank, so that no line can overwrite another in a terminal. The file is
// opened without following a link and only when it is a regular file; a
// write that fails (a full disk, the file-size limit) loses the mirror only.
// Each new problem is kept for takeProblem(), once, until a line is written
// again.

#include <QString>

namespace dozorix {

class LogFileWriter
{
public:
    static constexpr long long kMaxFileBytes = 16LL * 1024 * 1024;
    static constexpr int kKeptFiles = 4;

    LogFileWriter() = default;
    ~LogFileWriter();
    LogFileWriter(const LogFileWriter &) = delete;
    LogFileWriter &operator=(const LogFileWriter &) = delete;

    // colour: 0xRRGGBB.
    void append(const QString &text, unsigned int rgb);
    // Closes the file; the next line opens it again (the program directory
    // may have changed, as it does between tests).
    void close();

    // A problem with the file not reported yet ("Не удалось …"), then empty
    // until another problem appears after a line was written again.
    QString takeProblem();

    // "green", "red", "black", "blue", otherwise "#rrggbb".
    static QString colourName(unsigned int rgb);

private:
    bool ensureOpen();
    bool rotate();
    void problem(const QString &text);

    int m_fd = -1;
    QString m_path;
    long long m_size = 0;
    QString m_pending;
    QString m_reported;
};

} // namespace dozorix
