// libFuzzer target: any byte string must survive compression followed by
// decompression unchanged, with both drivers reporting success and no
// temporary file left behind. An input marked for repetition (see expande)
// stands for a file of over 1 MiB.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "vespadora.h"

namespace {

std::string original;
std::string compactado;
std::string restaurado;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The drivers report progress on stdout; keep libFuzzer's stderr readable.
    if (!freopen("/dev/null", "w", stdout)) abort();
    criaDiretorioFuzz("roundtrip");
    original = arquivoFuzz("original");
    compactado = arquivoFuzz("compactado");
    restaurado = arquivoFuzz("restaurado");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bruto, size_t tamanhoBruto) {
    const std::vector<uint8_t> entrada = expande(bruto, tamanhoBruto, (1 << 20) + 1);
    const uint8_t* data = entrada.data();
    const size_t size = entrada.size();
    if (!escreveArquivo(original, data, size)) {
        perror("writing the fuzz input");
        abort();
    }
    const int compressao = encode(original.c_str(), compactado.c_str());
    if (compressao != 0) {
        fprintf(stderr, "encode returned %d for %zu bytes\n", compressao, size);
        __builtin_trap();
    }
    const int descompressao = decode(compactado.c_str(), restaurado.c_str());
    if (descompressao != 0) {
        fprintf(stderr, "decode of encode's own output returned %d\n", descompressao);
        __builtin_trap();
    }
    if (sobrasNoDiretorio() != 0) {
        fprintf(stderr, "a temporary file was left behind\n");
        __builtin_trap();
    }
    std::vector<uint8_t> volta;
    if (!leArquivo(restaurado, &volta)) {
        perror("reading the restored file");
        abort();
    }
    if (volta.size() != size || (size > 0 && memcmp(volta.data(), data, size) != 0)) {
        fprintf(stderr, "restored %zu bytes differ from the %zu bytes compressed\n", volta.size(), size);
        __builtin_trap();
    }
    unlink(original.c_str());
    unlink(compactado.c_str());
    unlink(restaurado.c_str());
    return 0;
}
