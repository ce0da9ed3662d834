#include "DeflateWorkers.h"

#include <algorithm>
#include <array>
#include <zlib.h>

namespace dozorix {

// One deflate state per zlib level, kept for the life of a worker and reset
// for every chunk (setting a stream up costs more than compressing a small
// file).
class DeflateWorkers::Compressor
{
public:
    Compressor() = default;
    Compressor(const Compressor &) = delete;
    Compressor &operator=(const Compressor &) = delete;
    ~Compressor()
    {
        for (auto &s : m_streams) {
            if (s.ready)
                deflateEnd(&s.z);
        }
    }

    void run(ChunkJob &job)
    {
        if (job.zlibLevel == kStoredLevel) {
            job.crc = crcOf(crc32(0L, Z_NULL, 0), job.data(), job.dataSize);
            return;
        }

        z_stream *z = stream(job.zlibLevel);
        if (!z) {
            job.error = QStringLiteral("zlib: deflateInit2 failed");
            return;
        }
        if (job.dictSize > 0
            && deflateSetDictionary(z, job.input.data(), static_cast<uInt>(job.dictSize)) != Z_OK) {
            job.error = QStringLiteral("zlib: deflateSetDictionary failed");
            return;
        }
        const size_t bound = job.dataSize + (job.dataSize >> 12) + (job.dataSize >> 14) + 64;
        if (job.output.size() < bound)
            job.output.resize(bound);
        m_used = 0;

        // The CRC of each slice is taken just before deflate reads the
        // slice, while it is in the cache: one pass over memory, not two.
        // Feeding deflate slice by slice gives the same output as at once.
        uLong crc = crc32(0L, Z_NULL, 0);
        const unsigned char *in = job.data();
        size_t left = job.dataSize;
        for (;;) {
            const size_t n = std::min(left, kSlice);
            crc = crc32(crc, in, static_cast<uInt>(n));
            z->next_in = const_cast<Bytef *>(in);
            z->avail_in = static_cast<uInt>(n);
            in += n;
            left -= n;
            const int flush = left > 0 ? Z_NO_FLUSH : job.last ? Z_FINISH : Z_SYNC_FLUSH;
            if (!pump(job, z, flush))
                return;
            if (left == 0)
                break;
        }
        job.crc = static_cast<quint32>(crc);
        job.outSize = m_used;
    }

private:
    static constexpr size_t kSlice = 64 * 1024;

    static quint32 crcOf(uLong crc, const unsigned char *data, size_t size)
    {
        // crc32 takes at most 4 GiB at once; chunks are far smaller, but stay safe.
        for (size_t done = 0; done < size;) {
            const size_t n = std::min<size_t>(size - done, 1u << 30);
            crc = crc32(crc, data + done, static_cast<uInt>(n));
            done += n;
        }
        return static_cast<quint32>(crc);
    }

    // Runs deflate over the input it has been given, growing the output as
    // needed: until the input is taken (no flush), the stream has ended
    // (finish) or the flush is complete (sync).
    bool pump(ChunkJob &job, z_stream *z, int flush)
    {
        for (;;) {
            if (m_used == job.output.size())
                job.output.resize(job.output.size() * 2);
            z->next_out = job.output.data() + m_used;
            z->avail_out = static_cast<uInt>(job.output.size() - m_used);
            const int rc = deflate(z, flush);
            m_used = job.output.size() - z->avail_out;
            if (rc == Z_STREAM_END)
                return true;
            if (rc != Z_OK && rc != Z_BUF_ERROR) {
                job.error = QStringLiteral("zlib: deflate failed (%1)").arg(rc);
                return false;
            }
            if (z->avail_in != 0)
                continue;
            if (flush == Z_NO_FLUSH)
                return true;
            // A sync flush is complete when deflate left output room unused.
            if (flush == Z_SYNC_FLUSH && z->avail_out > 0)
                return true;
        }
    }

    size_t m_used = 0;

    struct Slot {
        z_stream z{};
        bool ready = false;
    };

    z_stream *stream(int level)
    {
        // Levels -1 (zlib's default) .. 9 map to slots 0 .. 10.
        Slot &s = m_streams[static_cast<size_t>(level + 1)];
        if (!s.ready) {
            if (deflateInit2(&s.z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
                return nullptr;
            s.ready = true;
        } else if (deflateReset(&s.z) != Z_OK) {
            return nullptr;
        }
        return &s.z;
    }

    std::array<Slot, 11> m_streams;
};

DeflateWorkers::DeflateWorkers(int threads)
{
    if (threads < 2) {
        m_inline = new Compressor;
        return;
    }
    m_threads.reserve(static_cast<size_t>(threads));
    for (int i = 0; i < threads; ++i)
        m_threads.emplace_back([this] { workerLoop(); });
}

DeflateWorkers::~DeflateWorkers()
{
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_stop = true;
        m_queue.clear();
    }
    m_work.notify_all();
    for (auto &t : m_threads)
        t.join();
    delete m_inline;
}

void DeflateWorkers::submit(ChunkJob *job)
{
    if (job->kind != ChunkJob::Kind::Data) {
        job->done = true;
        return;
    }
    if (m_inline) {
        m_inline->run(*job);
        job->done = true;
        return;
    }
    {
        std::lock_guard<std::mutex> g(m_lock);
        job->done = false;
        m_queue.push_back(job);
    }
    m_work.notify_one();
}

void DeflateWorkers::waitFor(ChunkJob *job)
{
    if (m_inline)
        return;
    std::unique_lock<std::mutex> g(m_lock);
    if (job->done)
        return;
    m_awaited = job;
    m_done.wait(g, [job] { return job->done; });
    m_awaited = nullptr;
}

void DeflateWorkers::discardAll()
{
    if (m_inline)
        return;
    std::unique_lock<std::mutex> g(m_lock);
    for (ChunkJob *job : m_queue)
        job->done = true;
    m_queue.clear();
    m_draining = true;
    m_done.wait(g, [this] { return m_running == 0; });
    m_draining = false;
}

void DeflateWorkers::workerLoop()
{
    Compressor compressor;
    std::unique_lock<std::mutex> g(m_lock);
    for (;;) {
        m_work.wait(g, [this] { return m_stop || !m_queue.empty(); });
        if (m_stop)
            return;
        ChunkJob *job = m_queue.front();
        m_queue.pop_front();
        ++m_running;
        g.unlock();
        compressor.run(*job);
        g.lock();
        --m_running;
        job->done = true;
        if (job == m_awaited || m_draining)
            m_done.notify_all();
    }
}

} // namespace dozorix
