// The compressors cut a large entry into chunks compressed apart and joined
// in order: every chunk but the last ends with a sync flush, the last one
// with the final block. Here chunks of every awkward size and kind of data,
// at the levels of each of the compressor's strategies, are joined and
// inflated by zlib: the stream must give back exactly the bytes put in and
// end exactly where the joined chunks end.

#include "filecopy/support/FileTestSupport.h"
#include "zip/DeflateWorkers.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <memory>
#include <vector>

using namespace dozorix;
using namespace dozorix::test;

namespace {

struct PieceCase {
    const char *name;
    int level;
    int threads;
};

void PrintTo(const PieceCase &c, std::ostream *os) { *os << c.name; }

// Inflates a raw deflate stream; empty error text when it ends with its
// final block exactly at the end of the data.
QString inflateAll(const QByteArray &stream, QByteArray *out)
{
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK)
        return QStringLiteral("inflateInit2 failed");
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(stream.constData()));
    z.avail_in = static_cast<uInt>(stream.size());
    QByteArray buf(1 << 20, Qt::Uninitialized);
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = reinterpret_cast<Bytef *>(buf.data());
        z.avail_out = static_cast<uInt>(buf.size());
        rc = inflate(&z, Z_NO_FLUSH);
        out->append(buf.constData(), buf.size() - static_cast<qsizetype>(z.avail_out));
        if (rc == Z_BUF_ERROR && z.avail_in == 0)
            break;
    }
    const uInt left = z.avail_in;
    inflateEnd(&z);
    if (rc != Z_STREAM_END)
        return QStringLiteral("inflate stopped with %1 and %2 bytes left").arg(rc).arg(left);
    if (left != 0)
        return QStringLiteral("the final block ends %1 bytes before the stream").arg(left);
    return QString();
}

class DeflatePiecesTest : public ::testing::TestWithParam<PieceCase>
{};

TEST_P(DeflatePiecesTest, JoinedChunksAreOneStream)
{
    const PieceCase &c = GetParam();
    // Sizes around the stored-block limit (65535), the sizes the compressor
    // stores without trying (up to 55 bytes), empty chunks, and the writer's
    // 1 MiB work unit; each with text, noise, zeros and a mix, so that the
    // blocks end at every bit position of their last byte.
    const qsizetype sizes[] = {0, 1, 2, 30, 55, 56, 100, 4096, 65535, 65536, 65537, 300001, 1 << 20};
    std::vector<QByteArray> pieces;
    quint32 seed = 1;
    for (qsizetype size : sizes) {
        pieces.push_back(textBytes(size, seed++));
        pieces.push_back(randomBytes(size, seed++));
        pieces.push_back(QByteArray(size, '\0'));
        pieces.push_back(mixedBytes(size, seed++));
    }
    // Odd sizes between, so that the ends fall everywhere.
    for (int i = 0; i < 40; ++i)
        pieces.push_back(i % 2 ? textBytes(777 + i * 1237, seed++) : mixedBytes(3 + i * 97, seed++));
    // The stream ends with a short tail, as a file's last chunk often does.
    pieces.push_back(textBytes(17, seed++));

    DeflateWorkers workers(c.threads);
    std::vector<std::unique_ptr<ChunkJob>> jobs;
    QByteArray expected;
    for (size_t i = 0; i < pieces.size(); ++i) {
        auto job = std::make_unique<ChunkJob>();
        job->kind = ChunkJob::Kind::Data;
        job->level = c.level;
        job->input.assign(pieces[i].begin(), pieces[i].end());
        job->dataSize = static_cast<size_t>(pieces[i].size());
        job->last = i + 1 == pieces.size();
        expected += pieces[i];
        workers.submit(job.get());
        jobs.push_back(std::move(job));
    }
    QByteArray stream;
    for (size_t i = 0; i < jobs.size(); ++i) {
        workers.waitFor(jobs[i].get());
        ASSERT_TRUE(jobs[i]->error.isEmpty()) << qPrintable(jobs[i]->error);
        const QByteArray out(reinterpret_cast<const char *>(jobs[i]->output.data()),
                             static_cast<qsizetype>(jobs[i]->outSize));
        const uLong crc = crc32(0L, reinterpret_cast<const Bytef *>(pieces[i].constData()),
                                static_cast<uInt>(pieces[i].size()));
        EXPECT_EQ(jobs[i]->crc, static_cast<quint32>(crc)) << "chunk " << i;
        if (!jobs[i]->last) {
            EXPECT_TRUE(out.endsWith(QByteArrayLiteral("\x00\x00\xff\xff"))) << "chunk " << i;
        }
        stream += out;
    }

    QByteArray back;
    EXPECT_EQ(inflateAll(stream, &back), QString());
    ASSERT_EQ(back.size(), expected.size());
    EXPECT_TRUE(back == expected);
    // The text chunks compress: the chunks are compressed, not stored.
    EXPECT_LT(stream.size(), expected.size() * 3 / 4);
}

INSTANTIATE_TEST_SUITE_P(Levels, DeflatePiecesTest,
                         ::testing::Values(PieceCase{"Fastest", 1, 2}, PieceCase{"Greedy", 3, 2},
                                           PieceCase{"Default", 6, 2}, PieceCase{"DefaultOneThread", 6, 1},
                                           PieceCase{"Lazy2", 9, 2}),
                         [](const ::testing::TestParamInfo<PieceCase> &tp) { return std::string(tp.param.name); });

} // namespace
