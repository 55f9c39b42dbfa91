// libFuzzer target: any byte string must survive compression followed by
// decompression unchanged, with both drivers reporting success.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vespadora.h"

namespace {

std::string diretorio;
std::string original;
std::string compactado;
std::string restaurado;

void removeDiretorio() {
    unlink(original.c_str());
    unlink(compactado.c_str());
    unlink(restaurado.c_str());
    rmdir(diretorio.c_str());
}

void criaDiretorio() {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : P_tmpdir;
    std::string modelo = std::string(base) + "/vespadora-fuzz-roundtrip-XXXXXX";
    if (!mkdtemp(modelo.data())) {
        perror("mkdtemp");
        abort();
    }
    diretorio = modelo;
    original = diretorio + "/original";
    compactado = diretorio + "/compactado";
    restaurado = diretorio + "/restaurado";
    atexit(removeDiretorio);
}

bool escreveArquivo(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

bool leArquivo(const std::string& path, std::vector<uint8_t>* conteudo) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    conteudo->clear();
    uint8_t bloco[65536];
    size_t lidos;
    while ((lidos = fread(bloco, 1, sizeof bloco, f)) > 0) conteudo->insert(conteudo->end(), bloco, bloco + lidos);
    const bool ok = !ferror(f);
    fclose(f);
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The drivers report progress on stdout; keep libFuzzer's stderr readable.
    if (!freopen("/dev/null", "w", stdout)) abort();
    criaDiretorio();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
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
