// windows.cpp - the operating-system services of platform.h on Windows
// (x86-64, Windows 10 or later).
//
// Texts inside the program are UTF-8. Every path is turned into UTF-16 at
// this edge, made absolute and given the \\?\ form, so that names outside
// the ANSI code page and paths longer than 260 characters reach the wide
// ("W") calls intact; the environment is read as UTF-16 and converted.
//
// Files that other processes may replace are opened with every sharing
// right (read, write, delete), so that a reader never stops a writer's
// rename for longer than its read; a rename that still meets an open file
// reports it as busy for the caller to retry.
//
// Every system call that can fail is made through the table a_syscall, as on
// POSIX (posix.cpp): the entries are the Windows and C runtime functions
// under their own names ("CreateFileW", "MoveFileExW", "_fdopen" ...), and a
// replacement keeps the function's failure contract (its failure value and
// the thread's last error, or errno for the C runtime).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winternl.h>

#include "syscalls.h"

// RtlGenRandom: the system's random source, exported by ADVAPI32 under this
// name (bcrypt would need a DLL beyond the three every Windows has).
extern "C" BOOLEAN NTAPI SystemFunction036(PVOID out, ULONG len);

namespace {

// The calls of the table, in its order.
#define WINDOWS_SYSCALLS(X)                                                                       \
    X(CreateFileW) X(ReadFile) X(WriteFile) X(FlushFileBuffers) X(MoveFileExW) X(DeleteFileW)   \
    X(CreateDirectoryW) X(GetFileAttributesW) X(GetFileAttributesExW) X(SetFileAttributesW)     \
    X(GetFileInformationByHandle) X(GetFileInformationByHandleEx) X(GetFileSizeEx)              \
    X(GetFullPathNameW) X(GetFinalPathNameByHandleW) X(FindFirstFileW) X(FindNextFileW)         \
    X(OpenProcess) X(GetProcessTimes) X(GetExitCodeProcess) X(_open_osfhandle) X(_fdopen)      \
    X(fwrite) X(fflush) X(fclose) X(_close) X(CloseHandle) X(CreateHardLinkW) X(SetFileTime)   \
    X(SystemFunction036)

enum {
#define SYS_INDEX(name) SYS_##name,
    WINDOWS_SYSCALLS(SYS_INDEX)
#undef SYS_INDEX
    SYS_COUNT
};

}  // namespace

syscall_entry a_syscall[SYS_COUNT] = {
#define SYS_ENTRY(name) {#name, (plat_syscall_ptr)&name, (plat_syscall_ptr)&name},
    WINDOWS_SYSCALLS(SYS_ENTRY)
#undef SYS_ENTRY
};
const int a_syscall_count = SYS_COUNT;

namespace {

// The current function of a call, with its own type.
#define SYS(name) ((decltype(&name))a_syscall[SYS_##name].current)

// Room for a path in UTF-16: a path of the program is at most 1,023 bytes,
// made absolute against a working directory of any length the system
// allows. \\?\ paths may be up to 32,767 characters.
const DWORD WIDE_CAP = 32768;

// A path turned into the form the wide calls take. Heap-held: two of them
// at once would not fit a small stack comfortably.
struct wide_path {
    wchar_t *w = nullptr;
    wide_path() = default;
    wide_path(const wide_path &) = delete;
    wide_path &operator=(const wide_path &) = delete;
    ~wide_path() { free(w); }
};

// UTF-8 to UTF-16 into out[cap]. Returns the length, or -1 when the text is
// not UTF-8 or does not fit.
int utf8_to_wide(const char *s, wchar_t *out, int cap) {
    if (!*s) {
        out[0] = 0;
        return 0;
    }
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, out, cap);
    return n > 0 ? n - 1 : -1;
}

// UTF-16 to UTF-8 into out[cap]. Returns the length, or -1.
int wide_to_utf8(const wchar_t *s, char *out, int cap) {
    if (!*s) {
        out[0] = 0;
        return 0;
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, s, -1, out, cap, nullptr, nullptr);
    return n > 0 ? n - 1 : -1;
}

// Fills p with the \\?\ form of path: absolute, backslashes only, no
// length limit. Returns 0, or -1 (not UTF-8, too long) with
// ERROR_INVALID_NAME as the last error.
int to_wide(const char *path, wide_path *p) {
    wchar_t *rel = (wchar_t *)malloc(sizeof(wchar_t) * WIDE_CAP);
    p->w = (wchar_t *)malloc(sizeof(wchar_t) * (WIDE_CAP + 8));
    int ok = rel && p->w && *path && utf8_to_wide(path, rel, (int)WIDE_CAP) > 0;
    if (ok && (wcsncmp(rel, L"\\\\?\\", 4) == 0 || wcsncmp(rel, L"\\\\.\\", 4) == 0)) {
        wcscpy(p->w, rel);  // already in the form the system takes as it is
    } else if (ok) {
        // Relative paths and drive-relative ones resolved the way the system
        // would, then marked as not to be parsed again. Forward slashes
        // become backslashes first, as the system reads them anyway: Wine
        // takes a path that starts with one for a Unix path and cuts it at
        // 255 bytes.
        for (wchar_t *c = rel; *c; c++)
            if (*c == L'/') *c = L'\\';
        wchar_t *full = p->w + 8;
        DWORD n = SYS(GetFullPathNameW)(rel, WIDE_CAP, full, nullptr);
        ok = n > 0 && n < WIDE_CAP;
        if (ok && full[0] == L'\\' && full[1] == L'\\') {
            // \\server\share\x becomes \\?\UNC\server\share\x.
            memmove(p->w + 8, full + 2, (wcslen(full + 2) + 1) * sizeof(wchar_t));
            memcpy(p->w, L"\\\\?\\UNC\\", 8 * sizeof(wchar_t));
        } else if (ok) {
            memmove(p->w + 4, full, (wcslen(full) + 1) * sizeof(wchar_t));
            memcpy(p->w, L"\\\\?\\", 4 * sizeof(wchar_t));
        }
    }
    free(rel);
    if (!ok) SetLastError(ERROR_INVALID_NAME);
    return ok ? 0 : -1;
}

// Errors that mean "something is at that name, or is going away from it".
bool is_not_found(DWORD e) {
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_INVALID_NAME ||
           e == ERROR_BAD_NETPATH || e == ERROR_BAD_PATHNAME;
}

// Errors of another process holding a file open, or of a file being
// replaced or removed: a wait may end them.
bool is_busy(DWORD e) {
    return e == ERROR_SHARING_VIOLATION || e == ERROR_ACCESS_DENIED || e == ERROR_LOCK_VIOLATION;
}

// Every sharing right: a holder never stops another reader, a writer's
// rename or a removal.
const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Attributes of path (links not followed), or INVALID_FILE_ATTRIBUTES with
// the last error set.
DWORD attributes(const char *path) {
    wide_path w;
    if (to_wide(path, &w) != 0) return INVALID_FILE_ATTRIBUTES;
    return SYS(GetFileAttributesW)(w.w);
}

// Opens path for access with every sharing right; flags as CreateFileW's.
HANDLE open_path(const char *path, DWORD access, DWORD disposition, DWORD flags) {
    wide_path w;
    if (to_wide(path, &w) != 0) return INVALID_HANDLE_VALUE;
    return SYS(CreateFileW)(w.w, access, SHARE_ALL, nullptr, disposition, flags, nullptr);
}

// 100-ns ticks since 1601 to ns since 1970.
const int64_t EPOCH_TICKS = 116444736000000000LL;
int64_t ticks_to_ns(int64_t ticks) { return (ticks - EPOCH_TICKS) * 100; }
int64_t filetime_ticks(FILETIME ft) {
    return (int64_t)(((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime);
}

// The identity of the open file h: volume serial, file index, size, last
// write and last change. Returns 1, or -1.
int handle_identity(HANDLE h, plat_file_id *id) {
    BY_HANDLE_FILE_INFORMATION info;
    if (h == INVALID_HANDLE_VALUE || !SYS(GetFileInformationByHandle)(h, &info)) return -1;
    id->dev = info.dwVolumeSerialNumber;
    id->ino = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    id->size = (int64_t)(((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow);
    id->mtime_ns = ticks_to_ns(filetime_ticks(info.ftLastWriteTime));
    // The change time (the status change of POSIX) where the file system
    // keeps one; else the last write again.
    FILE_BASIC_INFO basic;
    if (SYS(GetFileInformationByHandleEx)(h, FileBasicInfo, &basic, sizeof basic))
        id->ctime_ns = ticks_to_ns(basic.ChangeTime.QuadPart);
    else
        id->ctime_ns = id->mtime_ns;
    return 1;
}

HANDLE stream_handle(void *f) {
    int fd = _fileno((FILE *)f);
    return fd < 0 ? INVALID_HANDLE_VALUE : (HANDLE)_get_osfhandle(fd);
}

// Writes all len bytes at data to h; 0, or -1.
int write_all(HANDLE h, const char *data, size_t len) {
    while (len > 0) {
        DWORD want = len > (1u << 30) ? (1u << 30) : (DWORD)len, put = 0;
        if (!SYS(WriteFile)(h, data, want, &put, nullptr) || put == 0) return -1;
        data += put;
        len -= put;
    }
    return 0;
}

// The environment as UTF-8, built once before main from the system's UTF-16
// block and handed to the C runtime as its own, so that getenv gives UTF-8
// values whatever the code page. Entries that are not valid UTF-16 are left
// out; the runtime's ANSI copy is kept when anything fails.
__attribute__((constructor)) void environment_utf8(void) {
    wchar_t *block = GetEnvironmentStringsW();
    if (!block) return;
    size_t count = 0;
    for (const wchar_t *e = block; *e; e += wcslen(e) + 1) count++;
    char **env = (char **)calloc(count + 1, sizeof(char *));
    if (!env) {
        FreeEnvironmentStringsW(block);
        return;
    }
    size_t n = 0;
    for (const wchar_t *e = block; *e; e += wcslen(e) + 1) {
        // "=C:=C:\dir" entries hold the drives' working directories.
        if (e[0] == L'=') continue;
        int need = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, e, -1, nullptr, 0, nullptr, nullptr);
        if (need <= 0) continue;
        char *s = (char *)malloc((size_t)need);
        if (!s) continue;
        WideCharToMultiByte(CP_UTF8, 0, e, -1, s, need, nullptr, nullptr);
        env[n++] = s;
    }
    FreeEnvironmentStringsW(block);
    _environ = env;
}

}  // namespace

void plat_binary_stdio(void) {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

char **plat_environment(void) { return _environ; }

// The C runtime's heap is the process heap, which already returns large
// blocks to the system when they are freed.
void plat_heap_setup(void) {}

// Pages of a heap block stay with it: the heap's own bookkeeping may sit in
// any of them, and a refusal is within the contract.
void plat_release_pages(void *p, size_t len) {
    (void)p;
    (void)len;
}

// Large pages need a privilege that a console program of an ordinary user
// does not hold: always the refusal the contract allows.
void plat_prefer_large_pages(void *p, size_t len) {
    (void)p;
    (void)len;
}

long plat_pid(void) { return (long)GetCurrentProcessId(); }

int plat_is_dir(const char *path) {
    DWORD a = attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

int plat_exists(const char *path) { return attributes(path) != INVALID_FILE_ATTRIBUTES; }

int plat_file_mode(const char *path, unsigned *mode) {
    DWORD a = attributes(path);
    if (a == INVALID_FILE_ATTRIBUTES || (a & FILE_ATTRIBUTE_DIRECTORY)) return 0;
    // As the C runtime maps it: read for everyone, write unless read-only.
    if (mode) *mode = (a & FILE_ATTRIBUTE_READONLY) ? 0444u : 0666u;
    return 1;
}

int plat_file_identity(const char *path, plat_file_id *id) {
    HANDLE h = open_path(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (h == INVALID_HANDLE_VALUE) return is_not_found(GetLastError()) ? 0 : -1;
    BY_HANDLE_FILE_INFORMATION info;
    int r = -1;
    if (SYS(GetFileInformationByHandle)(h, &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        r = handle_identity(h, id);
    CloseHandle(h);
    return r;
}

int64_t plat_now_ns(void) {
    FILETIME ft;
    GetSystemTimePreciseAsFileTime(&ft);
    return ticks_to_ns(filetime_ticks(ft));
}

int64_t plat_file_size(const char *path) {
    wide_path w;
    WIN32_FILE_ATTRIBUTE_DATA d;
    if (to_wide(path, &w) != 0 || !SYS(GetFileAttributesExW)(w.w, GetFileExInfoStandard, &d)) return -1;
    return (int64_t)(((uint64_t)d.nFileSizeHigh << 32) | d.nFileSizeLow);
}

int plat_mkdir(const char *path) {
    wide_path w;
    return to_wide(path, &w) == 0 && SYS(CreateDirectoryW)(w.w, nullptr) ? 0 : -1;
}

int plat_chmod(const char *path, unsigned mode) {
    wide_path w;
    if (to_wide(path, &w) != 0) return -1;
    DWORD a = SYS(GetFileAttributesW)(w.w);
    if (a == INVALID_FILE_ATTRIBUTES) return -1;
    // The owner's write bit is the only one Windows keeps: read-only or not.
    DWORD want = (mode & 0200) ? (a & ~(DWORD)FILE_ATTRIBUTE_READONLY) : (a | FILE_ATTRIBUTE_READONLY);
    if (want == a) return 0;
    return SYS(SetFileAttributesW)(w.w, want) ? 0 : -1;
}

int plat_unlink(const char *path) {
    wide_path w, gone;
    if (to_wide(path, &w) != 0) return -1;
    // A file another process still has open is only marked for removal, and
    // keeps its name (readable under Wine) until the last handle closes,
    // long after this call: a lock removed so would vanish later, perhaps
    // under the next holder's lock of that name. So the file first moves to
    // a name of its own in the same directory, which frees its name at
    // once, and is removed there.
    static unsigned serial;
    char aside[64];
    snprintf(aside, sizeof aside, ".gone.%lu.%u", (unsigned long)GetCurrentProcessId(), ++serial);
    size_t n = wcslen(w.w), m = strlen(aside);
    gone.w = (wchar_t *)malloc(sizeof(wchar_t) * (n + m + 1));
    if (gone.w) {
        memcpy(gone.w, w.w, n * sizeof(wchar_t));
        for (size_t i = 0; i <= m; i++) gone.w[n + i] = (wchar_t)aside[i];
        if (SYS(MoveFileExW)(w.w, gone.w, 0)) {
            SYS(DeleteFileW)(gone.w);
            return 0;
        }
    }
    return SYS(DeleteFileW)(w.w) ? 0 : -1;
}

int plat_sync_stream(void *f) {
    if (SYS(fflush)((FILE *)f) != 0) return -1;
    HANDLE h = stream_handle(f);
    return h != INVALID_HANDLE_VALUE && SYS(FlushFileBuffers)(h) ? 0 : -1;
}

int plat_stream_close(void *f) { return SYS(fclose)((FILE *)f) == 0 ? 0 : -1; }

int plat_replace(const char *tmp, const char *dst) {
    wide_path from, to;
    if (to_wide(tmp, &from) != 0 || to_wide(dst, &to) != 0) return -1;
    // In one step, and not reported done before the move is on disk.
    if (SYS(MoveFileExW)(from.w, to.w, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
    // Another process has the graph file open without the right to delete
    // it, or is in the middle of replacing it: busy, not broken.
    return is_busy(GetLastError()) ? -2 : -1;
}

// Creates path new (never opening what is there, a link included) for
// writing; the handle, or INVALID_HANDLE_VALUE with *taken set when
// something is at path already.
static HANDLE create_new(const char *path, int *taken) {
    *taken = 0;
    HANDLE h = open_path(path, GENERIC_WRITE, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
    if (h != INVALID_HANDLE_VALUE) return h;
    DWORD e = GetLastError();
    if (e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS) {
        *taken = 1;
    } else if (is_busy(e)) {
        // A name being removed while another process still has it open
        // refuses creation with "access denied" while it is in the
        // directory, and so does its own examination.
        DWORD a = attributes(path);
        *taken = a != INVALID_FILE_ATTRIBUTES || !is_not_found(GetLastError());
    }
    return INVALID_HANDLE_VALUE;
}

int plat_create_exclusive(const char *path, const char *text) {
    int taken = 0;
    HANDLE h = create_new(path, &taken);
    if (h == INVALID_HANDLE_VALUE) return taken ? -1 : -2;
    int ok = write_all(h, text, strlen(text)) == 0;
    if (!SYS(CloseHandle)(h)) ok = 0;
    if (!ok) {
        // A lock file that does not name its holder is worse than none.
        plat_unlink(path);
        return -2;
    }
    return 0;
}

int plat_file_age(const char *path, long *seconds) {
    wide_path w;
    WIN32_FILE_ATTRIBUTE_DATA d;
    if (to_wide(path, &w) != 0 || !SYS(GetFileAttributesExW)(w.w, GetFileExInfoStandard, &d)) return -1;
    // Whole seconds that have really passed, from the exact times.
    int64_t ns = plat_now_ns() - ticks_to_ns(filetime_ticks(d.ftLastWriteTime));
    *seconds = (long)(ns / 1000000000LL);
    return 0;
}

void plat_sleep_ms(int ms) {
    if (ms > 0) Sleep((DWORD)ms);
}

int plat_pid_alive(long pid) {
    unsigned long long start;
    return plat_pid_start(pid, &start) == 0 ? 0 : 1;
}

int plat_dir_each(const char *dir, void (*fn)(const char *name, void *ctx), void *ctx) {
    wide_path w;
    if (to_wide(dir, &w) != 0) return -1;
    size_t n = wcslen(w.w);
    if (n + 3 >= WIDE_CAP) return -1;
    if (w.w[n - 1] != L'\\') w.w[n++] = L'\\';
    w.w[n++] = L'*';
    w.w[n] = 0;
    WIN32_FIND_DATAW fd;
    HANDLE h = SYS(FindFirstFileW)(w.w, &fd);
    if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : -1;
    char name[MAX_PATH * 4];
    do {
        if (wcscmp(fd.cFileName, L".") == 0 || wcscmp(fd.cFileName, L"..") == 0) continue;
        if (wide_to_utf8(fd.cFileName, name, (int)sizeof name) > 0) fn(name, ctx);
    } while (SYS(FindNextFileW)(h, &fd));
    FindClose(h);
    return 0;
}

// The boot of this machine: the time it started, the same for every process
// until the next boot, and the machine's installation id beside it.
static int boot_identity(uint64_t *h) {
    typedef LONG(NTAPI * query_fn)(ULONG, PVOID, ULONG, PULONG);
    // SystemTimeOfDayInformation: boot time, current time, time-zone bias...
    struct time_of_day {
        LARGE_INTEGER boot_time, current_time, time_zone_bias;
        ULONG time_zone_id, reserved;
        ULONGLONG boot_time_bias, sleep_time_bias;
    } tod;
    HMODULE nt = GetModuleHandleW(L"ntdll.dll");
    query_fn query = nt ? (query_fn)(void *)GetProcAddress(nt, "NtQuerySystemInformation") : nullptr;
    if (!query || query(3, &tod, sizeof tod, nullptr) < 0 || tod.boot_time.QuadPart == 0) return -1;
    char guid[128] = "";
    DWORD size = sizeof guid;
    RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography", "MachineGuid",
                 RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, guid, &size);
    char text[192];
    snprintf(text, sizeof text, "%s/%lld", guid, (long long)tod.boot_time.QuadPart);
    for (const unsigned char *p = (const unsigned char *)text; *p; p++)
        *h = (*h ^ *p) * 1099511628211ULL;
    return 0;
}

const char *plat_host_tag(void) {
    static char tag[17];
    static int known = -1;
    if (known >= 0) return tag;
    known = 0;
    uint64_t h = 1469598103934665603ULL;  // FNV-1a, 64 bits
    if (boot_identity(&h) != 0) return tag;
    snprintf(tag, sizeof tag, "%016llx", (unsigned long long)h);
    known = 1;
    return tag;
}

int plat_pid_start(long pid, unsigned long long *start) {
    if (pid <= 0) return -1;
    HANDLE p = SYS(OpenProcess)(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, (DWORD)pid);
    if (!p) return GetLastError() == ERROR_INVALID_PARAMETER ? 0 : -1;  // no such process
    FILETIME created, exited, kernel, user;
    DWORD code = 0;
    int r = -1;
    if (SYS(GetExitCodeProcess)(p, &code) && code != STILL_ACTIVE) {
        r = 0;  // ended; its object lives on while someone holds it open
    } else if (SYS(GetProcessTimes)(p, &created, &exited, &kernel, &user)) {
        // An ended process whose code happens to be STILL_ACTIVE is told by
        // its object, which is signalled.
        if (WaitForSingleObject(p, 0) == WAIT_OBJECT_0) {
            r = 0;
        } else {
            *start = (unsigned long long)filetime_ticks(created);
            r = 1;
        }
    }
    CloseHandle(p);
    return r;
}

int plat_node_kind(const char *path) {
    DWORD a = attributes(path);
    if (a == INVALID_FILE_ATTRIBUTES) return is_not_found(GetLastError()) ? 0 : -1;
    return (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) ? 2 : 1;
}

int plat_is_own_file(const char *path) {
    // The file itself, a link not followed: a regular file of one name.
    HANDLE h = open_path(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
    if (h == INVALID_HANDLE_VALUE) return 0;
    BY_HANDLE_FILE_INFORMATION info;
    int own = SYS(GetFileInformationByHandle)(h, &info) &&
              !(info.dwFileAttributes &
                (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) &&
              info.nNumberOfLinks == 1;
    CloseHandle(h);
    return own;
}

int plat_file_writable(const char *path) {
    DWORD a = attributes(path);
    // What cannot be examined is left to the steps that replace it.
    if (a == INVALID_FILE_ATTRIBUTES) return 1;
    return (a & FILE_ATTRIBUTE_READONLY) ? 0 : 1;
}

int plat_final_target(const char *path, char *out, size_t cap) {
    out[0] = 0;
    DWORD a = attributes(path);
    if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_REPARSE_POINT)) {
        // No link: the path as given names the file, however it is spelled.
        if (strlen(path) >= cap) return -1;
        strcpy(out, path);
        return 0;
    }
    // A link (or a junction): the file it finally names, as the system
    // resolves it. A link to nothing cannot be followed here.
    HANDLE h = open_path(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (h == INVALID_HANDLE_VALUE) return -1;
    wchar_t *w = (wchar_t *)malloc(sizeof(wchar_t) * WIDE_CAP);
    DWORD n = w ? SYS(GetFinalPathNameByHandleW)(h, w, WIDE_CAP, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS) : 0;
    CloseHandle(h);
    int r = -1;
    if (n > 0 && n < WIDE_CAP) {
        const wchar_t *s = w;
        if (wcsncmp(s, L"\\\\?\\UNC\\", 8) == 0) {
            s += 6;  // \\?\UNC\server\share -> \\server\share
            w[6] = L'\\';
        } else if (wcsncmp(s, L"\\\\?\\", 4) == 0) {
            s += 4;
        }
        r = wide_to_utf8(s, out, (int)(cap > 0x7fffffff ? 0x7fffffff : cap)) > 0 ? 0 : -1;
    }
    free(w);
    if (r != 0) out[0] = 0;
    return r;
}

void *plat_create_new(const char *path, int *taken) {
    HANDLE h = create_new(path, taken);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    int fd = SYS(_open_osfhandle)((intptr_t)h, _O_WRONLY | _O_BINARY);
    FILE *f = fd >= 0 ? SYS(_fdopen)(fd, "wb") : nullptr;
    if (!f) {
        if (fd >= 0) SYS(_close)(fd);
        else CloseHandle(h);
        plat_unlink(path);
    }
    return f;
}

int plat_stream_put(void *f, const void *data, size_t len) {
    return SYS(fwrite)(data, 1, len, (FILE *)f) == len ? 0 : -1;
}

int plat_stream_copy(void *f, int fd, int64_t off, uint64_t len) {
    // The stream's own writes go first; then the bytes go to the same
    // handle at its position, where the stream's next write continues.
    if (SYS(fflush)((FILE *)f) != 0) return -1;
    HANDLE out = stream_handle(f);
    HANDLE in = fd < 0 ? INVALID_HANDLE_VALUE : (HANDLE)_get_osfhandle(fd);
    LARGE_INTEGER size;
    if (out == INVALID_HANDLE_VALUE || in == INVALID_HANDLE_VALUE || off < 0 ||
        !SYS(GetFileSizeEx)(in, &size) || (uint64_t)off > (uint64_t)size.QuadPart ||
        len > (uint64_t)size.QuadPart - (uint64_t)off)
        return -1;  // the file ends sooner
    static char block[1 << 16];
    while (len > 0) {
        DWORD want = len < sizeof block ? (DWORD)len : (DWORD)sizeof block, got = 0;
        OVERLAPPED at = {};
        at.Offset = (DWORD)(uint64_t)off;
        at.OffsetHigh = (DWORD)((uint64_t)off >> 32);
        if (!SYS(ReadFile)(in, block, want, &got, &at) || got == 0 || write_all(out, block, got) != 0)
            return -1;
        off += got;
        len -= got;
    }
    return 0;
}

int plat_stream_identity(void *f, plat_file_id *id) { return handle_identity(stream_handle(f), id); }

int plat_fd_identity(int fd, plat_file_id *id) {
    return fd < 0 ? -1 : handle_identity((HANDLE)_get_osfhandle(fd), id);
}

// Opens the regular file at path for reading, shared with every other
// reader and with a writer that replaces or removes it. Returns the handle,
// or INVALID_HANDLE_VALUE with *busy set when the failure may pass.
static HANDLE open_for_reading(const char *path, int *busy) {
    *busy = 0;
    HANDLE h = open_path(path, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        // Access is denied to a directory too: only a file counts as busy.
        *busy = is_busy(e) && !plat_is_dir(path);
        return h;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!SYS(GetFileInformationByHandle)(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

int plat_open_read(const char *path, plat_file_id *id) {
    int busy;
    HANDLE h = open_for_reading(path, &busy);
    if (h == INVALID_HANDLE_VALUE) return busy ? -2 : -1;
    if (handle_identity(h, id) != 1) {
        CloseHandle(h);
        return -1;
    }
    int fd = SYS(_open_osfhandle)((intptr_t)h, _O_RDONLY | _O_BINARY);
    if (fd < 0) CloseHandle(h);
    return fd;
}

int64_t plat_read(int fd, void *out, size_t n) {
    HANDLE h = fd < 0 ? INVALID_HANDLE_VALUE : (HANDLE)_get_osfhandle(fd);
    if (h == INVALID_HANDLE_VALUE) return -1;
    size_t got = 0;
    while (got < n) {
        DWORD want = n - got > (1u << 30) ? (1u << 30) : (DWORD)(n - got), r = 0;
        if (!SYS(ReadFile)(h, (char *)out + got, want, &r, nullptr)) return -1;
        if (r == 0) break;
        got += r;
    }
    return (int64_t)got;
}

void plat_close(int fd) {
    if (fd >= 0) SYS(_close)(fd);
}

int64_t plat_read_at(int fd, int64_t off, void *out, size_t n) {
    HANDLE h = fd < 0 ? INVALID_HANDLE_VALUE : (HANDLE)_get_osfhandle(fd);
    if (h == INVALID_HANDLE_VALUE || off < 0) return -1;
    // A read at an offset moves a synchronous handle's position: it is put
    // back, so that plat_read goes on where it was.
    LARGE_INTEGER zero = {}, was;
    if (!SetFilePointerEx(h, zero, &was, FILE_CURRENT)) return -1;
    size_t got = 0;
    int64_t r = 0;
    while (got < n) {
        DWORD want = n - got > (1u << 30) ? (1u << 30) : (DWORD)(n - got), put = 0;
        OVERLAPPED at = {};
        uint64_t pos = (uint64_t)off + got;
        at.Offset = (DWORD)pos;
        at.OffsetHigh = (DWORD)(pos >> 32);
        if (!SYS(ReadFile)(h, (char *)out + got, want, &put, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            r = -1;
            break;
        }
        if (put == 0) break;
        got += put;
    }
    SetFilePointerEx(h, was, nullptr, FILE_BEGIN);
    return r < 0 ? -1 : (int64_t)got;
}

int plat_random(void *out, size_t n) {
    size_t got = 0;
    while (got < n) {
        ULONG want = n - got > (1u << 30) ? (1u << 30) : (ULONG)(n - got);
        if (!SYS(SystemFunction036)((char *)out + got, want)) break;
        got += want;
    }
    if (got == n) return 0;
    // Hard to guess, not unpredictable.
    uint64_t mix = (uint64_t)plat_now_ns() ^ ((uint64_t)GetCurrentProcessId() << 32) ^
                   (uint64_t)(uintptr_t)&got;
    for (size_t i = got; i < n; i++) {
        mix = mix * 6364136223846793005ULL + 1442695040888963407ULL;
        ((unsigned char *)out)[i] = (unsigned char)(mix >> 56);
    }
    return -1;
}

int plat_link_new(const char *src, const char *dst) {
    wide_path from, to;
    if (to_wide(src, &from) != 0 || to_wide(dst, &to) != 0) return -2;
    if (SYS(CreateHardLinkW)(to.w, from.w, nullptr)) return 0;
    DWORD e = GetLastError();
    return e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS ? -1 : -2;
}

int plat_rename(const char *src, const char *dst) {
    wide_path from, to;
    if (to_wide(src, &from) != 0 || to_wide(dst, &to) != 0) return -1;
    return SYS(MoveFileExW)(from.w, to.w, MOVEFILE_REPLACE_EXISTING) ? 0 : -1;
}

int plat_touch(const char *path) {
    HANDLE h = open_path(path, FILE_WRITE_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
    if (h == INVALID_HANDLE_VALUE) return -1;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    int ok = SYS(SetFileTime)(h, nullptr, nullptr, &now) != 0;
    CloseHandle(h);
    return ok ? 0 : -1;
}

int plat_change_times_fine(const char *scratch, uint64_t *dev) {
    // The system's file times follow its clock's tick (about 15.6 ms).
    (void)scratch;
    *dev = 0;
    return 0;
}
