#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "vespadora_plataforma.h"

#ifdef VESPADORA_HAVE_XATTR
#include <sys/xattr.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

enum class ModoSaida {
    Nenhum,      // nothing open for writing
    Temporario,  // a temporary file, renamed onto `nome` by fechaSaida
    NoLugar,     // a regular file written in place
    Especial,    // a device, FIFO or other special file
};

// What opening the output's path found, before anything is written.
enum class Alcance {
    Recusado,   // the kernel refused it; `erro` says why
    Novo,       // no file by that name: a new file `nome` in `dirfd`
    Ligacao,    // a link that leads nowhere yet: opening it creates the file
    Existente,  // the file open as `fdAlvo`
};

struct EstadoSaida {
    ModoSaida modo = ModoSaida::Nenhum;
    Alcance alcance = Alcance::Recusado;
    int erro = 0;              // Recusado: errno of the refusal
    int dirfd = -1;            // the directory of `nome`; -1 when none could be opened
    std::string nome;          // the name there of the file reached
    bool nomeConfere = false;  // Existente: `nome` in `dirfd` leads to the file open as `fdAlvo`
    int fdAlvo = -1;           // Existente: the file reached, open for writing, not truncated
    struct stat alvo {};       // Existente: what it was when reached
    bool criado = false;       // the run created the file `fdAlvo` (through a link that led nowhere)
    std::string temporario;    // Temporario: the temporary file's name in `dirfd`
    off_t enviado = 0;         // Temporario: bytes whose writeback has been started
};

namespace {

// ------------------------------------------------------------------ signals

// Those whose default action ends the process and that come from outside:
// a terminal, `kill`, `timeout`, a pipeline, a CPU-time limit.
constexpr int SINAIS[] = {
    SIGINT,    SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2,
#ifdef SIGXCPU
    SIGXCPU,
#endif
#ifdef SIGVTALRM
    SIGVTALRM,
#endif
#ifdef SIGPROF
    SIGPROF,
#endif
#ifdef SIGIO
    SIGIO,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

// What the signal handler must take back: a temporary file to remove, and a
// file written in place to empty and, when the run created it, to remove.
// The driver fills it with these signals blocked, so the handler never sees
// it half written; the handler reads it with only async-signal-safe calls.
struct SaidaAberta {
    volatile sig_atomic_t ativa;
    int dirfd;
    char temporario[NAME_MAX + 1];  // empty when there is none
    int esvaziar;                   // -1 when there is none
    char remover[NAME_MAX + 1];     // empty when it must stay
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

void copiaNome(char* destino, const std::string& origem) {
    // Names are single path components, at most NAME_MAX bytes.
    const size_t n = origem.size() <= NAME_MAX ? origem.size() : 0;
    memcpy(destino, origem.data(), n);
    destino[n] = '\0';
}

// Called with the signals blocked.
void registraSaida(const EstadoSaida& saida, bool temporario, bool esvaziar) {
    saidaAberta.ativa = 0;
    saidaAberta.dirfd = saida.dirfd;
    copiaNome(saidaAberta.temporario, temporario ? saida.temporario : std::string());
    saidaAberta.esvaziar = esvaziar ? saida.fdAlvo : -1;
    copiaNome(saidaAberta.remover, esvaziar && saida.criado && saida.nomeConfere ? saida.nome : std::string());
    saidaAberta.ativa = 1;
}

void esqueceSaida() { saidaAberta.ativa = 0; }

// Whether `nome` in `dirfd` is the file open as `fd`.
bool mesmoNome(int dirfd, const char* nome, int fd) {
    struct stat a, b;
    return fstat(fd, &a) == 0 && fstatat(dirfd, nome, &b, AT_SYMLINK_NOFOLLOW) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// Takes back the open output with async-signal-safe calls only.
void retomaSaidaAberta() {
    if (!saidaAberta.ativa) return;
    if (saidaAberta.temporario[0]) unlinkat(saidaAberta.dirfd, saidaAberta.temporario, 0);
    // Emptied first: the directory may not let it be removed.
    if (saidaAberta.esvaziar >= 0 && ftruncate(saidaAberta.esvaziar, 0) == 0 && saidaAberta.remover[0] &&
        mesmoNome(saidaAberta.dirfd, saidaAberta.remover, saidaAberta.esvaziar))
        unlinkat(saidaAberta.dirfd, saidaAberta.remover, 0);
    saidaAberta.ativa = 0;
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
// Any other end here is a fault of the program, which aborts as the
// runtime's own handler would, once the output is taken back.
[[noreturn]] void semMemoria() {
    retomaSaidaAberta();
    if (!faltouMemoria()) abort();
    puts("Erro: memória insuficiente");
    fflush(stdout);
    _exit(1);
}

// ------------------------------------------------------- reaching the file

// Every stream handed out is unbuffered: the drivers write and read whole
// blocks, which a buffer would only split and copy.
FILE* semBuffer(FILE* f) {
    if (f) setvbuf(f, nullptr, _IONBF, 0);
    return f;
}

// An unbuffered stream on `fd`, which it then owns; null (with errno, the
// descriptor closed) when it cannot be made.
FILE* abreFluxo(int fd, const char* modo) {
    FILE* f = fd >= 0 ? semBuffer(fdopen(fd, modo)) : nullptr;
    if (!f && fd >= 0) {
        const int erro = errno;
        close(fd);
        errno = erro;
    }
    return f;
}

// Opens a directory for use as the base of the *at calls. O_PATH and O_SEARCH
// need only search permission on it; a plain open also needs read permission.
int abreDiretorio(const std::string& dir, int base = AT_FDCWD) {
#if defined(VESPADORA_HAVE_O_PATH)
    constexpr int MODO = O_PATH;
#elif defined(O_SEARCH)
    constexpr int MODO = O_SEARCH;
#else
    constexpr int MODO = O_RDONLY;
#endif
    return openat(base, dir.c_str(), MODO | O_DIRECTORY | O_CLOEXEC);
}

// Splits a path into its directory and its last component ("" when it ends
// with a slash).
void separa(const std::string& path, std::string* dir, std::string* nome) {
    const size_t barra = path.rfind('/');
    *dir = barra == std::string::npos ? "." : barra == 0 ? "/" : path.substr(0, barra);
    *nome = barra == std::string::npos ? path : path.substr(barra + 1);
}

// The directory and name of the file that `nome` in `dirfd` leads to,
// following its links by their text: the kernel has already opened that file
// through them, and the caller checks that the name found leads to it. False
// when the chain cannot be followed (links through /proc name open files,
// such as "pipe:[…]" or "/x (deleted)", that only the kernel can follow).
bool segueLigacoes(int dirfd, std::string nome, int* dirAlvo, std::string* nomeAlvo) {
    int dir = dup(dirfd);
    for (int saltos = 0; dir >= 0 && saltos < 40; saltos++) {
        struct stat st;
        if (fstatat(dir, nome.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) break;
        if (!S_ISLNK(st.st_mode)) {
            *dirAlvo = dir;
            *nomeAlvo = nome;
            return true;
        }
        char destino[PATH_MAX];
        const ssize_t n = readlinkat(dir, nome.c_str(), destino, sizeof destino);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof destino) break;
        std::string proximoDir;
        separa(std::string(destino, static_cast<size_t>(n)), &proximoDir, &nome);
        const int proximo = nome.empty() ? -1 : abreDiretorio(proximoDir, dir);
        close(dir);
        dir = proximo;
    }
    if (dir >= 0) close(dir);
    return false;
}

// Finds the directory and name of the regular file open as `fdAlvo`, reached
// through the links of `nome` in `dirfd`, and checks that they lead to it.
void localizaAlvo(EstadoSaida* saida) {
    int dir;
    std::string nome;
    if (!segueLigacoes(saida->dirfd, saida->nome, &dir, &nome)) return;
    close(saida->dirfd);
    saida->dirfd = dir;
    saida->nome = nome;
    saida->nomeConfere = mesmoNome(saida->dirfd, saida->nome.c_str(), saida->fdAlvo);
}

// Opens the file that the output's name leads to as opening the path would,
// O_CREAT included, so that the kernel applies its rules for links and for
// other users' files in sticky directories; nothing is truncated.
bool abreAlvo(EstadoSaida* saida) {
    saida->fdAlvo = openat(saida->dirfd, saida->nome.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    if (saida->fdAlvo < 0 || fstat(saida->fdAlvo, &saida->alvo) != 0) return false;
    saida->alcance = Alcance::Existente;
    if (S_ISREG(saida->alvo.st_mode)) localizaAlvo(saida);
    return true;
}

// ------------------------------------------------------ the temporary file

// A new, empty file in `dirfd` that no other run can have chosen. `modo` goes
// through the umask or the directory's default ACL, as for any new file.
int criaTemporario(int dirfd, const std::string& nome, mode_t modo, std::string* temporario) {
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
        const int fd = openat(dirfd, temporario->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, modo);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

#ifdef VESPADORA_HAVE_XATTR
// The names of the extended attributes of `fd`, each ending in a NUL.
std::vector<char> nomesAtributos(int fd) {
    for (;;) {
        const ssize_t tamanho = flistxattr(fd, nullptr, 0);
        if (tamanho <= 0) return {};
        std::vector<char> nomes(static_cast<size_t>(tamanho));
        const ssize_t lidos = flistxattr(fd, nomes.data(), nomes.size());
        if (lidos >= 0) {
            nomes.resize(static_cast<size_t>(lidos));
            return nomes;
        }
        if (errno != ERANGE) return {};
    }
}

bool temNome(const std::vector<char>& nomes, const char* nome) {
    for (size_t i = 0; i < nomes.size(); i += strlen(&nomes[i]) + 1)
        if (strcmp(&nomes[i], nome) == 0) return true;
    return false;
}

// The extended attributes of `de`, ACLs included, given to `para`, and those
// `para` has that `de` has not (an ACL inherited from the directory) removed.
// File capabilities are left out: writing to a file drops them. Each one is a
// best effort: a file system or a process that refuses one keeps the data.
void copiaAtributos(int de, int para) {
    const std::vector<char> antigos = nomesAtributos(de), novos = nomesAtributos(para);
    for (size_t i = 0; i < novos.size(); i += strlen(&novos[i]) + 1)
        if (!temNome(antigos, &novos[i])) fremovexattr(para, &novos[i]);
    std::vector<char> valor;
    for (size_t i = 0; i < antigos.size(); i += strlen(&antigos[i]) + 1) {
        const char* nome = &antigos[i];
        if (strcmp(nome, "security.capability") == 0) continue;
        const ssize_t tamanho = fgetxattr(de, nome, nullptr, 0);
        if (tamanho < 0) continue;
        valor.resize(static_cast<size_t>(tamanho));
        const ssize_t lido = fgetxattr(de, nome, valor.data(), valor.size());
        if (lido >= 0) fsetxattr(para, nome, valor.data(), static_cast<size_t>(lido), 0);
    }
}
#else
void copiaAtributos(int, int) {}
#endif

// A replacing file gets what the file it replaces has: owner and group where
// the process may set them, extended attributes and ACLs, permission bits.
// The writes that follow clear the set-user-ID and set-group-ID bits, as they
// would in place, unless the process may keep them.
void copiaPermissoes(int fd, const EstadoSaida& saida) {
    // Owner first: changing it clears the set-user-ID and set-group-ID bits.
    if (fchown(fd, saida.alvo.st_uid, saida.alvo.st_gid) != 0) {
        [[maybe_unused]] const int r = fchown(fd, static_cast<uid_t>(-1), saida.alvo.st_gid);
    }
    copiaAtributos(saida.fdAlvo, fd);
    fchmod(fd, saida.alvo.st_mode & 07777);
}

// Whether a file in `dirfd` owned by someone else may be replaced by rename:
// in a sticky directory only its owner, the directory's or root may.
bool podeSubstituir(int dirfd, const struct stat& antigo) {
    struct stat dir;
    if (fstat(dirfd, &dir) != 0) return false;
    const uid_t eu = geteuid();
    return !(dir.st_mode & S_ISVTX) || eu == 0 || eu == antigo.st_uid || eu == dir.st_uid;
}

// What came of trying to open the output as a temporary file.
enum class Tentativa {
    Aberto,
    NoLugar,  // no temporary file there: write in place, as the path allows
    Falhou,   // one could not be made (no inode, no descriptor): the output stays untouched
};

Tentativa abreTemporario(ArquivoSaida* saida) {
    EstadoSaida& e = *saida->estado;
    const bool substitui = e.alcance == Alcance::Existente;
    if (substitui && !podeSubstituir(e.dirfd, e.alvo)) return Tentativa::NoLugar;
    SinaisBloqueados bloqueio;
    const int fd = criaTemporario(e.dirfd, e.nome, substitui ? 0600 : 0666, &e.temporario);
    FILE* file = abreFluxo(fd, "wb");
    if (!file) {
        const int erro = errno;
        if (fd >= 0) unlinkat(e.dirfd, e.temporario.c_str(), 0);
        errno = erro;
        // Writing in place is for a directory that refuses new files; after
        // any other failure (no inode, no descriptor, a quota) it would put
        // the existing file at risk.
        const bool recusado = erro == EACCES || erro == EPERM || erro == EROFS;
        return fd < 0 && recusado && substitui ? Tentativa::NoLugar : Tentativa::Falhou;
    }
    if (substitui) copiaPermissoes(fd, e);
    saida->file = file;
    e.modo = ModoSaida::Temporario;
    registraSaida(e, true, e.criado);
    return Tentativa::Aberto;
}

// The file reached, written through the descriptor that reached it: emptied
// as opening it for writing would, and unbuffered so that emptying it on
// failure leaves it empty (a buffer flushed by fclose would land past the
// new end).
bool abreNoLugar(ArquivoSaida* saida) {
    EstadoSaida& e = *saida->estado;
    SinaisBloqueados bloqueio;
    FILE* file = abreFluxo(dup(e.fdAlvo), "wb");
    if (!file) return false;
    saida->file = file;
    if (!S_ISREG(e.alvo.st_mode)) {
        e.modo = ModoSaida::Especial;
        return true;
    }
    e.modo = ModoSaida::NoLugar;
    registraSaida(e, false, true);
    return ftruncate(e.fdAlvo, 0) == 0;
}

// ---------------------------------------------------------------- commit

// Whether the output's name is still what it was when it was reached: the
// same file, or still no file for a new one.
bool nomeIntacto(const EstadoSaida& saida) {
    if (saida.alcance == Alcance::Existente) return mesmoNome(saida.dirfd, saida.nome.c_str(), saida.fdAlvo);
    struct stat st;
    return fstatat(saida.dirfd, saida.nome.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
}

// Renames the temporary file onto the output's name. A new output is never
// put over a file that appeared meanwhile.
bool renomeia(const EstadoSaida& saida) {
#ifdef VESPADORA_HAVE_RENAMEAT2
    if (saida.alcance == Alcance::Novo) {
        if (renameat2(saida.dirfd, saida.temporario.c_str(), saida.dirfd, saida.nome.c_str(), RENAME_NOREPLACE) == 0)
            return true;
        if (errno != EINVAL && errno != ENOSYS) return false;  // the file system cannot, so check and rename
    }
#endif
    if (!nomeIntacto(saida)) {
        errno = EEXIST;
        return false;
    }
    return renameat(saida.dirfd, saida.temporario.c_str(), saida.dirfd, saida.nome.c_str()) == 0;
}

bool escreveTudo(int fd, const char* dados, size_t tamanho) {
    while (tamanho > 0) {
        const ssize_t n = write(fd, dados, tamanho);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        dados += n;
        tamanho -= static_cast<size_t>(n);
    }
    return true;
}

// The temporary file's bytes written over the output in place, for a file
// that cannot be renamed onto (a mount point). On failure the output is
// emptied, as any file written in place.
bool copiaNoLugar(EstadoSaida* saida) {
    static char bloco[64 * 1024];  // static: the program runs on a small stack, one thread
    const int de = openat(saida->dirfd, saida->temporario.c_str(), O_RDONLY | O_CLOEXEC);
    if (de < 0) return false;
    {
        SinaisBloqueados bloqueio;
        registraSaida(*saida, true, true);
    }
    bool ok = ftruncate(saida->fdAlvo, 0) == 0;
    for (ssize_t n; ok && (n = read(de, bloco, sizeof bloco)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0 && escreveTudo(saida->fdAlvo, bloco, static_cast<size_t>(n));
    }
    close(de);
    if (!ok) (void)ftruncate(saida->fdAlvo, 0);
    return ok;
}

// Whether a failed rename means that the name cannot be renamed onto, while
// the file itself may still be written.
bool naoRenomeavel(int erro) { return erro == EBUSY || erro == EXDEV || erro == EPERM || erro == EACCES; }

// Commits a whole temporary file. Signals wait while the name changes hands;
// a copy in place can take long, and a signal stops it and empties the output.
bool confirmaTemporario(EstadoSaida* saida) {
    {
        SinaisBloqueados bloqueio;
        if (renomeia(*saida)) {
            esqueceSaida();
            return true;
        }
    }
    const bool ok =
        naoRenomeavel(errno) && saida->alcance == Alcance::Existente && nomeIntacto(*saida) && copiaNoLugar(saida);
    SinaisBloqueados bloqueio;
    unlinkat(saida->dirfd, saida->temporario.c_str(), 0);
    if (ok) esqueceSaida();
    return ok;
}

void fechaDescritor(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

// Removes a file that the run created through a link, once it is empty.
void removeCriado(EstadoSaida* saida) {
    if (saida->criado && saida->nomeConfere && ftruncate(saida->fdAlvo, 0) == 0 &&
        mesmoNome(saida->dirfd, saida->nome.c_str(), saida->fdAlvo))
        unlinkat(saida->dirfd, saida->nome.c_str(), 0);
}

void fechaTudo(EstadoSaida* saida) {
    esqueceSaida();
    fechaDescritor(&saida->fdAlvo);
    fechaDescritor(&saida->dirfd);
    saida->modo = ModoSaida::Nenhum;
}

}  // namespace

bool alcancaSaida(ArquivoSaida* saida, const char* path) {
    if (!saida->estado) saida->estado = new EstadoSaida;
    EstadoSaida& e = *saida->estado;
    const std::string caminho = path;
    std::string dir;
    separa(caminho, &dir, &e.nome);
    struct stat st;
    if (e.nome.empty()) {
        errno = caminho.empty() ? ENOENT : EISDIR;
    } else if ((e.dirfd = abreDiretorio(dir)) < 0) {
        // Refused, or (without O_PATH or O_SEARCH) a directory that may be
        // searched but not read: the output has no directory to work in.
    } else if (fstatat(e.dirfd, e.nome.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            e.alcance = Alcance::Novo;
            return true;
        }
    } else if (S_ISLNK(st.st_mode) && fstatat(e.dirfd, e.nome.c_str(), &st, 0) != 0 && errno == ENOENT) {
        // Opening it would create the file the link leads to; that waits
        // until the output is opened.
        e.alcance = Alcance::Ligacao;
        return true;
    } else if (abreAlvo(&e)) {
        return true;
    }
    e.alcance = Alcance::Recusado;
    e.erro = errno;
    return false;
}

bool saidaEhEntrada(const ArquivoSaida& saida, FILE* entrada) {
    EstadoSaida& e = *saida.estado;
    struct stat st;
    return e.alcance == Alcance::Existente && fstat(fileno(entrada), &st) == 0 && st.st_dev == e.alvo.st_dev &&
           st.st_ino == e.alvo.st_ino;
}

bool abreSaida(ArquivoSaida* saida) {
    EstadoSaida& e = *saida->estado;
    if (e.alcance == Alcance::Ligacao) {
        if (!abreAlvo(&e)) {
            fechaDescritor(&e.fdAlvo);
            return false;
        }
        e.criado = true;
    }
    switch (e.alcance) {
        case Alcance::Recusado:
            errno = e.erro;
            return false;
        case Alcance::Novo:
            return abreTemporario(saida) == Tentativa::Aberto;
        case Alcance::Ligacao:
        case Alcance::Existente:
            break;
    }
    if (S_ISREG(e.alvo.st_mode) && e.nomeConfere) {
        switch (abreTemporario(saida)) {
            case Tentativa::Aberto:
                return true;
            case Tentativa::NoLugar:
                break;
            case Tentativa::Falhou:
                return false;
        }
    }
    return abreNoLugar(saida);
}

void reservaSaida(const ArquivoSaida& saida, uint64_t bytes) {
    EstadoSaida& e = *saida.estado;
    if (e.modo != ModoSaida::Temporario || bytes == 0) return;
#if defined(VESPADORA_HAVE_FALLOCATE)
    (void)fallocate(fileno(saida.file), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes));
#elif defined(F_PREALLOCATE)
    fstore_t pedido = {F_ALLOCATEALL, F_PEOFPOSMODE, 0, static_cast<off_t>(bytes), 0};
    (void)fcntl(fileno(saida.file), F_PREALLOCATE, &pedido);
#endif
}

#ifdef VESPADORA_HAVE_SYNC_FILE_RANGE
// Bytes of a replacing output whose writeback is started at a time: the disk
// then works while the rest is coded, rather than all of it at the end.
constexpr off_t PASSO_ENVIO = 8 << 20;
#endif

void acompanhaSaida(ArquivoSaida* saida) {
#ifdef VESPADORA_HAVE_SYNC_FILE_RANGE
    EstadoSaida& e = *saida->estado;
    if (e.modo != ModoSaida::Temporario || e.alcance != Alcance::Existente) return;
    // What stdio still holds is left for the next step.
    const off_t escrito = ftello(saida->file);
    if (escrito - e.enviado < PASSO_ENVIO) return;
    (void)sync_file_range(fileno(saida->file), e.enviado, escrito - e.enviado, SYNC_FILE_RANGE_WRITE);
    e.enviado = escrito;
#else
    (void)saida;
#endif
}

bool fechaSaida(ArquivoSaida* saida) {
    EstadoSaida& e = *saida->estado;
    bool ok = fflush(saida->file) == 0 && !ferror(saida->file);
#ifdef VESPADORA_HAVE_SYNC_FILE_RANGE
    // Starts the writeback of what acompanhaSaida has not sent, to the end,
    // without waiting for it; a hint, failure ignored.
    if (ok && e.modo == ModoSaida::Temporario && e.alcance == Alcance::Existente)
        (void)sync_file_range(fileno(saida->file), e.enviado, 0, SYNC_FILE_RANGE_WRITE);
#endif
    // A file written in place stays registered until it is known whole.
    if (fclose(saida->file) != 0) ok = false;
    saida->file = nullptr;
    if (!ok) {
        abandonaSaida(saida);
        return false;
    }
    if (e.modo == ModoSaida::Temporario && !confirmaTemporario(&e)) {
        SinaisBloqueados bloqueio;
        removeCriado(&e);
        ok = false;
    }
    fechaTudo(&e);
    return ok;
}

void abandonaSaida(ArquivoSaida* saida) {
    if (!saida->estado) return;
    EstadoSaida& e = *saida->estado;
    SinaisBloqueados bloqueio;
    if (saida->file) fclose(saida->file);
    saida->file = nullptr;
    switch (e.modo) {
        case ModoSaida::Temporario:
            unlinkat(e.dirfd, e.temporario.c_str(), 0);
            removeCriado(&e);
            break;
        case ModoSaida::NoLugar:
            // Emptied first, so that no partial data stays behind where the
            // directory does not let the file be removed.
            (void)ftruncate(e.fdAlvo, 0);
            removeCriado(&e);
            break;
        case ModoSaida::Especial:
        case ModoSaida::Nenhum:
            break;
    }
    fechaTudo(&e);
}

ArquivoSaida::~ArquivoSaida() {
    abandonaSaida(this);
    delete estado;
}

char** argumentosUtf8(int, char** argv) { return argv; }

FILE* abreLeitura(const char* path) { return semBuffer(fopen(path, "rb")); }

bool tamanhoRegular(FILE* f, uint64_t* tamanho) {
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    *tamanho = static_cast<uint64_t>(st.st_size);
    return true;
}

bool posicaoLeitura(FILE* f, uint64_t* posicao) {
    const off_t p = ftello(f);
    *posicao = static_cast<uint64_t>(p);
    return p >= 0;
}

FILE* criaTemporarioAnonimo() { return semBuffer(tmpfile()); }

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
