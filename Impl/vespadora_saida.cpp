#include "vespadora_saida.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

namespace {

// ------------------------------------------------------------------ signals

// Those whose default action ends the process and that come from outside:
// a terminal, `kill`, `timeout`, a pipeline, a CPU-time limit.
constexpr int SINAIS[] = {SIGINT,  SIGTERM, SIGHUP,    SIGPIPE, SIGQUIT, SIGXCPU, SIGALRM,
                          SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR};

// What the signal handler must take back. The driver fills it with these
// signals blocked, so the handler never sees it half written; the handler
// reads it with only async-signal-safe calls.
struct SaidaAberta {
    volatile sig_atomic_t modo;  // a ModoSaida
    int dirfd;
    char temporario[NAME_MAX + 1];
    int fd;
    char caminho[PATH_MAX];  // empty when the file must not be removed
};
SaidaAberta saidaAberta;

sigset_t conjuntoSinais() {
    sigset_t s;
    sigemptyset(&s);
    for (int sinal : SINAIS) sigaddset(&s, sinal);
    return s;
}

// Holds the signals back for the life of the object.
struct SinaisBloqueados {
    sigset_t antes;
    SinaisBloqueados() {
        const sigset_t s = conjuntoSinais();
        sigprocmask(SIG_BLOCK, &s, &antes);
    }
    ~SinaisBloqueados() { sigprocmask(SIG_SETMASK, &antes, nullptr); }
    SinaisBloqueados(const SinaisBloqueados&) = delete;
    SinaisBloqueados& operator=(const SinaisBloqueados&) = delete;
};

void copiaLimitada(char* destino, size_t tamanho, const std::string& origem) {
    // A name too long for the buffer is not removed by the handler; the
    // driver's own paths have no such limit.
    if (origem.size() >= tamanho) {
        destino[0] = '\0';
        return;
    }
    memcpy(destino, origem.c_str(), origem.size() + 1);
}

void registraSaida(const ArquivoSaida& saida) {
    saidaAberta.modo = static_cast<sig_atomic_t>(ModoSaida::Nenhum);
    saidaAberta.dirfd = saida.dirfd;
    copiaLimitada(saidaAberta.temporario, sizeof saidaAberta.temporario, saida.temporario);
    saidaAberta.fd = saida.file ? fileno(saida.file) : -1;
    copiaLimitada(saidaAberta.caminho, sizeof saidaAberta.caminho, saida.removivel ? saida.caminho : std::string());
    saidaAberta.modo = static_cast<sig_atomic_t>(saida.modo);
}

void esqueceSaida() { saidaAberta.modo = static_cast<sig_atomic_t>(ModoSaida::Nenhum); }

// Takes back the open output with async-signal-safe calls only.
void retomaSaidaAberta() {
    switch (static_cast<ModoSaida>(saidaAberta.modo)) {
        case ModoSaida::Temporario:
            if (saidaAberta.temporario[0]) unlinkat(saidaAberta.dirfd, saidaAberta.temporario, 0);
            break;
        case ModoSaida::NoLugar:
            // Emptied first: the directory may not let it be removed.
            if (ftruncate(saidaAberta.fd, 0) == 0 && saidaAberta.caminho[0]) unlink(saidaAberta.caminho);
            break;
        case ModoSaida::Nenhum:
        case ModoSaida::Especial:
            break;
    }
    saidaAberta.modo = static_cast<sig_atomic_t>(ModoSaida::Nenhum);
}

extern "C" void aoSinal(int sinal) {
    retomaSaidaAberta();
    // Ends the process by the same signal, so that the shell sees 128 + n.
    struct sigaction padrao = {};
    padrao.sa_handler = SIG_DFL;
    sigemptyset(&padrao.sa_mask);
    sigaction(sinal, &padrao, nullptr);
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, sinal);
    sigprocmask(SIG_UNBLOCK, &s, nullptr);
    raise(sinal);
}

// The only exception the program throws is std::bad_alloc, which main turns
// into a message. When memory is so short that even the exception cannot be
// made, the runtime ends here instead: the same message, no partial output.
[[noreturn]] void semMemoria() {
    retomaSaidaAberta();
    puts("Erro: memória insuficiente");
    fflush(stdout);
    _exit(1);
}

// ------------------------------------------------------------- the output

// The file that `path` leads to through any chain of symbolic links; the
// path itself when it is not a link or the chain is too long (opening it
// then fails). A dangling link leads to the file it would create.
std::string alvoDe(const char* path, bool* link) {
    std::string alvo = path;
    *link = false;
    for (int saltos = 0; saltos < 40; saltos++) {
        struct stat st;
        if (lstat(alvo.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        char destino[PATH_MAX];
        const ssize_t n = readlink(alvo.c_str(), destino, sizeof destino);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof destino) break;
        const std::string relativo(destino, static_cast<size_t>(n));
        const size_t barra = alvo.rfind('/');
        alvo = relativo[0] == '/' || barra == std::string::npos ? relativo : alvo.substr(0, barra + 1) + relativo;
        *link = true;
    }
    return alvo;
}

mode_t mascaraCriacao() {
    const mode_t mascara = umask(0);
    umask(mascara);
    return mascara;
}

// A new, empty file in `dirfd` that no other run can have chosen.
int criaTemporario(int dirfd, const std::string& nome, std::string* temporario) {
    static unsigned sequencia = 0;
    // Keeps the name, shortened, so that a user who finds one knows whose it is.
    std::string base = ".";
    base.append(nome, 0, 200);
    base += ".vsp-";
    for (int tentativa = 0; tentativa < 100; tentativa++) {
        struct timespec agora;
        clock_gettime(CLOCK_REALTIME, &agora);
        char sufixo[48];
        snprintf(sufixo, sizeof sufixo, "%ld-%lx-%u", static_cast<long>(getpid()),
                 static_cast<unsigned long>(agora.tv_nsec), sequencia++);
        *temporario = base + sufixo;
        const int fd = openat(dirfd, temporario->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// A replaced file keeps its permission bits and, where the process may set
// them, its owner and group; a new file gets what fopen would give it. The
// writes that follow clear the set-user-ID and set-group-ID bits, as they
// would in place, unless the process may keep them.
void copiaPermissoes(int fd, bool existia, const struct stat& antigo) {
    if (!existia) {
        fchmod(fd, 0666 & ~mascaraCriacao());
        return;
    }
    // Owner first: changing it clears the set-user-ID and set-group-ID bits.
    if (fchown(fd, antigo.st_uid, antigo.st_gid) != 0) {
        [[maybe_unused]] const int r = fchown(fd, static_cast<uid_t>(-1), antigo.st_gid);
    }
    fchmod(fd, antigo.st_mode & 07777);
}

// Whether a file in `dir` owned by someone else may be replaced by rename:
// in a sticky directory only its owner, the directory's or root may.
bool podeSubstituir(const struct stat& dir, const struct stat& antigo) {
    const uid_t eu = geteuid();
    return !(dir.st_mode & S_ISVTX) || eu == 0 || eu == antigo.st_uid || eu == dir.st_uid;
}

// What came of trying to open the output as a temporary file.
enum class Tentativa {
    Aberto,
    NoLugar,  // no temporary file there: write in place, as the path allows
    Falhou,   // one could not be made (no inode, no descriptor): the output stays untouched
};

Tentativa abreTemporario(ArquivoSaida* saida, const std::string& alvo) {
    struct stat antigo;
    const bool existia = lstat(alvo.c_str(), &antigo) == 0;
    if (existia && (!S_ISREG(antigo.st_mode) || faccessat(AT_FDCWD, alvo.c_str(), W_OK, AT_EACCESS) != 0))
        return Tentativa::NoLugar;
    const size_t barra = alvo.rfind('/');
    const std::string dir = barra == std::string::npos ? "." : barra == 0 ? "/" : alvo.substr(0, barra);
    saida->nome = barra == std::string::npos ? alvo : alvo.substr(barra + 1);
    if (saida->nome.empty()) return Tentativa::NoLugar;
    // O_PATH needs no read permission on the directory, only search.
    const int dirfd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0) return Tentativa::NoLugar;
    struct stat st;
    if (fstat(dirfd, &st) != 0 || (existia && !podeSubstituir(st, antigo))) {
        close(dirfd);
        return Tentativa::NoLugar;
    }
    SinaisBloqueados bloqueio;
    const int fd = criaTemporario(dirfd, saida->nome, &saida->temporario);
    FILE* file = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (!file) {
        const int erro = errno;
        if (fd >= 0) {
            close(fd);
            unlinkat(dirfd, saida->temporario.c_str(), 0);
        }
        close(dirfd);
        errno = erro;
        // Writing in place is for a directory that refuses new files; after
        // any other failure (no inode, no descriptor, a quota) it would put
        // the existing file at risk.
        const bool recusado = erro == EACCES || erro == EPERM || erro == EROFS;
        return fd < 0 && recusado ? Tentativa::NoLugar : Tentativa::Falhou;
    }
    copiaPermissoes(fd, existia, antigo);
    saida->file = file;
    saida->dirfd = dirfd;
    saida->substitui = existia;
    saida->modo = ModoSaida::Temporario;
    registraSaida(*saida);
    return Tentativa::Aberto;
}

// Opens the path as given, not the file found by following its links: links
// such as /dev/stdout lead through /proc to names that only the kernel can
// open.
bool abreNoLugar(ArquivoSaida* saida, const char* path, bool link) {
    SinaisBloqueados bloqueio;
    FILE* file = fopen(path, "wb");
    if (!file) return false;
    struct stat st;
    saida->file = file;
    saida->modo = fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode) ? ModoSaida::NoLugar : ModoSaida::Especial;
    if (saida->modo == ModoSaida::NoLugar) {
        // Nothing waits in a buffer, so emptying the file on failure leaves
        // it empty: a buffer flushed by fclose would land past the new end.
        setvbuf(file, nullptr, _IONBF, 0);
        saida->caminho = path;
        saida->removivel = !link;
    }
    registraSaida(*saida);
    return true;
}

void fechaDiretorio(ArquivoSaida* saida) {
    if (saida->dirfd >= 0) close(saida->dirfd);
    saida->dirfd = -1;
}

// Whether the links of `path`, followed by their text, lead to the file the
// kernel finds. Links through /proc such as /dev/stdout name open files
// ("pipe:[…]", "/x (deleted)") that only the kernel can follow.
bool mesmoAlvo(const char* path, const std::string& alvo) {
    struct stat pelaLigacao, peloTexto;
    if (stat(path, &pelaLigacao) != 0) return true;  // nothing there yet: a new file at `alvo`
    return stat(alvo.c_str(), &peloTexto) == 0 && pelaLigacao.st_dev == peloTexto.st_dev &&
           pelaLigacao.st_ino == peloTexto.st_ino;
}

}  // namespace

bool abreSaida(ArquivoSaida* saida, const char* path) {
    bool link;
    const std::string alvo = alvoDe(path, &link);
    if (link && !mesmoAlvo(path, alvo)) return abreNoLugar(saida, path, link);
    switch (abreTemporario(saida, alvo)) {
        case Tentativa::Aberto:
            return true;
        case Tentativa::NoLugar:
            return abreNoLugar(saida, path, link);
        case Tentativa::Falhou:
            break;
    }
    return false;
}

void reservaSaida(const ArquivoSaida& saida, uint64_t bytes) {
    if (saida.modo != ModoSaida::Temporario || bytes == 0) return;
    (void)fallocate(fileno(saida.file), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes));
}

// Bytes of a replacing output whose writeback is started at a time: the disk
// then works while the rest is coded, rather than all of it at the end.
constexpr off_t PASSO_ENVIO = 8 << 20;

void acompanhaSaida(ArquivoSaida* saida) {
    if (saida->modo != ModoSaida::Temporario || !saida->substitui) return;
    // What stdio still holds is left for the next step.
    const off_t escrito = ftello(saida->file);
    if (escrito - saida->enviado < PASSO_ENVIO) return;
    (void)sync_file_range(fileno(saida->file), saida->enviado, escrito - saida->enviado, SYNC_FILE_RANGE_WRITE);
    saida->enviado = escrito;
}

bool fechaSaida(ArquivoSaida* saida) {
    bool ok = fflush(saida->file) == 0 && !ferror(saida->file);
    // Starts the writeback of what acompanhaSaida has not sent, to the end,
    // without waiting for it; a hint, failure ignored.
    if (ok && saida->modo == ModoSaida::Temporario && saida->substitui)
        (void)sync_file_range(fileno(saida->file), saida->enviado, 0, SYNC_FILE_RANGE_WRITE);
    // A file written in place stays registered until it is known whole.
    if (fclose(saida->file) != 0) ok = false;
    saida->file = nullptr;
    if (!ok) {
        abandonaSaida(saida);
        return false;
    }
    SinaisBloqueados bloqueio;
    if (saida->modo == ModoSaida::Temporario &&
        renameat(saida->dirfd, saida->temporario.c_str(), saida->dirfd, saida->nome.c_str()) != 0) {
        unlinkat(saida->dirfd, saida->temporario.c_str(), 0);
        ok = false;
    }
    esqueceSaida();
    fechaDiretorio(saida);
    saida->modo = ModoSaida::Nenhum;
    return ok;
}

void abandonaSaida(ArquivoSaida* saida) {
    SinaisBloqueados bloqueio;
    switch (saida->modo) {
        case ModoSaida::Temporario:
            if (saida->file) fclose(saida->file);
            unlinkat(saida->dirfd, saida->temporario.c_str(), 0);
            break;
        case ModoSaida::NoLugar:
            // Emptied first, so that no partial data stays behind where the
            // directory does not let the file be removed.
            if (saida->file) {
                const bool vazio = ftruncate(fileno(saida->file), 0) == 0;
                fclose(saida->file);
                if (vazio && saida->removivel) unlink(saida->caminho.c_str());
            } else if (truncate(saida->caminho.c_str(), 0) == 0 && saida->removivel) {
                unlink(saida->caminho.c_str());
            }
            break;
        case ModoSaida::Especial:
            if (saida->file) fclose(saida->file);
            break;
        case ModoSaida::Nenhum:
            break;
    }
    saida->file = nullptr;
    esqueceSaida();
    fechaDiretorio(saida);
    saida->modo = ModoSaida::Nenhum;
}

ArquivoSaida::~ArquivoSaida() { abandonaSaida(this); }

void preparaProcesso() {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // The lowest free descriptor, which is `fd` since those below it are open.
            const int aberto = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (aberto >= 0 && aberto != fd) close(aberto);
        }
    }
    std::set_terminate(semMemoria);
#ifdef SIGXFSZ
    signal(SIGXFSZ, SIG_IGN);
#endif
    struct sigaction acao = {};
    acao.sa_handler = aoSinal;
    acao.sa_mask = conjuntoSinais();
    // Only where the default action holds: an ignored signal stays ignored,
    // and one already handled (a profiler's SIGPROF) keeps its handler.
    for (int sinal : SINAIS) {
        struct sigaction antes;
        if (sigaction(sinal, nullptr, &antes) == 0 && !(antes.sa_flags & SA_SIGINFO) && antes.sa_handler == SIG_DFL)
            sigaction(sinal, &acao, nullptr);
    }
}
