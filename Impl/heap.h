// Priority queue of weighted trees, the Huffman tree and its serialisation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "bitstream.h"

// Huffman tree node. A node is a leaf exactly when `esq` is null; a leaf has
// `dir` null and an internal node has both children. `esq` is taken on a 0
// bit, `dir` on a 1 bit.
struct Arvore {
    uint8_t simbolo;
    Arvore* esq;
    Arvore* dir;
};

struct HeapItem {
    uint32_t freq;
    Arvore* arvore;  // carried, never looked into nor owned by the heap
};

// 1-based binary min-heap on `freq`: slot 1 is the root, slot 0 is unused,
// the parent of slot i is i / 2. Every comparison that can move an item is
// strict and ties prefer the left child, which fixes the order in which equal
// weights leave the heap and so the bytes of every compressed file.
struct Heap {
    int32_t size;  // capacity
    int32_t last;  // number of items, also the index of the last one
    HeapItem** items;
};

Heap* criaHeap(int32_t size);
void destroiHeap(Heap* h);  // releases the item records left in it, never the trees
void heap_swap(Heap* h, int32_t i, int32_t j);
void fixUp(Heap* h, int32_t i);
void fixDown(Heap* h, int32_t i);
void insere(Heap* h, Arvore* arvore, uint32_t freq);
Arvore* retiraMenor(Heap* h);
int restaUm(const Heap* h);
uint32_t getMenorFreq(const Heap* h);
Arvore* copiaMenor(const Heap* h);
int32_t getTamanho(const Heap* h);

Arvore* criaFolha(uint8_t simbolo);
Arvore* criaNo(Arvore* esq, Arvore* dir);
// Merges the trees of a heap that holds at least one into one, which stays
// in the heap and is returned. Whoever filled the heap owns its trees: when
// memory runs out, each of them, merged or not, is still in the heap.
Arvore* huffman(Heap* h);
void destroiArvore(Arvore* t);

// Owner of a whole tree, for code that may leave early.
struct DestroiArvore {
    void operator()(Arvore* t) const { destroiArvore(t); }
};
using ArvorePtr = std::unique_ptr<Arvore, DestroiArvore>;

// How many times each byte value occurs in an input.
using FrequencyTable = std::array<uint32_t, 256>;

// The compressor's tree for the counts of an input: a leaf for every byte
// value counted, inserted in ascending order of value, then merged. An input
// without bytes gets a lone leaf 0, so that its file has the same shape as any
// other: header 0, then the leaf.
Arvore* constroiArvore(const FrequencyTable& freq);

// Bounds that every tree written by the compressor keeps; the reader rejects
// any tree that breaks them.
constexpr int ARVORE_MAX_FOLHAS = 256;
constexpr int ARVORE_MAX_PROFUNDIDADE = 255;

// The 4-byte header of a compressed file: the symbol count, little-endian.
constexpr size_t CABECALHO_BYTES = 4;
void escreveCabecalho(uint32_t symbolCount, uint8_t cabecalho[CABECALHO_BYTES]);
uint32_t leCabecalho(const uint8_t cabecalho[CABECALHO_BYTES]);

void encodedOutputWriteTree(EncodedOutput* out, const Arvore* huff);
// Reads a pre-order tree; returns null when the stream ends before the tree
// does or when the tree breaks the bounds above (a corrupt file).
Arvore* encodedInputReadTree(EncodedInput* bsi);
