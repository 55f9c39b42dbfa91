// The command-line compressor: frequency count, encoding table and the two
// drivers, `encode` and `decode`.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "bitstream.h"
#include "heap.h"

using FrequencyTable = std::array<uint32_t, 256>;
// Code of every byte value: the path from the root to its leaf, 0 for `esq`
// and 1 for `dir`, first step first. Bytes absent from the tree have 0 bits.
using EncodingTable = std::array<BitStream, 256>;

// Inputs must be shorter than 2^32 bytes: the header stores a 32-bit count.
constexpr uint64_t MAX_ENTRADA = UINT32_MAX;

// Adds the byte values of a block (under 4 GiB) to `freq`. The plain loop is
// the reference; the fast one spreads consecutive bytes over four count
// tables, so runs of one value do not wait on their own previous increment.
void contaFrequencias(const uint8_t* data, size_t size, FrequencyTable* freq);
void contaFrequenciasRapido(const uint8_t* data, size_t size, FrequencyTable* freq);

// The count for large inputs: one increment per two bytes, in two tables of
// byte pairs (entry `a | b << 8`, alternating, for the same reason as above),
// folded into byte counts once at the end. `contaPares` adds a block (the
// odd last byte goes straight to `freq`); `dobraPares` adds the pairs.
struct ContagemPares {
    std::array<std::array<uint32_t, 1 << 16>, 2> conta;
};
void contaPares(const uint8_t* data, size_t size, ContagemPares* pares, FrequencyTable* freq);
void dobraPares(const ContagemPares& pares, FrequencyTable* freq);

void preencheEncodingTable2(EncodingTable* table, const Arvore* huff, BitStream code);
void preencheEncodingTable(EncodingTable* table, const Arvore* huff);

uint8_t decodeByte(const Arvore* huff, EncodedInput* bsi);

// ------------------------------------------------------------- fast paths
// They write and read exactly the bits of the bit-by-bit functions above,
// which stay as their reference.

// out[i] = tabela[in[i]] for `size` bytes; `out` may be `in`. Uses the
// AVX-512 VBMI byte permutes where the CPU has them, else the portable loop,
// which is their reference.
void substituiBytes(const uint8_t* tabela, const uint8_t* in, uint8_t* out, size_t size);
using SubstituiBytesFn = void (*)(const uint8_t*, const uint8_t*, uint8_t*, size_t);
std::vector<Variante<SubstituiBytesFn>> variantesSubstituiBytes();

// Codes of an EncodingTable laid out for the word writer.
struct CodigosRapidos {
    std::array<uint64_t, 256> bits;  // the code at the top of the word, zeros below
    std::array<uint8_t, 256> len;
    // `len`, but 63 for a byte without a code or a code too long to put in
    // one go: both take the encoder's slow branch.
    std::array<uint8_t, 256> lenRapido;
    uint32_t maxLen;
    int folhaUnica;  // the symbol of a lone-leaf tree (codes of 0 bits), else -1
    // Every byte has a code of 8 bits (a tree of 256 leaves, all at depth 8,
    // as for random bytes): coding maps each byte to the byte `codigo8`.
    bool todos8;
    std::array<uint8_t, 256> codigo8;
    // Codes of byte pairs, used when set (see preparaPares).
    const struct TabelaPares* pares;
};

// Codes of every pair of bytes, for large inputs: entry `a | b << 8` holds
// the code of a followed by the code of b at the top of the word and their
// total length in the low byte; length 0 when the pair is longer than
// PARES_MAX_BITS or has a byte without a code, and goes byte by byte.
constexpr uint32_t PARES_MAX_BITS = 25;
struct TabelaPares {
    std::array<uint64_t, 1 << 16> entrada;
};

void preparaPares(TabelaPares* pares, const CodigosRapidos& codigos);

void preparaCodigosRapidos(CodigosRapidos* codigos, const EncodingTable& table, const Arvore* root);

// Room `codificaRapido` needs past `w->p` for `size` input bytes.
inline size_t espacoCodificacao(const CodigosRapidos& codigos, size_t size) { return size * codigos.maxLen / 8 + 16; }

// Appends the codes of `size` bytes to `w`. Returns false when some byte has
// no code in the table (it was not in the counts the tree was built from);
// what was written is then meaningless.
bool codificaRapido(const CodigosRapidos& codigos, const uint8_t* in, size_t size, BitWriter* w);
// The coder of byte pairs that codificaRapido runs when `codigos.pares` is set.
using CodificaParesFn = bool (*)(const CodigosRapidos&, const uint8_t*, size_t, BitWriter*);
std::vector<Variante<CodificaParesFn>> variantesCodificaPares();

// Decoding table: entry i says what the next DECODE_BITS bits, read as the
// number i, decode to: as many whole codes as fit in them, up to four.
// Layout of an entry (the bit count sits in the low byte, so that shifting
// the bit buffer by it needs no extraction):
//   bits  0..7   bits taken by all the symbols of the entry
//   bits  8..15  bits taken by the first symbol alone
//   bits 16..23  count of symbols, 1 to 4; 0 for a code longer than
//                DECODE_BITS, which goes on from the node `longo[i]` reached
//                after DECODE_BITS bits
//   bits 32..63  the symbols, the first in the low byte
constexpr int DECODE_BITS = 12;
constexpr int DECODE_MAX_SIMBOLOS = 4;

inline uint32_t entradaUsados(uint64_t e) { return static_cast<uint32_t>(e) & 0xff; }
inline uint32_t entradaLen1(uint64_t e) { return static_cast<uint32_t>(e >> 8) & 0xff; }
inline uint32_t entradaQtd(uint64_t e) { return static_cast<uint32_t>(e >> 16) & 0xff; }
inline uint32_t entradaSimbolos(uint64_t e) { return static_cast<uint32_t>(e >> 32); }

struct TabelaDecodificacao {
    std::array<uint64_t, 1 << DECODE_BITS> entrada;
    std::array<const Arvore*, 1 << DECODE_BITS> longo;
    const Arvore* raiz;
    // When every code has 8 bits (256 leaves, all at depth 8, as for random
    // bytes), each byte of the stream, wherever it starts, is one symbol.
    bool todos8;
    std::array<uint8_t, 256> simbolo8;
};

void preparaDecodificacao(TabelaDecodificacao* tabela, const Arvore* root);

// Input of the fast decoder: `n` bits at the top of `buf` (the bits below
// them are either zero or the stream's next bits), then the bytes [p, fim).
// `ultimo` says that no byte follows `fim`.
struct LeitorBits {
    uint64_t buf;
    uint32_t n;
    const uint8_t* p;
    const uint8_t* fim;
    bool ultimo;
    bool truncado;  // a code needed bits past the end of the stream
};

// Bytes past `p` that the unchecked loops of `decodificaRapido` may read:
// the longest code a valid tree holds, plus a word.
constexpr size_t DECODE_MARGEM = 48;
// Fewer bytes than this left in [p, fim) stop `decodificaRapido` unless
// `ultimo` is set, so that the caller reads more input before the decoder
// runs short of room for its two cursors.
constexpr size_t DECODE_RESERVA = DECODE_MARGEM + 16 * 1024;

// Decodes up to `count` symbols into `out`. Stops early when the input runs
// short (see DECODE_RESERVA) or, on the last input, when a code needs bits
// past its end, which sets `truncado`. Returns the symbols decoded.
size_t decodificaRapido(const TabelaDecodificacao& tabela, LeitorBits* r, uint8_t* out, size_t count);

int encode(const char* inputPath, const char* outputPath);
int decode(const char* inputPath, const char* outputPath);
[[noreturn]] void instrucoes();
