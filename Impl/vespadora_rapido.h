// The fast paths of the compressor and the decompressor: the records they
// work on and their entry points. They count, write and read exactly what
// the plain functions do (contaFrequencias and decodeByte in vespadora.h,
// the bit writer and reader in bitstream.h), which stay as their reference.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "vespadora.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VESPADORA_X86_64 1
#endif

// A version of a kernel whose fastest form depends on the CPU. Each kernel
// lists the versions that this CPU runs, the portable one first, so that the
// tests and benchmarks run every one of them on any machine.
template <typename Fn>
struct Variante {
    const char* nome;
    Fn fn;
};

// ----------------------------------------------------------------- counting

// The same counts as contaFrequencias, spread over four tables so that runs
// of one value do not wait on their own previous increment.
void contaFrequenciasRapido(const uint8_t* data, size_t size, FrequencyTable* freq);

// The count for large inputs: one increment per two bytes, in two tables of
// byte pairs (alternating, for the same reason as above; the entry is the
// pair read as a 16-bit word), folded into byte counts once at the end. `contaPares` adds a block (the
// odd last byte goes straight to `freq`); `dobraPares` adds the pairs.
struct ContagemPares {
    std::array<std::array<uint32_t, 1 << 16>, 2> conta;
};
void contaPares(const uint8_t* data, size_t size, ContagemPares* pares, FrequencyTable* freq);
void dobraPares(const ContagemPares& pares, FrequencyTable* freq);

// Smallest input counted and coded two bytes at a time: the pair tables take
// a fraction of a millisecond to fill and fold.
constexpr uint64_t MIN_PARES = 1 << 20;

// ------------------------------------------------------------------- coding

// The length that sends a byte to the word coders' slow branch: a byte
// without a code, or a code too long to put in one go. It is above every
// length the fast loops take, so one comparison finds both, and a round of
// codes that holds it never fits in the word.
constexpr uint8_t LEN_LENTO = RETIDOS_MAX_BITS;
static_assert(!podeConsumir(LEN_LENTO));

// Codes of an EncodingTable laid out for the word writer.
struct CodigosRapidos {
    std::array<uint64_t, 256> bits;  // the code at the top of the word, zeros below
    std::array<uint8_t, 256> len;
    std::array<uint8_t, 256> lenRapido;  // `len`, or LEN_LENTO
    uint32_t maxLen;
    int folhaUnica;  // the symbol of a lone-leaf tree (codes of 0 bits), else -1
    // Every byte has a code of 8 bits (a tree of 256 leaves, all at depth 8,
    // as for random bytes): coding maps each byte to the byte `codigo8`.
    bool todos8;
    std::array<uint8_t, 256> codigo8;
};

void preparaCodigosRapidos(CodigosRapidos* codigos, const EncodingTable& table, const Arvore* root);

// Room `codificaRapido` needs past `w->p` for `size` input bytes: the whole
// bytes of their codes and of the bits pending before them, and the word
// that the last flush stores.
inline size_t espacoCodificacao(const CodigosRapidos& codigos, size_t size) {
    return (BYTE_PARCIAL_BITS + size * codigos.maxLen) / 8 + sizeof(uint64_t);
}

// -------------------------------------------------------------- pair coder

// The coder for large inputs, two bytes per lookup in a table of the codes
// of every pair of bytes: entry `a | b << 8` holds the code of a followed by
// the code of b at the top of the word, and `len` their total length;
// LEN_LENTO when the pair is longer than CONSUMIVEIS_BITS or has a byte
// without a code, and goes byte by byte. The lengths sit in a table of their
// own, so that the coder reads them with a load rather than masking them out
// of the word.
//
// The coder puts up to `porFlush` pairs into the word between two flushes
// when they fit in what the word holds. A round that takes more (or holds a
// LEN_LENTO pair) goes pair by pair, a flush after each, at the cost of a
// mispredicted branch.
constexpr int PARES_POR_FLUSH_MIN = 2;
constexpr int PARES_POR_FLUSH_MAX = 4;

struct TabelaPares {
    std::array<uint64_t, 1 << 16> entrada;
    std::array<uint8_t, 1 << 16> len;
    int porFlush;  // pairs per round at most, PARES_POR_FLUSH_MIN to _MAX
};

// The most pairs per flush for which at most one round in
// PARES_RODADAS_LONGAS, by the counts `freq` and taking bytes as independent,
// takes more than CONSUMIVEIS_BITS. A long round costs about as much as six
// ordinary ones (a mispredicted branch and a flush per pair), and one more
// pair per round saves a flush in every round. The coder takes fewer as it
// goes where long codes cluster.
constexpr size_t PARES_RODADAS_LONGAS = 64;
int paresPorFlush(const CodigosRapidos& codigos, const FrequencyTable& freq);

// The pair coder runs its rounds in stretches of RODADAS_POR_TRECHO (4 KiB at
// four pairs a round). The counts that paresPorFlush goes by do not see how
// long codes cluster, as in the tables and instructions of a program or the
// two bytes of an accented letter in UTF-8: after a stretch where more than
// one round in TRECHO_LONGAS_MAX did not fit, the coder goes on with one pair
// less, and tries one more again after TRECHOS_ATE_SUBIR stretches, or twice
// as many as last time if that try failed at once, up to TRECHOS_ESPERA_MAX.
// Measured, this stays within about 1% of the best fixed number of pairs on
// C headers and skewed bytes (four), programs and translated messages
// (three); one round in 16 cost translated messages 8%.
constexpr size_t RODADAS_POR_TRECHO = 512;
constexpr size_t TRECHO_LONGAS_MAX = 32;
constexpr int TRECHOS_ATE_SUBIR = 8;
constexpr int TRECHOS_ESPERA_MAX = 4096;

// How the pair coder is going, carried from one call to the next: pairs per
// round now, stretches of rounds since that changed, and stretches that each
// number of pairs waits before it is tried again.
struct RitmoPares {
    int atual;
    int trechos;
    std::array<int, PARES_POR_FLUSH_MAX + 1> espera;
};

// The pair coder's table, fixed once prepared, and its state, which only
// the coder changes.
struct CodificadorPares {
    TabelaPares tabela;
    RitmoPares ritmo;
};

// Fills the table from the codes and starts the coder as for a new input.
void preparaPares(CodificadorPares* pares, const CodigosRapidos& codigos, int porFlush);
// Starts the coder over, as for a new input, with the same table.
void recomecaPares(CodificadorPares* pares);

// Appends the codes of `size` bytes to `w` through the pair coder. Returns
// false when some byte has no code in the table (it was not in the counts
// the tree was built from); what was written is then meaningless. With the
// BMI2 shifts, which take their count in any register, where the CPU has
// them.
bool codificaPares(const CodigosRapidos& codigos, CodificadorPares* pares, const uint8_t* in, size_t size,
                   BitWriter* w);

// The versions of codificaPares that this CPU runs (see Variante).
using CodificaParesFn = bool (*)(const CodigosRapidos&, CodificadorPares*, const uint8_t*, size_t, BitWriter*);
std::vector<Variante<CodificaParesFn>> variantesCodificaPares();

// ------------------------------------------------------------ the coder

// Appends the codes of `size` bytes to `w`: by pairs when `pares` is given,
// through `porPares`, unless every code has 0 or 8 bits. Returns false when
// some byte has no code in the table (it was not in the counts the tree was
// built from); what was written is then meaningless.
bool codificaRapido(const CodigosRapidos& codigos, CodificadorPares* pares, const uint8_t* in, size_t size,
                    BitWriter* w, CodificaParesFn porPares = codificaPares);

// ----------------------------------------------------------------- decoding
//
// How the decoder works, what bounds it and why its constants are what they
// are: at the head of vespadora_decodifica.cpp.

// Decoding table: entry i says what the next DECODE_BITS bits, read as the
// number i, decode to: as many whole codes as fit in them, up to four. The
// fields are kept column by column, so that the decoder's loops read each
// with one load from one base address, without computing the entry's
// address first: the load of `usados` is on the chain from each lookup to
// the next.
constexpr int DECODE_BITS = 12;
constexpr int DECODE_MAX_SIMBOLOS = 4;
constexpr size_t DECODE_ENTRADAS = size_t{1} << DECODE_BITS;

// Added to `usados` for a code longer than DECODE_BITS: such an entry takes
// no bits (a shift counts only the low 6 bits) and writes no symbol, and the
// mark survives ORing the entries of several lookups.
constexpr uint8_t DECODE_LONGO = 64;
static_assert(DECODE_BITS < DECODE_LONGO);

// A code longer than DECODE_BITS goes on through subtables, as zlib and
// libdeflate decode theirs: the entry of its first DECODE_BITS bits links to
// a subtable indexed by the bits that follow, whose entry is the code's leaf
// or a link to a further subtable. A link, or an entry of a subtable:
struct EntradaLonga {
    uint8_t bits;     // taken: all the bits that index a link's subtable, or the rest of a leaf's code
    uint8_t largura;  // bits that index the subtable a link leads to; 0 for a leaf
    uint16_t valor;   // a leaf's symbol, or where the subtable a link leads to starts in `longos`
};
static_assert(sizeof(EntradaLonga) == DECODE_MAX_SIMBOLOS);

// A subtable is indexed by as many bits as its deepest code has left, up to
// SUBTABELA_BITS, so that codes of up to DECODE_BITS + SUBTABELA_BITS bits
// take two lookups. Where the subtables of a deep tree would not fit in
// DECODE_LONGOS entries, they are all made narrower: one bit wide, they take
// two entries per node of the tree.
constexpr uint32_t SUBTABELA_BITS = 8;
constexpr size_t DECODE_LONGOS = 4096;
static_assert(2 * (ARVORE_MAX_FOLHAS - 1) <= DECODE_LONGOS);

struct TabelaDecodificacao {
    // Bits taken by all the symbols of the entry, or DECODE_LONGO.
    std::array<uint8_t, DECODE_ENTRADAS> usados;
    std::array<uint8_t, DECODE_ENTRADAS> qtd;   // count of symbols, 0 to 4
    std::array<uint8_t, DECODE_ENTRADAS> len1;  // bits taken by the first symbol alone
    // The symbols, as they are written: the first at out[0]. For a code
    // longer than DECODE_BITS, the bytes of the EntradaLonga that links to
    // its subtable.
    std::array<std::array<uint8_t, DECODE_MAX_SIMBOLOS>, DECODE_ENTRADAS> simbolos;
    std::array<EntradaLonga, DECODE_LONGOS> longos;  // the subtables
    const Arvore* raiz;
    // When every code has 8 bits (256 leaves, all at depth 8, as for random
    // bytes), each byte of the stream, wherever it starts, is one symbol.
    bool todos8;
    std::array<uint8_t, 256> simbolo8;
};

void preparaDecodificacao(TabelaDecodificacao* tabela, const Arvore* root);

// Bytes past `p` that the unchecked loops of `decodificaRapido` may read:
// the longest code a valid tree holds plus a word, rounded up to bytes.
constexpr size_t DECODE_MARGEM = 48;
static_assert(DECODE_MARGEM * 8 >= ARVORE_MAX_PROFUNDIDADE + PALAVRA_BITS + 8);

// The decoder's window is [p, fim) of a LeitorBits. Unless it is the last,
// the decoder stops DECODE_RESERVA bytes before its end, and the driver reads
// more input as soon as fewer remain: the bytes the loops may read past where
// they stop, and a few KiB so that the cursors' segments rarely get small.
constexpr size_t DECODE_RESERVA = DECODE_MARGEM + 4 * 1024;

// Whether the decoder needs more input before it can go on.
inline bool leitorPedeMais(const LeitorBits& r) {
    return !r.ultimo && static_cast<size_t>(r.fim - r.p) < DECODE_RESERVA;
}

// Decodes up to `count` symbols into `out`, and may write anywhere in
// out[0, count) past those it returns. Stops early when the reader asks
// for more input (leitorPedeMais) or, on the last input, when a code needs
// bits past its end, which sets `truncado`. Returns the symbols decoded, and
// leaves in `r->buf` only bits of p[-1] (see lbDevolve).
size_t decodificaRapido(const TabelaDecodificacao& tabela, LeitorBits* r, uint8_t* out, size_t count);
