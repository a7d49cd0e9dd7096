#pragma once
// The RC4 stream cipher, as the old single-file local databases used it for
// message bodies. Enciphering and deciphering are the same operation.
#include <QByteArray>

QByteArray rc4(const QByteArray &key, const QByteArray &data);
