// zstd's Huffman coder through its own interface (lib/common/huf.h), for the
// kernel benchmark; see huf_zstd.h.
#include "huf_zstd.h"

#include <stdlib.h>
#include <string.h>

#include "cpu.h"
#include "huf.h"

enum { BLOCO = HUF_BLOCKSIZE_MAX, TABELA_MAX = 11 };

struct HufCodificado {
    size_t tamanho;             // of the original
    unsigned char* codificado;  // the table, then the blocks
    size_t tamanhoTabela, tamanhoTotal;
    size_t* tamanhoBloco;  // coded bytes of each block
    int flags;
    HUF_DTable dtable[HUF_DTABLE_SIZE(HUF_TABLELOG_MAX)];
};

HufCodificado* hufCodifica(const unsigned char* in, size_t size) {
    HufCodificado* h = calloc(1, sizeof *h);
    const size_t blocos = (size + BLOCO - 1) / BLOCO;
    unsigned count[256] = {0};
    unsigned maxSimbolo = 255;
    HUF_CREATE_STATIC_CTABLE(ctable, 255);
    static unsigned long long wksp[HUF_WORKSPACE_SIZE_U64];
    if (!h) return NULL;
    h->flags = ZSTD_cpuid_bmi2(ZSTD_cpuid()) ? HUF_flags_bmi2 : 0;
    h->tamanho = size;
    h->tamanhoBloco = calloc(blocos ? blocos : 1, sizeof *h->tamanhoBloco);
    h->codificado = malloc(1024 + blocos * HUF_compressBound(BLOCO));
    if (!h->tamanhoBloco || !h->codificado) goto falha;
    for (size_t i = 0; i < size; i++) count[in[i]]++;
    while (maxSimbolo > 0 && count[maxSimbolo] == 0) maxSimbolo--;
    {
        const unsigned log = HUF_optimalTableLog(TABELA_MAX, size, maxSimbolo, wksp, sizeof wksp, ctable, count, 0);
        const size_t bits = HUF_buildCTable_wksp(ctable, count, maxSimbolo, log, wksp, sizeof wksp);
        if (HUF_isError(bits)) goto falha;
        h->tamanhoTabela =
            HUF_writeCTable_wksp(h->codificado, 1024, ctable, maxSimbolo, (unsigned)bits, wksp, sizeof wksp);
        if (HUF_isError(h->tamanhoTabela)) goto falha;
    }
    h->tamanhoTotal = h->tamanhoTabela;
    for (size_t b = 0; b < blocos; b++) {
        const size_t n = size - b * BLOCO < BLOCO ? size - b * BLOCO : BLOCO;
        const size_t c = HUF_compress4X_usingCTable(h->codificado + h->tamanhoTotal, HUF_compressBound(BLOCO),
                                                    in + b * BLOCO, n, ctable, h->flags);
        if (HUF_isError(c) || c == 0) goto falha;
        h->tamanhoBloco[b] = c;
        h->tamanhoTotal += c;
    }
    return h;
falha:
    hufLibera(h);
    return NULL;
}

void hufLibera(HufCodificado* h) {
    if (!h) return;
    free(h->codificado);
    free(h->tamanhoBloco);
    free(h);
}

int hufPreparaDecodificador(HufCodificado* h, int duplo) {
    static unsigned wksp[HUF_DECOMPRESS_WORKSPACE_SIZE / sizeof(unsigned)];
    h->dtable[0] = (HUF_DTable)HUF_TABLELOG_MAX * 0x01000001;
    const size_t lidos =
        duplo ? HUF_readDTableX2_wksp(h->dtable, h->codificado, h->tamanhoTabela, wksp, sizeof wksp, h->flags)
              : HUF_readDTableX1_wksp(h->dtable, h->codificado, h->tamanhoTabela, wksp, sizeof wksp, h->flags);
    return !HUF_isError(lidos) && lidos == h->tamanhoTabela;
}

size_t hufDecodifica(const HufCodificado* h, unsigned char* out) {
    const unsigned char* c = h->codificado + h->tamanhoTabela;
    size_t feitos = 0;
    for (size_t b = 0; feitos < h->tamanho; b++) {
        const size_t n = h->tamanho - feitos < BLOCO ? h->tamanho - feitos : BLOCO;
        const size_t r = HUF_decompress4X_usingDTable(out + feitos, n, c, h->tamanhoBloco[b], h->dtable, h->flags);
        if (HUF_isError(r) || r != n) return 0;
        c += h->tamanhoBloco[b];
        feitos += n;
    }
    return feitos;
}

size_t hufTamanhoCodificado(const HufCodificado* h) { return h->tamanhoTotal; }
