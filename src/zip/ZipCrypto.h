#pragma once
// Traditional PKWARE encryption of ZIP entries: three 32-bit keys driven by
// the password and the plain bytes, a keystream byte from the third key.

#include <QByteArray>
#include <QtGlobal>

#include <array>
#include <cstddef>

namespace dozorix {

class ZipCrypto
{
public:
    // Keys initialised from the password bytes (the password in the ANSI
    // code page of the archive's users, Windows-1251 here).
    explicit ZipCrypto(const QByteArray &password);

    // Encrypts in place; the keys advance with every plain byte.
    void encrypt(unsigned char *data, size_t size);
    void decrypt(unsigned char *data, size_t size);

    // The 12-byte encryption header, already encrypted: ten random bytes
    // (0 .. 254) and the two check bytes, low byte first. The keys continue
    // from it into the entry's data.
    std::array<unsigned char, 12> makeHeader(quint16 check, unsigned int randomSeed);

private:
    unsigned char streamByte() const;
    void update(unsigned char plain);

    quint32 m_k0 = 0x12345678;
    quint32 m_k1 = 0x23456789;
    quint32 m_k2 = 0x34567890;
};

} // namespace dozorix
