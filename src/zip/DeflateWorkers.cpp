#include "zip/DeflateWorkers.h"

#include <algorithm>
#include <array>
#include <libdeflate.h>
#include <zlib.h>

namespace dozorix {

// One compressor per level, kept for the life of a worker (setting one up
// costs more than compressing a small file).
class DeflateWorkers::Compressor
{
public:
    Compressor() = default;
    Compressor(const Compressor &) = delete;
    Compressor &operator=(const Compressor &) = delete;
    ~Compressor()
    {
        for (libdeflate_compressor *c : m_compressors) {
            if (c)
                libdeflate_free_compressor(c);
        }
    }

    void run(ChunkJob &job)
    {
        job.crc = crcOf(job.data(), job.dataSize);
        if (job.level == kStoredLevel)
            return;

        libdeflate_compressor *c = compressor(job.level);
        if (!c) {
            job.error = QStringLiteral("deflate: нет упаковщика для уровня %1").arg(job.level);
            return;
        }
        if (job.dataSize == 0 && job.last) {
            // An empty stream as zlib writes it (a final fixed-Huffman block
            // holding only its end), two bytes: what an empty file's entry
            // has always held.
            job.output.assign({0x03, 0x00});
            job.outSize = 2;
            return;
        }
        // The bound of a whole stream, and room for the sync flush that ends
        // a chunk which is not the last one.
        const size_t bound = libdeflate_deflate_compress_bound(c, job.dataSize) + 8;
        if (job.output.size() < bound)
            job.output.resize(bound);
        const size_t n = libdeflate_deflate_compress_piece(c, job.data(), job.dataSize, job.output.data(),
                                                           job.output.size(), job.last ? 1 : 0);
        if (n == 0) {
            job.error = QStringLiteral("deflate: сжатый фрагмент не уместился в отведённый ему размер");
            return;
        }
        job.outSize = n;
    }

private:
    static quint32 crcOf(const unsigned char *data, size_t size)
    {
        // crc32 takes at most 4 GiB at once; chunks are far smaller, but stay safe.
        uLong crc = crc32(0L, Z_NULL, 0);
        for (size_t done = 0; done < size;) {
            const size_t n = std::min<size_t>(size - done, 1u << 30);
            crc = crc32(crc, data + done, static_cast<uInt>(n));
            done += n;
        }
        return static_cast<quint32>(crc);
    }

    libdeflate_compressor *compressor(int level)
    {
        if (level < 1 || level > 9)
            return nullptr;
        libdeflate_compressor *&c = m_compressors[static_cast<size_t>(level)];
        if (!c)
            c = libdeflate_alloc_compressor(level);
        return c;
    }

    std::array<libdeflate_compressor *, 10> m_compressors{};
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
