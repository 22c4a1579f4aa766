#pragma once

// The MP3 encoder's settings: byte for byte the "QT atom container" that
// QuickTime's LAME exporter takes, so settings pass between that exporter and
// this program unchanged. The FFmpeg encoder here reads only the bit rate.
//
// Layout (every header field big-endian):
//   container header  10 reserved zero bytes, 16-bit lock count 0
//   'sean' root atom  ID 1, one child
//     'Lame'          ID 1000, five children, in this order:
//       'VERS'        ID 1, 4 bytes: 1 in the processor's own byte order
//       'QUAL'        ID 1, 4 bytes: the bit rate in kbit/s, big-endian
//       'MIN ' 'AVG ' 'MAX '  ID 1, 4 bytes: 0
// A QT atom header is 20 bytes: size (header included), type, atom ID,
// 16 reserved bits, 16-bit child count, 32 reserved bits.

#include <QByteArray>

#include <optional>

QByteArray makeMp3SettingsContainer(int bitrateKbps);

// The bit rate in 'Lame'/'QUAL', or nothing when the container is malformed
// (any size running past its parent, a wrong root) or holds no positive rate.
std::optional<int> mp3BitrateFromSettings(const QByteArray& container);
