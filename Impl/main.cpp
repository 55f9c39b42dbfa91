#include <cstdio>
#include <new>

#include "vespadora.h"
#include "vespadora_plataforma.h"

int main(int argc, char** argv) {
    preparaProcesso();
    argv = argumentosUtf8(argc, argv);
    if (argc != 4) instrucoes();
    try {
        switch (argv[1][0]) {
            case 'c':
                return encode(argv[2], argv[3]);
            case 'd':
                return decode(argv[2], argv[3]);
            default:
                instrucoes();
        }
    } catch (const std::bad_alloc&) {
        puts("Erro: memória insuficiente");
        fflush(stdout);
        return 1;
    }
}
