// The command-line compressor: frequency count, encoding table, the decoding
// walk and the two drivers, `encode` and `decode`.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "bitstream.h"
#include "heap.h"

// Code of every byte value: the path from the root to its leaf, 0 for `esq`
// and 1 for `dir`, first step first. Bytes absent from the tree have 0 bits.
using EncodingTable = std::array<BitStream, 256>;

// Inputs must be shorter than 2^32 bytes: the header stores a 32-bit count.
constexpr uint64_t MAX_ENTRADA = UINT32_MAX;

// Adds the byte values of a block to `freq`, one at a time: the reference of
// the fast counts.
void contaFrequencias(const uint8_t* data, size_t size, FrequencyTable* freq);

void preencheEncodingTable2(EncodingTable* table, const Arvore* huff, BitStream code);
void preencheEncodingTable(EncodingTable* table, const Arvore* huff);

// One symbol, walking the tree a bit at a time: the reference of the fast
// decoder.
uint8_t decodeByte(const Arvore* huff, EncodedInput* bsi);

// The compressed size as a percentage of the original, as the statistics line
// shows it: `written` divided by `symbolCount` and then multiplied by 100,
// each rounded to the 64-bit significand of the 80-bit extended format, and
// the product rounded to a double; 0 for an empty original. The same double
// on every machine, whatever its long double.
double taxaCompressao(uint64_t written, uint32_t symbolCount);
// The same, computed with integers only: what taxaCompressao uses where long
// double is not the 80-bit format.
double taxaCompressaoInteira(uint64_t written, uint32_t symbolCount);

int encode(const char* inputPath, const char* outputPath);
int decode(const char* inputPath, const char* outputPath);
[[noreturn]] void instrucoes();
