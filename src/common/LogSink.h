#pragma once
// The event log seen from code that knows no windows: engines and worker
// hand-offs write their log lines here, and the main window registers its
// CText as the receiver. Lines written while no receiver is registered are
// dropped. Call only on the user-interface thread.

#include <QString>

#include <functional>

namespace dozorix {

// Colours of the log, as 0xRRGGBB.
enum : unsigned int {
    kLogGreen = 0x008000,
    kLogRed = 0xFF0000,
    kLogBlack = 0x000000,
};

using LogReceiver = std::function<void(const QString &text, unsigned int rgb)>;

// Installs the receiver (an empty function removes it).
void setLogReceiver(LogReceiver receiver);

// Appends one line to the event log.
void logLine(const QString &text, unsigned int rgb);

} // namespace dozorix
