// The platform layer on Windows: wide-character paths from UTF-8, binary
// files, the output committed by ReplaceFileW or MoveFileExW, and Ctrl-C,
// Ctrl-Break and closing the console taking the output back.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "vespadora_plataforma.h"

enum class ModoSaida {
    Nenhum,      // nothing open for writing
    Temporario,  // a temporary file, put in the output's place by fechaSaida
    NoLugar,     // a disk file written in place
    Especial,    // a device such as NUL or CON
};

// What opening the output's path found, before anything is written.
enum class Alcance {
    Recusado,   // the system refused it; `erro` says why
    Novo,       // no file by that name: a new file `nome` in `diretorio`
    Existente,  // the file open as `alvo`
};

struct EstadoSaida {
    ModoSaida modo = ModoSaida::Nenhum;
    Alcance alcance = Alcance::Recusado;
    DWORD erro = 0;                      // Recusado: the system's error
    std::wstring diretorio;              // the directory of `nome`, with its separator; empty for the current one
    std::wstring nome;                   // the name there of the file reached
    bool nomeConfere = false;            // Existente: diretorio + nome leads to the file open as `alvo`
    HANDLE alvo = INVALID_HANDLE_VALUE;  // Existente: the file reached, open for writing
    BY_HANDLE_FILE_INFORMATION info{};   // Existente: its identity
    bool disco = false;                  // Existente: a file on a disk, not a device
    std::wstring temporario;             // Temporario: the temporary file's path
};

namespace {

// ------------------------------------------------------------------- text

std::wstring largo(const char* utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, w.data(), n);
    w.resize(static_cast<size_t>(n - 1));
    return w;
}

std::string estreito(const wchar_t* w) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    s.resize(static_cast<size_t>(n - 1));
    return s;
}

// errno for the system's error, as far as the drivers tell them apart.
void defineErrno(DWORD erro) {
    switch (erro) {
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            errno = ENOMEM;
            break;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            errno = ENOENT;
            break;
        default:
            errno = EACCES;
            break;
    }
}

// Every stream handed out is unbuffered: the drivers write and read whole
// blocks, which a buffer would only split and copy.
FILE* semBuffer(FILE* f) {
    if (f) setvbuf(f, nullptr, _IONBF, 0);
    return f;
}

// An unbuffered stdio stream over a handle, which it then owns; null (the
// handle closed) when it cannot be made.
FILE* arquivoDe(HANDLE h, int flags, const char* modo) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    FILE* f = semBuffer(_fdopen(fd, modo));
    if (!f) _close(fd);
    return f;
}

HANDLE handleDe(FILE* f) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))); }

bool mesmaIdentidade(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// ---------------------------------------------------------- console control

// What the console handler must take back: a temporary file to remove, or a
// file written in place to empty. The handler runs on a thread of its own:
// it takes the lock, which the driver holds while it changes this record or
// the files it names, stops the main thread, and ends the process.
struct SaidaAberta {
    CRITICAL_SECTION trava;
    bool ativa = false;
    wchar_t temporario[32768] = {};          // empty when there is none
    HANDLE esvaziar = INVALID_HANDLE_VALUE;  // a file to empty, when there is one
    SaidaAberta() { InitializeCriticalSection(&trava); }
};
SaidaAberta saidaAberta;
HANDLE threadPrincipal;
UINT paginaConsole;  // the console's code page before the program's

struct Travado {
    Travado() { EnterCriticalSection(&saidaAberta.trava); }
    ~Travado() { LeaveCriticalSection(&saidaAberta.trava); }
    Travado(const Travado&) = delete;
    Travado& operator=(const Travado&) = delete;
};

bool esvazia(HANDLE h) {
    LARGE_INTEGER zero{};
    return SetFilePointerEx(h, zero, nullptr, FILE_BEGIN) && SetEndOfFile(h);
}

// Called with the lock held.
void registraSaida(const EstadoSaida& e, bool temporario, bool esvaziar) {
    saidaAberta.ativa = false;
    const std::wstring& nome = temporario ? e.temporario : std::wstring();
    const size_t n = nome.size() < 32768 ? nome.size() : 0;
    wmemcpy(saidaAberta.temporario, nome.c_str(), n);
    saidaAberta.temporario[n] = L'\0';
    saidaAberta.esvaziar = esvaziar ? e.alvo : INVALID_HANDLE_VALUE;
    saidaAberta.ativa = true;
}

void esqueceSaida() { saidaAberta.ativa = false; }

// With the lock held and the main thread stopped.
void retomaSaidaAberta() {
    if (!saidaAberta.ativa) return;
    // Opened with FILE_SHARE_DELETE: it goes once the process's handles close.
    if (saidaAberta.temporario[0]) DeleteFileW(saidaAberta.temporario);
    if (saidaAberta.esvaziar != INVALID_HANDLE_VALUE) esvazia(saidaAberta.esvaziar);
    saidaAberta.ativa = false;
}

void restauraConsole() {
    if (paginaConsole) SetConsoleOutputCP(paginaConsole);
}

BOOL WINAPI aoControle(DWORD evento) {
    switch (evento) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            break;
        default:
            return FALSE;
    }
    EnterCriticalSection(&saidaAberta.trava);
    SuspendThread(threadPrincipal);
    retomaSaidaAberta();
    restauraConsole();
    // No exit handlers: the main thread, stopped, may hold the C library's locks.
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

// The only exception the program throws is std::bad_alloc, which main turns
// into a message. When memory is so short that even the exception cannot be
// made, the runtime ends here instead: the same message, no partial output.
// Any other end here is a fault of the program, which aborts as the
// runtime's own handler would, once the output is taken back.
[[noreturn]] void semMemoria() {
    EnterCriticalSection(&saidaAberta.trava);
    retomaSaidaAberta();
    if (!faltouMemoria()) {
        restauraConsole();
        abort();
    }
    puts("Erro: memória insuficiente");
    fflush(stdout);
    restauraConsole();
    _exit(1);
}

// A standard stream without a valid handle is opened on NUL, so that no
// file the program opens takes its descriptor.
void abreNulo(FILE* f, const char* modo) {
    const int fd = _fileno(f);
    if (fd < 0 || _get_osfhandle(fd) == -1) freopen("NUL", modo, f);
}

// ------------------------------------------------------- reaching the file

// Splits a path at its last separator into the directory, separator
// included, and the name.
void separa(const std::wstring& path, std::wstring* dir, std::wstring* nome) {
    size_t corte = path.find_last_of(L"\\/");
    if (corte == std::wstring::npos && path.size() >= 2 && path[1] == L':') corte = 1;  // "C:name"
    *dir = corte == std::wstring::npos ? std::wstring() : path.substr(0, corte + 1);
    *nome = corte == std::wstring::npos ? path : path.substr(corte + 1);
}

bool identidadeDe(const std::wstring& path, BY_HANDLE_FILE_INFORMATION* info) {
    const HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(h, info);
    CloseHandle(h);
    return ok;
}

// Whether diretorio + nome leads to the file open as `alvo`.
bool nomeLevaAoAlvo(const EstadoSaida& e) {
    BY_HANDLE_FILE_INFORMATION info;
    return identidadeDe(e.diretorio + e.nome, &info) && mesmaIdentidade(info, e.info);
}

// The directory and name of the disk file open as `alvo`, after any links,
// from the system's own name for it, and whether they lead to it.
void localizaAlvo(EstadoSaida* e, const std::wstring& path) {
    std::vector<wchar_t> nome(32768);
    const DWORD n = GetFinalPathNameByHandleW(e->alvo, nome.data(), static_cast<DWORD>(nome.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    separa(n > 0 && n < nome.size() ? std::wstring(nome.data(), n) : path, &e->diretorio, &e->nome);
    e->nomeConfere = !e->nome.empty() && nomeLevaAoAlvo(*e);
}

// ------------------------------------------------------ the temporary file

// A new file beside the output that no other run can have chosen, open for
// writing; others may delete it, so that the console handler can.
HANDLE criaTemporario(EstadoSaida* e) {
    static unsigned sequencia = 0;
    for (int tentativa = 0; tentativa < 100; tentativa++) {
        wchar_t sufixo[64];
        swprintf(sufixo, 64, L".vsp-%lu-%lu-%u", GetCurrentProcessId(), GetTickCount(), sequencia++);
        e->temporario = e->diretorio + L"." + e->nome.substr(0, 200) + sufixo;
        const HANDLE h =
            CreateFileW(e->temporario.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return h;
    }
    return INVALID_HANDLE_VALUE;
}

enum class Tentativa { Aberto, NoLugar, Falhou };

Tentativa abreTemporario(ArquivoSaida* saida) {
    EstadoSaida& e = *saida->estado;
    Travado trava;
    const HANDLE h = criaTemporario(&e);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD erro = GetLastError();
        defineErrno(erro);
        // In place only where the directory refuses new files.
        return erro == ERROR_ACCESS_DENIED && e.alcance == Alcance::Existente ? Tentativa::NoLugar : Tentativa::Falhou;
    }
    saida->file = arquivoDe(h, _O_RDWR, "wb");
    if (!saida->file) {
        DeleteFileW(e.temporario.c_str());
        errno = ENOMEM;
        return Tentativa::Falhou;
    }
    e.modo = ModoSaida::Temporario;
    registraSaida(e, true, false);
    return Tentativa::Aberto;
}

// The file reached, written through a copy of the handle that reached it:
// emptied as opening it for writing would, and unbuffered so that emptying
// it on failure leaves it empty.
bool abreNoLugar(ArquivoSaida* saida) {
    EstadoSaida& e = *saida->estado;
    Travado trava;
    HANDLE h;
    if (!DuplicateHandle(GetCurrentProcess(), e.alvo, GetCurrentProcess(), &h, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        defineErrno(GetLastError());
        return false;
    }
    saida->file = arquivoDe(h, _O_WRONLY, "wb");
    if (!saida->file) {
        errno = ENOMEM;
        return false;
    }
    if (!e.disco) {
        e.modo = ModoSaida::Especial;
        return true;
    }
    e.modo = ModoSaida::NoLugar;
    registraSaida(e, false, true);
    return esvazia(e.alvo);
}

// ---------------------------------------------------------------- commit

// Puts the whole temporary file in the output's place, provided the name
// still leads to the file reached (or, for a new output, to none). A
// replaced file keeps its attributes, ACL and streams (ReplaceFileW); where
// that fails, the data still goes in by a plain replacing move.
bool confirmaTemporario(EstadoSaida* e) {
    const std::wstring final = e->diretorio + e->nome;
    if (e->alcance == Alcance::Novo) return MoveFileExW(e->temporario.c_str(), final.c_str(), 0);
    if (!nomeLevaAoAlvo(*e)) return false;
    CloseHandle(e->alvo);
    e->alvo = INVALID_HANDLE_VALUE;
    return ReplaceFileW(final.c_str(), e->temporario.c_str(), nullptr,
                        REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr, nullptr) ||
           MoveFileExW(e->temporario.c_str(), final.c_str(), MOVEFILE_REPLACE_EXISTING);
}

void fechaTudo(EstadoSaida* e) {
    esqueceSaida();
    if (e->alvo != INVALID_HANDLE_VALUE) CloseHandle(e->alvo);
    e->alvo = INVALID_HANDLE_VALUE;
    e->modo = ModoSaida::Nenhum;
}

}  // namespace

// ------------------------------------------------------------------ process

void preparaProcesso() {
    abreNulo(stdin, "rb");
    abreNulo(stdout, "wb");
    abreNulo(stderr, "wb");
    // The messages' bytes exactly, newlines included, and a console that
    // shows them as UTF-8.
    _setmode(_fileno(stdout), _O_BINARY);
    if (GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR) {
        paginaConsole = GetConsoleOutputCP();
        SetConsoleOutputCP(CP_UTF8);
        atexit(restauraConsole);
    }
    std::set_terminate(semMemoria);
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &threadPrincipal,
                    THREAD_SUSPEND_RESUME, FALSE, 0);
    SetConsoleCtrlHandler(aoControle, TRUE);
}

char** argumentosUtf8(int argc, char** argv) {
    static std::vector<std::string> textos;
    static std::vector<char*> ponteiros;
    int n = 0;
    wchar_t** largos = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!largos || n != argc) return argv;
    for (int i = 0; i < n; i++) textos.push_back(estreito(largos[i]));
    LocalFree(largos);
    for (std::string& t : textos) ponteiros.push_back(t.data());
    ponteiros.push_back(nullptr);
    return ponteiros.data();
}

// -------------------------------------------------------------------- input

FILE* abreLeitura(const char* path) { return semBuffer(_wfopen(largo(path).c_str(), L"rb")); }

bool tamanhoRegular(FILE* f, uint64_t* tamanho) {
    const HANDLE h = handleDe(f);
    LARGE_INTEGER n;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &n)) return false;
    *tamanho = static_cast<uint64_t>(n.QuadPart);
    return true;
}

bool posicaoLeitura(FILE* f, uint64_t* posicao) {
    const long long p = _ftelli64(f);
    *posicao = static_cast<uint64_t>(p);
    return p >= 0;
}

FILE* criaTemporarioAnonimo() {
    static unsigned sequencia = 0;
    wchar_t dir[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, dir);
    if (n == 0 || n > MAX_PATH) return nullptr;
    for (int tentativa = 0; tentativa < 100; tentativa++) {
        wchar_t nome[64];
        swprintf(nome, 64, L"vespadora-%lu-%lu-%u.tmp", GetCurrentProcessId(), GetTickCount(), sequencia++);
        const HANDLE h = CreateFileW((std::wstring(dir) + nome).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (h != INVALID_HANDLE_VALUE) return arquivoDe(h, _O_RDWR, "w+b");
        if (GetLastError() != ERROR_FILE_EXISTS) break;
    }
    return nullptr;
}

// ------------------------------------------------------------------- output

ArquivoSaida::~ArquivoSaida() {
    abandonaSaida(this);
    delete estado;
}

bool alcancaSaida(ArquivoSaida* saida, const char* path) {
    if (!saida->estado) saida->estado = new EstadoSaida;
    EstadoSaida& e = *saida->estado;
    const std::wstring caminho = largo(path);
    e.alvo = caminho.empty()
                 ? INVALID_HANDLE_VALUE
                 : CreateFileW(caminho.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (e.alvo != INVALID_HANDLE_VALUE) {
        e.alcance = Alcance::Existente;
        e.disco = GetFileType(e.alvo) == FILE_TYPE_DISK && GetFileInformationByHandle(e.alvo, &e.info);
        if (e.disco) localizaAlvo(&e, caminho);
        return true;
    }
    e.erro = caminho.empty() ? ERROR_PATH_NOT_FOUND : GetLastError();
    separa(caminho, &e.diretorio, &e.nome);
    e.alcance = e.erro == ERROR_FILE_NOT_FOUND && !e.nome.empty() ? Alcance::Novo : Alcance::Recusado;
    return e.alcance == Alcance::Novo;
}

bool saidaEhEntrada(const ArquivoSaida& saida, FILE* entrada) {
    BY_HANDLE_FILE_INFORMATION info;
    return saida.estado->alcance == Alcance::Existente && saida.estado->disco &&
           GetFileInformationByHandle(handleDe(entrada), &info) && mesmaIdentidade(info, saida.estado->info);
}

bool abreSaida(ArquivoSaida* saida) {
    EstadoSaida& e = *saida->estado;
    if (e.alcance == Alcance::Recusado) {
        defineErrno(e.erro);
        return false;
    }
    if (e.alcance == Alcance::Novo || (e.disco && e.nomeConfere)) {
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
    if (saida.estado->modo != ModoSaida::Temporario || bytes == 0) return;
    FILE_ALLOCATION_INFO pedido;
    pedido.AllocationSize.QuadPart = static_cast<LONGLONG>(bytes);
    SetFileInformationByHandle(handleDe(saida.file), FileAllocationInfo, &pedido, sizeof pedido);
}

void acompanhaSaida(ArquivoSaida*) {}

bool fechaSaida(ArquivoSaida* saida) {
    EstadoSaida& e = *saida->estado;
    bool ok = fflush(saida->file) == 0 && !ferror(saida->file);
    if (fclose(saida->file) != 0) ok = false;
    saida->file = nullptr;
    if (!ok) {
        abandonaSaida(saida);
        return false;
    }
    Travado trava;
    if (e.modo == ModoSaida::Temporario && !confirmaTemporario(&e)) {
        DeleteFileW(e.temporario.c_str());
        ok = false;
    }
    fechaTudo(&e);
    return ok;
}

void abandonaSaida(ArquivoSaida* saida) {
    if (!saida->estado) return;
    EstadoSaida& e = *saida->estado;
    Travado trava;
    if (saida->file) fclose(saida->file);
    saida->file = nullptr;
    switch (e.modo) {
        case ModoSaida::Temporario:
            DeleteFileW(e.temporario.c_str());
            break;
        case ModoSaida::NoLugar:
            esvazia(e.alvo);
            break;
        case ModoSaida::Especial:
        case ModoSaida::Nenhum:
            break;
    }
    fechaTudo(&e);
}
