#pragma once
// Where an archive is written: a file descriptor or a Qt device, behind one
// buffered interface that appends, patches earlier bytes (headers filled in
// after their data) and cuts the end away (a failed entry).

#include <QString>
#include <QtGlobal>

#include <stdexcept>
#include <vector>

class QIODevice;

namespace dozorix {

// A failure to write, seek or cut the archive.
class ZipIoError : public std::runtime_error
{
public:
    explicit ZipIoError(const QString &message, int error = 0)
        : std::runtime_error(message.toStdString()), m_message(message), m_error(error) {}
    const QString &message() const { return m_message; }
    // The errno of the failure; 0 for a Qt device's.
    int error() const { return m_error; }

private:
    QString m_message;
    int m_error;
};

class ZipOutput
{
public:
    virtual ~ZipOutput() = default;
    ZipOutput(const ZipOutput &) = delete;
    ZipOutput &operator=(const ZipOutput &) = delete;

    // Position one past the last byte written (stream positions, so an
    // archive written after a prefix has absolute offsets).
    quint64 size() const { return m_bufStart + m_buf.size(); }
    void append(const void *data, size_t n);
    // Overwrites bytes already appended.
    void writeAt(quint64 pos, const void *data, size_t n);
    // Cuts everything from len on.
    void truncate(quint64 len);
    // Hands the buffered bytes to the device.
    void flush();
    // Makes the written bytes durable (the file's data on disk).
    virtual void sync() {}

protected:
    explicit ZipOutput(quint64 start) : m_bufStart(start) { m_buf.reserve(kBufferSize); }
    virtual void rawWrite(quint64 pos, const char *data, size_t n) = 0;
    virtual void rawTruncate(quint64 len) = 0;

private:
    static constexpr size_t kBufferSize = 1 << 20;
    std::vector<char> m_buf;
    quint64 m_bufStart;
};

// Writes to an open file descriptor that the caller owns.
class FdZipOutput final : public ZipOutput
{
public:
    explicit FdZipOutput(int fd) : ZipOutput(0), m_fd(fd) {}
    void sync() override;

protected:
    void rawWrite(quint64 pos, const char *data, size_t n) override;
    void rawTruncate(quint64 len) override;

private:
    // The written bytes are handed to the disk as the archive grows, so that
    // the final fsync has little left to wait for.
    static constexpr quint64 kWritebackStep = 8u << 20;
    int m_fd;
    quint64 m_writebackFrom = 0;
};

// Writes to a random-access Qt device from its current position. Cutting
// works for files and buffers; on other devices later bytes overwrite.
class DeviceZipOutput final : public ZipOutput
{
public:
    explicit DeviceZipOutput(QIODevice &device);

protected:
    void rawWrite(quint64 pos, const char *data, size_t n) override;
    void rawTruncate(quint64 len) override;

private:
    QIODevice &m_device;
};

} // namespace dozorix
