#include "zip/ZipOutput.h"

#include "filecopy/FileCopy.h"

#include <QBuffer>
#include <QFileDevice>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace dozorix {
namespace {

ZipIoError ioError(int err)
{
    return ZipIoError(fileErrorText(err), err);
}

} // namespace

void ZipOutput::append(const void *data, size_t n)
{
    const auto *p = static_cast<const char *>(data);
    if (n >= kBufferSize / 4) {
        // Large pieces go straight to the device, after what is buffered.
        flush();
        rawWrite(m_bufStart, p, n);
        m_bufStart += n;
        return;
    }
    if (m_buf.size() + n > kBufferSize)
        flush();
    m_buf.insert(m_buf.end(), p, p + n);
}

void ZipOutput::writeAt(quint64 pos, const void *data, size_t n)
{
    const auto *p = static_cast<const char *>(data);
    if (pos >= m_bufStart) {
        std::memcpy(m_buf.data() + (pos - m_bufStart), p, n);
        return;
    }
    if (pos + n > m_bufStart)
        flush();
    rawWrite(pos, p, n);
}

void ZipOutput::truncate(quint64 len)
{
    if (len >= m_bufStart) {
        m_buf.resize(static_cast<size_t>(len - m_bufStart));
        return;
    }
    m_buf.clear();
    rawTruncate(len);
    m_bufStart = len;
}

void ZipOutput::flush()
{
    if (m_buf.empty())
        return;
    rawWrite(m_bufStart, m_buf.data(), m_buf.size());
    m_bufStart += m_buf.size();
    m_buf.clear();
}

void FdZipOutput::rawWrite(quint64 pos, const char *data, size_t n)
{
    while (n > 0) {
        const ssize_t w = ::pwrite(m_fd, data, n, static_cast<off_t>(pos));
        if (w < 0) {
            if (errno == EINTR)
                continue;
            throw ioError(errno);
        }
        data += w;
        pos += static_cast<quint64>(w);
        n -= static_cast<size_t>(w);
    }
    // Start the writeback of what lies behind (a header patched there later
    // only dirties its page again, for fsync); failures are left to fsync.
    if (pos > m_writebackFrom && pos - m_writebackFrom >= kWritebackStep) {
        ::sync_file_range(m_fd, static_cast<off_t>(m_writebackFrom), static_cast<off_t>(pos - m_writebackFrom),
                          SYNC_FILE_RANGE_WRITE);
        m_writebackFrom = pos;
    }
}

void FdZipOutput::rawTruncate(quint64 len)
{
    if (::ftruncate(m_fd, static_cast<off_t>(len)) != 0)
        throw ioError(errno);
}

void FdZipOutput::sync()
{
    flush();
    // Bytes of a failed write past the end would otherwise stay behind.
    rawTruncate(size());
    if (::fsync(m_fd) != 0 && errno != EINVAL)
        throw ioError(errno);
}

DeviceZipOutput::DeviceZipOutput(QIODevice &device)
    : ZipOutput(static_cast<quint64>(device.pos()))
    , m_device(device)
{
}

void DeviceZipOutput::rawWrite(quint64 pos, const char *data, size_t n)
{
    if (static_cast<quint64>(m_device.pos()) != pos && !m_device.seek(static_cast<qint64>(pos)))
        throw ZipIoError(m_device.errorString());
    while (n > 0) {
        const qint64 w = m_device.write(data, static_cast<qint64>(n));
        if (w <= 0)
            throw ZipIoError(m_device.errorString());
        data += w;
        n -= static_cast<size_t>(w);
    }
}

void DeviceZipOutput::rawTruncate(quint64 len)
{
    if (auto *file = qobject_cast<QFileDevice *>(&m_device)) {
        if (!file->resize(static_cast<qint64>(len)))
            throw ZipIoError(file->errorString());
    } else if (auto *buffer = qobject_cast<QBuffer *>(&m_device)) {
        buffer->buffer().resize(static_cast<qsizetype>(len));
    }
    if (!m_device.seek(static_cast<qint64>(len)))
        throw ZipIoError(m_device.errorString());
}

} // namespace dozorix
