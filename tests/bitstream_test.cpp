#include "bitstream.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

// The bytes 01 23 45 67 89 AB CD EF, first bit first.
const std::string PALAVRA = "0000000100100011010001010110011110001001101010111100110111101111";

BitStream streamOf(const std::string& bits) {
    BitStream bs;
    bsClean(&bs);
    for (char c : bits) bsPushInPlace(c == '1', &bs);
    return bs;
}

}  // namespace

TEST(BitStream, AppendIsMostSignificantBitFirst) {
    const struct {
        std::string bits;
        std::vector<uint8_t> data;
    } cases[] = {
        {"101", {0xA0}},
        {"000000001", {0x00, 0x80}},
        {"111100001", {0xF0, 0x80}},
        {PALAVRA, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bits);
        const BitStream bs = streamOf(c.bits);
        ASSERT_EQ(bs.bits, c.bits.size());
        EXPECT_EQ(std::vector<uint8_t>(bs.data, bs.data + c.data.size()), c.data);
        EXPECT_EQ(bitString(bs), c.bits);
    }
}

TEST(BitStream, AppendWritesTheBitValueOverStaleStorage) {
    BitStream bs;
    for (auto& b : bs.data) b = 0xFF;
    bs.bits = 0;
    for (int bit : {0, 1, 0, 0, 0, 0, 0, 0, 0, 7}) bsPushInPlace(bit, &bs);  // any non-zero value is a 1
    EXPECT_EQ(bitString(bs), "0100000001");
    EXPECT_EQ(bs.data[0], 0x40);
}

TEST(BitStream, PushLeavesItsArgumentUnchanged) {
    const BitStream parent = streamOf("110");
    const BitStream esq = bsPush(0, parent), dir = bsPush(1, parent);
    EXPECT_EQ(bitString(parent), "110");
    EXPECT_EQ(bitString(esq), "1100");
    EXPECT_EQ(bitString(dir), "1101");
}

TEST(BitStreamDeathTest, SixtyFourthAppendFillsAndSixtyFifthIsRefused) {
    if (const char* motivo = semTestesDeMorte()) GTEST_SKIP() << motivo;
    BitStream bs = streamOf(std::string(63, '1'));
    EXPECT_EQ(bsFull(&bs), 0);
    bsPushInPlace(0, &bs);
    EXPECT_EQ(bsFull(&bs), 1);
    EXPECT_EQ(bsAt(63, &bs), 0);
    EXPECT_DEATH(bsPushInPlace(1, &bs), "!bsFull");
    EXPECT_DEATH(bsPush(1, bs), "!bsFull");
}

TEST(EncodedOutput, FullBufferIsFlushedOnlyWhenTheNextBitArrives) {
    TempFile file;
    EncodedOutput* out = criaEncodedOutput(file.f);
    for (char c : PALAVRA) encodedOutputPushBit(out, c == '1');
    EXPECT_TRUE(file.bytes().empty());
    encodedOutputPushBit(out, 1);
    EXPECT_EQ(file.bytes(), packBits(PALAVRA));
    EXPECT_EQ(out->buffer.bits, 1u);
    EXPECT_EQ(std::vector<uint8_t>(out->buffer.data, out->buffer.data + 8),
              (std::vector<uint8_t>{0x80, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(destroiEncodedOutput(out), 9u);
    EXPECT_EQ(file.bytes(), packBits(PALAVRA + "1"));
}

TEST(EncodedOutput, DestroyPadsTheLastByteAndLeavesTheFileOpen) {
    TempFile file;
    EncodedOutput* out = criaEncodedOutput(file.f);
    for (char c : std::string("101100001")) encodedOutputPushBit(out, c == '1');
    EXPECT_EQ(destroiEncodedOutput(out), 2u);
    ASSERT_NE(fputc('!', file.f), EOF);
    EXPECT_EQ(file.bytes(), (std::vector<uint8_t>{0xB0, 0x80, '!'}));
}

TEST(EncodedOutput, WriterWithNoBitsWritesNothing) {
    TempFile file;
    EncodedOutput* out = criaEncodedOutput(file.f);
    const BitStream empty = streamOf("");
    encodedOutputWrite(out, &empty);
    EXPECT_EQ(destroiEncodedOutput(out), 0u);
    EXPECT_TRUE(file.bytes().empty());
}

TEST(EncodedOutput, RawWriteAppendsTheByteMostSignificantBitFirst) {
    TempFile file;
    EncodedOutput* out = criaEncodedOutput(file.f);
    encodedOutputRawWrite(out, 0x61);
    EXPECT_EQ(bitString(out->buffer), "01100001");
    encodedOutputPushBit(out, 1);
    encodedOutputRawWrite(out, 0xC3);                        // not byte aligned
    EXPECT_EQ(bitString(out->buffer), "01100001111000011");  // 0x61, 1, 0xC3
    destroiEncodedOutput(out);
}

TEST(EncodedInput, ReadsMostSignificantBitFirstThenReportsTheEnd) {
    TempFile file({0xB0, 0x80});
    EncodedInput* bsi = criaEncodedInput(file.f);
    std::string got;
    for (int i = 0; i < 16; i++) got += bsiPop(bsi) ? '1' : '0';
    EXPECT_EQ(got, "1011000010000000");
    EXPECT_EQ(bsi->exhausted, 0);
    EXPECT_EQ(bsiPop(bsi), 0);
    EXPECT_EQ(bsi->exhausted, 1);
    EXPECT_EQ(bsiPop(bsi), 0);
    EXPECT_EQ(bsi->exhausted, 1);
    destroiEncodedInput(bsi);
}

// The decompressor reads a header from the FILE, hands the FILE to the
// reader for the tree, then takes what the reader holds and goes on reading
// the FILE itself: wherever the reader stops, its bits and the rest of the
// FILE are the stream from there on.
TEST(EncodedInput, LeavesTheRestOfTheStreamBetweenItselfAndTheFile) {
    const std::vector<uint8_t> stream = {0x61, 1, 2, 3, 4, 5, 6, 0xFE, 0x80, 0x7F, 0x00, 0xFF, 0x5A};
    std::vector<uint8_t> arquivo = {'H', 'D', 'R', '!'};
    arquivo.insert(arquivo.end(), stream.begin(), stream.end());
    std::string bits;
    for (uint8_t b : stream) bits += byteBits(b);
    for (size_t lidos = 0; lidos <= bits.size(); lidos += 3) {
        TempFile file(arquivo);
        uint8_t header[4];
        ASSERT_EQ(fread(header, 1, 4, file.f), 4u);
        EncodedInput* bsi = criaEncodedInput(file.f);
        std::string got;
        for (size_t i = 0; i < lidos; i++) got += bsiPop(bsi) ? '1' : '0';
        EXPECT_EQ(got, bits.substr(0, lidos));
        EXPECT_EQ(bsi->exhausted, 0);
        uint8_t resto[BISTREAM_MAX_BYTES];
        uint32_t pulados;
        const size_t bytes = bsiRestante(bsi, resto, &pulados);
        std::string depois;
        for (size_t i = 0; i < bytes; i++) depois += byteBits(resto[i]);
        depois.erase(0, bytes > 0 ? pulados : 0);
        for (int c; (c = fgetc(file.f)) != EOF;) depois += byteBits(static_cast<uint8_t>(c));
        EXPECT_EQ(depois, bits.substr(lidos)) << lidos << " bits read";
        destroiEncodedInput(bsi);
    }
}

TEST(EncodedInput, ByteStraddlingTwoBlocksIsAssembled) {
    std::vector<uint8_t> data;
    std::string bits;
    for (int i = 0; i < 17; i++) data.push_back(static_cast<uint8_t>(0x9D * (i + 1)));
    for (uint8_t b : data) bits += byteBits(b);
    for (int offset : {1, 4, 7}) {
        SCOPED_TRACE(offset);
        TempFile file(data);
        EncodedInput* bsi = criaEncodedInput(file.f);
        for (int i = 0; i < offset; i++) EXPECT_EQ(bsiPop(bsi), bits[i] - '0');
        for (size_t k = 0; k < 16; k++)
            EXPECT_EQ(bsiPopByte(bsi), packBits(bits.substr(offset + 8 * k, 8))[0]) << "byte " << k;
        EXPECT_EQ(bsi->exhausted, 0);
        destroiEncodedInput(bsi);
    }
}
