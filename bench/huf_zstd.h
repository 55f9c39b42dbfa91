// zstd's Huffman coder (`huf`), as the kernel benchmark runs it: the input in
// blocks of 128 KiB, each coded as four streams with one table of codes of
// at most 11 bits built from the counts of the whole input, and decoded with
// one of zstd's two decoders of such tables. Built only when the benchmark is
// configured with the path of zstd's sources (see bench/README.md).
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct HufCodificado HufCodificado;

// Null when zstd cannot code the input (a single byte value, say).
HufCodificado* hufCodifica(const unsigned char* in, size_t size);
void hufLibera(HufCodificado* h);

// The decoder that reads one symbol a lookup (0) or up to two (1), set up
// once from the coded table; 0 when it does not take the table.
int hufPreparaDecodificador(HufCodificado* h, int duplo);
// Decodes every block into `out` (the input's size); returns the bytes
// written, or 0 on an error.
size_t hufDecodifica(const HufCodificado* h, unsigned char* out);

// Bytes of the coded table and blocks.
size_t hufTamanhoCodificado(const HufCodificado* h);

#ifdef __cplusplus
}
#endif
