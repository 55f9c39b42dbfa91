// The byte kernels whose fastest form depends on the CPU, and the one place
// where the CPU's features are read and a variant chosen.
//
// Every kernel has a portable variant, the reference of the others. A
// variant that the compiler already targets (-mavx512vbmi, -mbmi2, -march)
// is called directly; otherwise the variant is chosen once, at load time,
// from the features of the CPU the program runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vespadora_rapido.h"

// out[i] = tabela[in[i]] for `size` bytes; `out` may be `in`. AVX-512 VBMI
// byte permutes where the CPU has them.
void substituiBytes(const uint8_t* tabela, const uint8_t* in, uint8_t* out, size_t size);

// Cuts a bit string into bytes again after a shift of `k` bits (1 to 7):
// writes to `para` the `size` bytes made of the top k bits of `*resto`
// followed by de[0..size) less its last k bits, which are left at the top of
// `*resto`, zeros below. `para` may be `de`; exactly `size` bytes are read
// and written. AVX-512 BW, 64 bytes at a time, where the CPU has it.
void deslocaBytes(const uint8_t* de, uint8_t* para, size_t size, uint32_t k, uint64_t* resto);

// The coder of byte pairs (see codificaParesPortavel): with the BMI2 shifts,
// which take their count in any register, where the CPU has them.
bool codificaPares(const CodigosRapidos& codigos, const uint8_t* in, size_t size, BitWriter* w);

// The variants of each kernel that this CPU runs, the portable one first, so
// that the tests and benchmarks run every one of them on any machine.
template <typename Fn>
struct Variante {
    const char* nome;
    Fn fn;
};
using SubstituiBytesFn = void (*)(const uint8_t*, const uint8_t*, uint8_t*, size_t);
using DeslocaBytesFn = void (*)(const uint8_t*, uint8_t*, size_t, uint32_t, uint64_t*);
using CodificaParesFn = bool (*)(const CodigosRapidos&, const uint8_t*, size_t, BitWriter*);
std::vector<Variante<SubstituiBytesFn>> variantesSubstituiBytes();
std::vector<Variante<DeslocaBytesFn>> variantesDeslocaBytes();
std::vector<Variante<CodificaParesFn>> variantesCodificaPares();
