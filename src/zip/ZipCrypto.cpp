#include "zip/ZipCrypto.h"

#include <random>
#include <zlib.h>

namespace dozorix {
namespace {

const z_crc_t *crcTable()
{
    static const z_crc_t *table = get_crc_table();
    return table;
}

inline quint32 crcByte(quint32 crc, unsigned char b)
{
    return static_cast<quint32>(crcTable()[(crc ^ b) & 0xFF]) ^ (crc >> 8);
}

} // namespace

ZipCrypto::ZipCrypto(const QByteArray &password)
{
    for (char c : password)
        update(static_cast<unsigned char>(c));
}

inline unsigned char ZipCrypto::streamByte() const
{
    const quint32 t = (m_k2 | 2) & 0xFFFF;
    return static_cast<unsigned char>((t * (t ^ 1)) >> 8);
}

inline void ZipCrypto::update(unsigned char plain)
{
    m_k0 = crcByte(m_k0, plain);
    m_k1 = (m_k1 + (m_k0 & 0xFF)) * 134775813u + 1;
    m_k2 = crcByte(m_k2, static_cast<unsigned char>(m_k1 >> 24));
}

void ZipCrypto::encrypt(unsigned char *data, size_t size)
{
    // Local copies let the compiler keep the keys in registers.
    const z_crc_t *table = crcTable();
    quint32 k0 = m_k0, k1 = m_k1, k2 = m_k2;
    for (size_t i = 0; i < size; ++i) {
        const quint32 t = (k2 | 2) & 0xFFFF;
        const unsigned char plain = data[i];
        data[i] = plain ^ static_cast<unsigned char>((t * (t ^ 1)) >> 8);
        k0 = static_cast<quint32>(table[(k0 ^ plain) & 0xFF]) ^ (k0 >> 8);
        k1 = (k1 + (k0 & 0xFF)) * 134775813u + 1;
        k2 = static_cast<quint32>(table[(k2 ^ (k1 >> 24)) & 0xFF]) ^ (k2 >> 8);
    }
    m_k0 = k0;
    m_k1 = k1;
    m_k2 = k2;
}

void ZipCrypto::decrypt(unsigned char *data, size_t size)
{
    for (size_t i = 0; i < size; ++i) {
        data[i] ^= streamByte();
        update(data[i]);
    }
}

std::array<unsigned char, 12> ZipCrypto::makeHeader(quint16 check, unsigned int randomSeed)
{
    std::minstd_rand rng(randomSeed);
    std::uniform_int_distribution<int> byte(0, 254);
    std::array<unsigned char, 12> h{};
    for (int i = 0; i < 10; ++i)
        h[static_cast<size_t>(i)] = static_cast<unsigned char>(byte(rng));
    h[10] = static_cast<unsigned char>(check & 0xFF);
    h[11] = static_cast<unsigned char>(check >> 8);
    encrypt(h.data(), h.size());
    return h;
}

} // namespace dozorix
