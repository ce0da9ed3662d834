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
        // crc32 takes at most 4 GiB at once; chunks are far smaller, but stay safe.
        uLong crc = crc32(0L, Z_NULL, 0);
        for (size_t done = 0; done < job.dataSize;) {
            const size_t n = std::min<size_t>(job.dataSize - done, 1u << 30);
            crc = crc32(crc, job.data() + done, static_cast<uInt>(n));
            done += n;
        }
        job.crc = static_cast<quint32>(crc);
        if (job.zlibLevel == kStoredLevel)
            return;

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
        z->next_in = job.data();
        z->avail_in = static_cast<uInt>(job.dataSize);
        const int flush = job.last ? Z_FINISH : Z_SYNC_FLUSH;
        size_t used = 0;
        for (;;) {
            if (used == job.output.size())
                job.output.resize(job.output.size() * 2);
            z->next_out = job.output.data() + used;
            z->avail_out = static_cast<uInt>(job.output.size() - used);
            const int rc = deflate(z, flush);
            used = job.output.size() - z->avail_out;
            if (rc == Z_STREAM_END)
                break;
            if (rc != Z_OK && rc != Z_BUF_ERROR) {
                job.error = QStringLiteral("zlib: deflate failed (%1)").arg(rc);
                return;
            }
            // A sync flush is complete when deflate left output room unused.
            if (flush == Z_SYNC_FLUSH && z->avail_in == 0 && z->avail_out > 0)
                break;
        }
        job.outSize = used;
    }

private:
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
    m_done.wait(g, [job] { return job->done; });
}

void DeflateWorkers::discardAll()
{
    if (m_inline)
        return;
    std::unique_lock<std::mutex> g(m_lock);
    for (ChunkJob *job : m_queue)
        job->done = true;
    m_queue.clear();
    m_done.wait(g, [this] { return m_running == 0; });
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
        m_done.notify_all();
    }
}

} // namespace dozorix
