#include "workers/Mp3Settings.h"

#include <QtEndian>

#include <gtest/gtest.h>


namespace {

// The stored form of 1 as the processor's own 32-bit integer.
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
#define NATIVE_ONE 0x01, 0x00, 0x00, 0x00
#else
#define NATIVE_ONE 0x00, 0x00, 0x00, 0x01
#endif

QByteArray bytes(std::initializer_list<int> values) {
    QByteArray b;
    for (int v : values) b.append(char(v));
    return b;
}

const QByteArray container160 = bytes({
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                                                          // header, lock count
    0x00, 0x00, 0x00, 0xA0, 's', 'e', 'a', 'n', 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0,              // root: 160 bytes, 1 child
    0x00, 0x00, 0x00, 0x8C, 'L', 'a', 'm', 'e', 0, 0, 0x03, 0xE8, 0, 0, 0, 5, 0, 0, 0, 0,        // ID 1000, 5 children
    0x00, 0x00, 0x00, 0x18, 'V', 'E', 'R', 'S', 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, NATIVE_ONE,  //
    0x00, 0x00, 0x00, 0x18, 'Q', 'U', 'A', 'L', 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xA0,
    0x00, 0x00, 0x00, 0x18, 'M', 'I', 'N', ' ', 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0x00, 0x00, 0x00, 0x18, 'A', 'V', 'G', ' ', 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0x00, 0x00, 0x00, 0x18, 'M', 'A', 'X', ' ', 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
});

constexpr int qualData = 12 + 20 + 20 + 24 + 20;  // offset of QUAL's 4 data bytes

TEST(Mp3Settings, ContainerLayoutIsTheQuickTimeAtomContainerAndTheBitRateReadsBack) {
    EXPECT_EQ(makeMp3SettingsContainer(160).toHex(' '), container160.toHex(' '));
    for (int kbps : {8, 128, 160, 256, 320}) {
        const QByteArray c = makeMp3SettingsContainer(kbps);
        EXPECT_EQ(qFromBigEndian<quint32>(c.constData() + qualData), quint32(kbps));
        EXPECT_EQ(mp3BitrateFromSettings(c), kbps);
    }
}

TEST(Mp3Settings, TruncatedAndMalformedContainersAreRejected) {
    for (qsizetype n = 0; n < container160.size(); ++n) EXPECT_FALSE(mp3BitrateFromSettings(container160.left(n))) << n << " bytes";
    auto patched = [](qsizetype at, QByteArray with) {
        QByteArray c = container160;
        c.replace(at, with.size(), with);
        return c;
    };
    EXPECT_FALSE(mp3BitrateFromSettings(patched(16, "naes"))) << "root type";
    EXPECT_FALSE(mp3BitrateFromSettings(patched(36, "Lamf"))) << "no Lame atom";
    EXPECT_FALSE(mp3BitrateFromSettings(patched(80, "QUAX"))) << "no QUAL atom";
    EXPECT_FALSE(mp3BitrateFromSettings(patched(32, bytes({0, 0, 0, 0xA0})))) << "Lame larger than its parent";
    EXPECT_FALSE(mp3BitrateFromSettings(patched(52, bytes({0, 0, 0, 0x00})))) << "a zero-sized child would loop";
    EXPECT_FALSE(mp3BitrateFromSettings(patched(52, bytes({0xFF, 0xFF, 0xFF, 0xFF})))) << "size past the end";
    EXPECT_FALSE(mp3BitrateFromSettings(patched(76, bytes({0, 0, 0, 0x16})))) << "QUAL with 2 data bytes";
    EXPECT_FALSE(mp3BitrateFromSettings(patched(qualData, bytes({0, 0, 0, 0})))) << "no rate";
    // More children claimed than there are: the walk must stop at the parent's end.
    EXPECT_FALSE(mp3BitrateFromSettings(patched(36 + 10, bytes({0, 9})).replace(76 + 4, 4, "QUAX")));

    // QUAL found after skipping its siblings, wherever it is.
    QByteArray reordered = container160;
    reordered.replace(52, 24, container160.mid(148, 24));  // MAX first
    reordered.replace(148, 24, container160.mid(52, 24));  // VERS last
    EXPECT_EQ(mp3BitrateFromSettings(reordered), 160);
}

}  // namespace
