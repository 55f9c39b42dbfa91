// libFuzzer target: the whole decompressor, from the bytes of a compressed
// file to the restored file on disk.
//
// Every input is written to a file and given to `decode`, which must either
// succeed with exactly as many bytes as the header announces, or fail and
// leave no output file behind. Both outcomes are also checked against a
// decoding of the same bytes by the bit-by-bit functions (`bsiPop`,
// `decodeByte`), which the driver's table-driven decoder must agree with:
// the same bytes out, and failure on exactly the same inputs. No temporary
// file may be left behind. An input marked for repetition (see expande)
// stands for a file of over 300 KiB, read in more than one block.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "test_support.h"
#include "vespadora.h"

namespace {

// Largest output file the target lets `decode` write. A tree that is a lone
// leaf restores its header's count of bytes from no bits at all, so a 6-byte
// input can legitimately ask for 4 GiB; past this limit the write fails with
// EFBIG, which exercises the decoder's write-error path. A file that decodes
// writes exactly its header's count, so below the limit every outcome is
// checked against the reference, and above it only that nothing is left.
constexpr rlim_t LIMITE_SAIDA = 1 << 20;
// Repeated inputs pass one read block of 256 KiB and the reserve after it.
constexpr size_t REPETIDA = 300 * 1024;

std::string entrada;
std::string saida;

struct rlimit limiteOriginal;

// The limit holds only while `decode` runs, so that libFuzzer's own files
// (corpus, artifacts, -merge control files) are never cut short. SIGXFSZ is
// ignored, as the program's main does, so that the decoder sees a failed
// write and not a signal; this is done on the first run and not in
// LLVMFuzzerInitialize because libFuzzer installs its signal handlers after
// that hook.
void limitaSaida() {
    static const bool preparado = [] {
        signal(SIGXFSZ, SIG_IGN);
        if (getrlimit(RLIMIT_FSIZE, &limiteOriginal) != 0) abort();
        return true;
    }();
    (void)preparado;
    struct rlimit limite = limiteOriginal;
    if (limite.rlim_cur == RLIM_INFINITY || limite.rlim_cur > LIMITE_SAIDA) limite.rlim_cur = LIMITE_SAIDA;
    if (setrlimit(RLIMIT_FSIZE, &limite) != 0) abort();
}

void liberaSaida() {
    if (setrlimit(RLIMIT_FSIZE, &limiteOriginal) != 0) abort();
}

enum class Referencia { Ok, Corrompido, Grande };

// The compressed file decoded one bit at a time: header, pre-order tree, then
// one tree walk per byte. A count above LIMITE_SAIDA is not decoded.
Referencia decodificaReferencia(const uint8_t* data, size_t size, std::vector<uint8_t>* saida) {
    saida->clear();
    if (size < CABECALHO_BYTES) return Referencia::Corrompido;
    const uint32_t total = leCabecalho(data);
    if (total > LIMITE_SAIDA) return Referencia::Grande;
    // The header alone is an empty file; with a count above 0 it is truncated.
    if (size == CABECALHO_BYTES) return total == 0 ? Referencia::Ok : Referencia::Corrompido;

    LeituraReferencia l(std::vector<uint8_t>(data + CABECALHO_BYTES, data + size));
    *saida = l.decodifica(total);
    if (l.root && !l.bsi->exhausted) return Referencia::Ok;
    saida->clear();
    return Referencia::Corrompido;
}

bool existe(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The drivers report progress on stdout; one line per run would drown
    // libFuzzer's own output, which goes to stderr.
    if (!freopen("/dev/null", "w", stdout)) abort();
    criaDiretorioFuzz("decode");
    entrada = arquivoFuzz("in");
    saida = arquivoFuzz("out");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bruto, size_t tamanhoBruto) {
    const std::vector<uint8_t> arquivo = expande(bruto, tamanhoBruto, REPETIDA);
    const uint8_t* data = arquivo.data();
    const size_t size = arquivo.size();
    if (!escreveArquivo(entrada, data, size)) {
        perror("writing the fuzz input");
        abort();
    }
    limitaSaida();
    const int status = decode(entrada.c_str(), saida.c_str());
    liberaSaida();
    if (status != 0 && status != 1) {
        fprintf(stderr, "decode returned %d\n", status);
        __builtin_trap();
    }
    struct stat st;
    const bool temSaida = stat(saida.c_str(), &st) == 0;
    if (status == 1 && existe(saida)) {
        fprintf(stderr, "decode failed but left %s behind\n", saida.c_str());
        __builtin_trap();
    }
    if (sobrasNoDiretorio() != 0) {
        fprintf(stderr, "decode left a temporary file behind\n");
        __builtin_trap();
    }
    if (status == 0) {
        if (!temSaida || size < CABECALHO_BYTES) {
            fprintf(stderr, "decode succeeded without an output file or a header\n");
            __builtin_trap();
        }
        const uint32_t declarado = leCabecalho(data);
        if (static_cast<uint64_t>(st.st_size) != declarado) {
            fprintf(stderr, "decode wrote %lld bytes, the header says %u\n", static_cast<long long>(st.st_size),
                    declarado);
            __builtin_trap();
        }
    }

    std::vector<uint8_t> esperado;
    const Referencia referencia = decodificaReferencia(data, size, &esperado);
    if (referencia == Referencia::Corrompido && status != 1) {
        fprintf(stderr, "decode accepted a file that the bit-by-bit decoder finds corrupt or truncated\n");
        __builtin_trap();
    }
    if (referencia == Referencia::Ok) {
        std::vector<uint8_t> escrito;
        if (status != 0) {
            fprintf(stderr, "decode failed on a file that the bit-by-bit decoder restores (%zu bytes)\n",
                    esperado.size());
            __builtin_trap();
        }
        if (!leArquivo(saida, &escrito)) {
            perror("reading the restored file");
            abort();
        }
        if (escrito != esperado) {
            size_t i = 0;
            while (i < escrito.size() && i < esperado.size() && escrito[i] == esperado[i]) i++;
            fprintf(stderr, "decode wrote other bytes than the bit-by-bit decoder: first difference at byte %zu\n", i);
            __builtin_trap();
        }
    }
    unlink(entrada.c_str());
    unlink(saida.c_str());
    return 0;
}
