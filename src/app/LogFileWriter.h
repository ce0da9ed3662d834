#pragma once
// Mirrors every event-log line to Dozorix.log in the program directory:
// "dd.MM.yyyy HH:mm:ss.zzz PID [colour] text" (the PID tells
// two consoles apart, e.g. a second instance that ends at once). The file keeps every line, so the
// history outlives the window and outside checks can read it.

#include <QString>

namespace dozorix {

class LogFileWriter
{
public:
    LogFileWriter() = default;
    ~LogFileWriter();
    LogFileWriter(const LogFileWriter &) = delete;
    LogFileWriter &operator=(const LogFileWriter &) = delete;

    // colour: 0xRRGGBB.
    void append(const QString &text, unsigned int rgb);
    // Closes the file; the next line opens it again (the program directory
    // may have changed, as it does between tests).
    void close();

    // "green", "red", "black", "blue", otherwise "#rrggbb".
    static QString colourName(unsigned int rgb);

private:
    bool ensureOpen();

    int m_fd = -1;
    QString m_path;
};

} // namespace dozorix
