#include "heap.h"

Heap* criaHeap(int32_t size) {
    auto* h = static_cast<Heap*>(alocaMemoria(sizeof(Heap)));
    h->size = size;
    h->last = 0;
    try {
        h->items = static_cast<HeapItem**>(alocaZerada(static_cast<size_t>(size) + 1, sizeof(HeapItem*)));
    } catch (...) {
        free(h);
        throw;
    }
    return h;
}

void destroiHeap(Heap* h) {
    if (!h) return;
    for (int32_t i = 1; i <= h->last; i++) free(h->items[i]);
    free(h->items);
    free(h);
}

void heap_swap(Heap* h, int32_t i, int32_t j) {
    HeapItem* t = h->items[i];
    h->items[i] = h->items[j];
    h->items[j] = t;
}

void fixUp(Heap* h, int32_t i) {
    while (i > 1) {
        const int32_t p = i / 2;
        if (!(h->items[p]->freq > h->items[i]->freq)) break;
        heap_swap(h, p, i);
        i = p;
    }
}

void fixDown(Heap* h, int32_t i) {
    for (int32_t c = 2 * i; c <= h->last; c = 2 * i) {
        if (c < h->last && h->items[c + 1]->freq < h->items[c]->freq) c++;
        if (!(h->items[i]->freq > h->items[c]->freq)) break;
        heap_swap(h, i, c);
        i = c;
    }
}

void insere(Heap* h, Arvore* arvore, uint32_t freq) {
    assert(h->last < h->size);
    auto* item = static_cast<HeapItem*>(alocaMemoria(sizeof(HeapItem)));
    item->freq = freq;
    item->arvore = arvore;
    h->items[++h->last] = item;
    fixUp(h, h->last);
}

Arvore* retiraMenor(Heap* h) {
    assert(h->last >= 1);
    heap_swap(h, 1, h->last);
    h->last--;
    fixDown(h, 1);
    // The removed minimum sits just past `last`; its record is released here
    // so that no caller has to.
    HeapItem* removed = h->items[h->last + 1];
    h->items[h->last + 1] = nullptr;
    Arvore* arvore = removed->arvore;
    free(removed);
    return arvore;
}

int restaUm(const Heap* h) { return h->last <= 1; }

uint32_t getMenorFreq(const Heap* h) {
    assert(h->last >= 1);
    return h->items[1]->freq;
}

Arvore* copiaMenor(const Heap* h) {
    assert(h->last >= 1);
    return h->items[1]->arvore;
}

int32_t getTamanho(const Heap* h) { return h->last; }

Arvore* criaFolha(uint8_t simbolo) {
    auto* t = static_cast<Arvore*>(alocaZerada(1, sizeof(Arvore)));
    t->simbolo = simbolo;
    return t;
}

Arvore* criaNo(Arvore* esq, Arvore* dir) {
    auto* t = static_cast<Arvore*>(alocaZerada(1, sizeof(Arvore)));
    t->esq = esq;
    t->dir = dir;
    return t;
}

Arvore* huffman(Heap* h) {
    while (!restaUm(h)) {
        // Each tree taken out of the heap is owned here until the node that
        // joins them is back in it.
        const uint32_t fa = getMenorFreq(h);
        ArvorePtr a(retiraMenor(h));
        const uint32_t fb = getMenorFreq(h);
        ArvorePtr b(retiraMenor(h));
        // The first tree removed (the lighter, or the earlier in heap order)
        // becomes the 0 branch.
        ArvorePtr node(criaNo(a.get(), b.get()));
        a.release();
        b.release();
        insere(h, node.get(), fa + fb);
        node.release();
    }
    return copiaMenor(h);
}

namespace {

// The heap of a tree being built, with the trees in it.
struct DestroiHeapEArvores {
    void operator()(Heap* h) const {
        for (int32_t i = 1; i <= getTamanho(h); i++) destroiArvore(h->items[i]->arvore);
        destroiHeap(h);
    }
};

void insereFolha(Heap* h, uint8_t simbolo, uint32_t freq) {
    ArvorePtr folha(criaFolha(simbolo));
    insere(h, folha.get(), freq);
    folha.release();
}

}  // namespace

Arvore* constroiArvore(const FrequencyTable& freq) {
    std::unique_ptr<Heap, DestroiHeapEArvores> heap(criaHeap(ARVORE_MAX_FOLHAS));
    for (int b = 0; b < 256; b++)
        if (freq[b] != 0) insereFolha(heap.get(), static_cast<uint8_t>(b), freq[b]);
    if (getTamanho(heap.get()) == 0) insereFolha(heap.get(), 0, 0);
    Arvore* root = huffman(heap.get());
    retiraMenor(heap.get());  // the whole tree, from here on the caller's
    return root;
}

void destroiArvore(Arvore* t) {
    if (!t) return;
    destroiArvore(t->esq);
    destroiArvore(t->dir);
    free(t);
}

void escreveCabecalho(uint32_t symbolCount, uint8_t cabecalho[CABECALHO_BYTES]) {
    for (size_t i = 0; i < CABECALHO_BYTES; i++) cabecalho[i] = static_cast<uint8_t>(symbolCount >> (8 * i));
}

uint32_t leCabecalho(const uint8_t cabecalho[CABECALHO_BYTES]) {
    uint32_t symbolCount = 0;
    for (size_t i = 0; i < CABECALHO_BYTES; i++) symbolCount |= static_cast<uint32_t>(cabecalho[i]) << (8 * i);
    return symbolCount;
}

// Pre-order: an internal node is a 0 bit, then `esq`, then `dir`; a leaf is a
// 1 bit and its symbol's 8 bits, most significant first.
void encodedOutputWriteTree(EncodedOutput* out, const Arvore* huff) {
    if (huff->esq) {
        assert(huff->dir);
        encodedOutputPushBit(out, 0);
        encodedOutputWriteTree(out, huff->esq);
        encodedOutputWriteTree(out, huff->dir);
    } else {
        assert(!huff->dir);
        encodedOutputPushBit(out, 1);
        encodedOutputRawWrite(out, huff->simbolo);
    }
}

namespace {

struct LeituraArvore {
    EncodedInput* bsi;
    bool visto[ARVORE_MAX_FOLHAS];
};

// Recursion depth is bounded by ARVORE_MAX_PROFUNDIDADE, whatever the file
// holds: a run of 0 bits is rejected once it would go deeper.
ArvorePtr leArvore(LeituraArvore* leitura, int profundidade) {
    const int bit = bsiPop(leitura->bsi);
    if (leitura->bsi->exhausted) return nullptr;
    ArvorePtr node(static_cast<Arvore*>(alocaZerada(1, sizeof(Arvore))));
    if (bit == 0) {
        if (profundidade >= ARVORE_MAX_PROFUNDIDADE) return nullptr;
        ArvorePtr esq = leArvore(leitura, profundidade + 1);
        if (!esq) return nullptr;
        ArvorePtr dir = leArvore(leitura, profundidade + 1);
        if (!dir) return nullptr;
        node->esq = esq.release();
        node->dir = dir.release();
        return node;
    }
    const uint8_t simbolo = bsiPopByte(leitura->bsi);
    if (leitura->bsi->exhausted || leitura->visto[simbolo]) return nullptr;
    leitura->visto[simbolo] = true;
    node->simbolo = simbolo;
    return node;
}

}  // namespace

Arvore* encodedInputReadTree(EncodedInput* bsi) {
    LeituraArvore leitura{bsi, {}};
    return leArvore(&leitura, 0).release();
}
