// The byte kernels whose fastest form depends on the CPU, and the one place
// where the CPU's features are read.
//
// Every kernel has a portable version, the reference of the others. A
// version that the compiler already targets (-mavx512vbmi, -mbmi2, -march)
// is called directly; otherwise each call takes a plain branch on the
// features of the CPU the program runs on, read once, at the first call that
// asks for them (so that a call from any static initialiser finds them too).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vespadora_rapido.h"

#ifdef VESPADORA_X86_64
// What the faster versions need of the CPU.
struct RecursosCpu {
    bool avx512bw;    // AVX-512 F and BW
    bool avx512vbmi;  // AVX-512 F, BW and VBMI
    bool bmi2;
};
const RecursosCpu& recursosCpu();
#endif

// out[i] = tabela[in[i]] for `size` bytes; `out` may be `in`. AVX-512 VBMI
// byte permutes where the CPU has them.
void substituiBytes(const uint8_t* tabela, const uint8_t* in, uint8_t* out, size_t size);

// Cuts a bit string into bytes again after a shift of `k` bits (1 to 7):
// writes to `para` the `size` bytes made of the top k bits of `*resto`
// followed by de[0..size) less its last k bits, which are left at the top of
// `*resto`, zeros below. `para` may be `de`; exactly `size` bytes are read
// and written. AVX-512 BW, 64 bytes at a time, where the CPU has it.
void deslocaBytes(const uint8_t* de, uint8_t* para, size_t size, uint32_t k, uint64_t* resto);

// The versions of each kernel that this CPU runs (see Variante).
using SubstituiBytesFn = void (*)(const uint8_t*, const uint8_t*, uint8_t*, size_t);
using DeslocaBytesFn = void (*)(const uint8_t*, uint8_t*, size_t, uint32_t, uint64_t*);
std::vector<Variante<SubstituiBytesFn>> variantesSubstituiBytes();
std::vector<Variante<DeslocaBytesFn>> variantesDeslocaBytes();
