#include "store/rc4.h"

#include <utility>

QByteArray rc4(const QByteArray &key, const QByteArray &data)
{
    QByteArray out(data.size(), '\0');
    if (key.isEmpty())
        return data;
    unsigned char s[256];
    for (int i = 0; i < 256; ++i)
        s[i] = static_cast<unsigned char>(i);
    for (int i = 0, j = 0; i < 256; ++i) {
        j = (j + s[i] + static_cast<unsigned char>(key[i % key.size()])) & 0xFF;
        std::swap(s[i], s[j]);
    }
    for (int n = 0, i = 0, j = 0; n < data.size(); ++n) {
        i = (i + 1) & 0xFF;
        j = (j + s[i]) & 0xFF;
        std::swap(s[i], s[j]);
        out[n] = static_cast<char>(static_cast<unsigned char>(data[n]) ^ s[(s[i] + s[j]) & 0xFF]);
    }
    return out;
}
