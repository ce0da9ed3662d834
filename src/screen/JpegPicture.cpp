#include "screen/JpegPicture.h"

#include <turbojpeg.h>

namespace dozorix {

JpegDecoder::JpegDecoder()
    : m_handle(tjInitDecompress())
{
}

JpegDecoder::~JpegDecoder()
{
    if (m_handle)
        tjDestroy(m_handle);
}

bool JpegDecoder::decode(const QByteArray &jpeg, ScreenPicture *picture)
{
    if (!m_handle || jpeg.isEmpty())
        return false;
    const auto *data = reinterpret_cast<const unsigned char *>(jpeg.constData());
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(m_handle, data, static_cast<unsigned long>(jpeg.size()), &width, &height, &subsampling,
                            &colorspace) != 0)
        return false;
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide)
        return false;
    QByteArray pixels = picture->pixels;
    picture->pixels = QByteArray(); // in place when the caller held the last reference
    const qsizetype bytes = qsizetype(width) * height * 4;
    if (pixels.size() != bytes || !pixels.isDetached()) // still shown elsewhere: never written under it
        pixels = QByteArray(bytes, Qt::Uninitialized);
    auto *out = reinterpret_cast<unsigned char *>(pixels.data());
    const int rc = tjDecompress2(m_handle, data, static_cast<unsigned long>(jpeg.size()), out, width, width * 4,
                                 height, TJPF_BGRX, TJFLAG_STOPONWARNING);
    if (rc != 0) {
        *picture = ScreenPicture();
        return false;
    }
    picture->width = width;
    picture->height = height;
    picture->pixels = std::move(pixels);
    return true;
}

} // namespace dozorix
