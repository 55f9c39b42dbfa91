#include <csignal>
#include <cstdio>
#include <new>

#include "vespadora.h"

int main(int argc, char** argv) {
#ifdef SIGXFSZ
    // Past a file-size limit, a write must fail with an error the driver
    // reports, not kill the process with a partial output left behind.
    signal(SIGXFSZ, SIG_IGN);
#endif
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
