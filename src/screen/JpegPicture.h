#pragma once
// JPEG pictures of a remote screen, decoded with TurboJPEG into 32-bit
// pixels (blue, green, red, unused byte: the layout of QImage::Format_RGB32
// on this machine's byte order), ready to be shown without a conversion.

#include <QByteArray>

namespace dozorix {

struct ScreenPicture {
    int width = 0;
    int height = 0;
    QByteArray pixels; // width * height * 4 bytes, rows top to bottom
    bool isEmpty() const { return width == 0 || height == 0; }
};

class JpegDecoder
{
public:
    // Larger pictures are refused (no screen has them; the pixels of a
    // forged header would take gigabytes).
    static constexpr int kMaxSide = 16384;

    JpegDecoder();
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder &) = delete;
    JpegDecoder &operator=(const JpegDecoder &) = delete;

    // Decodes the bytes; false when they are not a JPEG image, are cut
    // short or are too large (*picture is then empty, or as it was when the
    // header was already refused). A picture whose
    // pixels nobody else holds any more is decoded into in place.
    bool decode(const QByteArray &jpeg, ScreenPicture *picture);

private:
    void *m_handle = nullptr;
};

} // namespace dozorix
