#pragma once
// Raw deflate of large entries on several cores. An entry's data is cut into
// chunks; each chunk is compressed on its own (libdeflate, about 2.3 times
// zlib's speed at the same level) and ends on a byte boundary (a sync
// flush), the last one with the final block, so that the chunks joined in
// order are one valid deflate stream. Each chunk's CRC-32 is computed by the
// same worker just before (the chunk is still in the cache), and the writer
// combines them. Small files are single chunks, so several entries are
// compressed at once as well.

#include <QString>
#include <QtGlobal>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace dozorix {

// The level that means "store, do not compress" in a chunk job.
inline constexpr int kStoredLevel = -100;

// Leaves new elements uninitialised: a buffer that is about to be filled by
// read() or deflate is not cleared first.
template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <typename U>
    UninitialisedAllocator(const UninitialisedAllocator<U> &) noexcept {}
    template <typename U>
    void construct(U *p) noexcept(std::is_nothrow_default_constructible_v<U>)
    {
        ::new (static_cast<void *>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U *p, Args &&...args)
    {
        ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
    }
};

using ChunkBuffer = std::vector<unsigned char, UninitialisedAllocator<unsigned char>>;

// One piece of work for the workers, or a marker that needs no work and only
// keeps its place in the order of the archive.
struct ChunkJob {
    enum class Kind { Begin, Data, Fail, End };

    Kind kind = Kind::Data;
    int entry = -1;

    // Data: the bytes of the chunk (dataSize of them) and the deflate level
    // (1 … 9, or kStoredLevel).
    ChunkBuffer input;
    size_t dataSize = 0;
    quint64 sourceEnd = 0; // source position after this chunk
    int level = kStoredLevel;
    bool last = false;

    // Results of a data job.
    ChunkBuffer output;
    size_t outSize = 0;
    quint32 crc = 0;
    QString error; // set when compression failed; also a Fail marker's text

    bool done = false; // guarded by the workers' lock

    const unsigned char *data() const { return input.data(); }
    unsigned char *data() { return input.data(); }
};

class DeflateWorkers
{
public:
    // threads < 2 runs every job on the calling thread as it is submitted.
    explicit DeflateWorkers(int threads);
    ~DeflateWorkers();
    DeflateWorkers(const DeflateWorkers &) = delete;
    DeflateWorkers &operator=(const DeflateWorkers &) = delete;

    void submit(ChunkJob *job);
    void waitFor(ChunkJob *job);
    // Drops the jobs no worker has started and waits for the running ones.
    void discardAll();

    class Compressor;

private:
    void workerLoop();

    std::mutex m_lock;
    std::condition_variable m_work;
    std::condition_variable m_done;
    std::deque<ChunkJob *> m_queue;
    int m_running = 0;
    bool m_stop = false;
    // What the calling thread waits for: a worker wakes it only for that.
    const ChunkJob *m_awaited = nullptr;
    bool m_draining = false;
    std::vector<std::thread> m_threads;
    Compressor *m_inline = nullptr;
};

} // namespace dozorix
