#include "platform/Kernel.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Messages.h"

namespace {

thread_local DWORD t_lastError = 0;

struct KObject {
    virtual ~KObject() = default;
};

struct FileObject : KObject {
    int fd = -1;
    DWORD access = 0;
    DWORD share = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    ~FileObject() override;
};

struct EventObject : KObject {
    std::mutex mu;
    std::condition_variable cv;
    bool signaled = false;
    bool manualReset = false;
};

struct ThreadObject : KObject {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    bool terminated = false;
    DWORD exitCode = STILL_ACTIVE;
    DWORD id = 0;
};

// Open files, keyed by device and inode, for the share-mode check. Declared before the
// handle table so that they outlive it: a handle still open at exit closes into them.
std::mutex g_filesMu;
std::multimap<std::pair<dev_t, ino_t>, FileObject*> g_openFiles;

// Handle table. Handle values are never reused, so a stale handle finds nothing.
std::mutex g_tableMu;
std::map<std::uintptr_t, std::shared_ptr<KObject>> g_table;
std::uintptr_t g_nextHandle = 0x1000;
std::map<std::u16string, std::weak_ptr<EventObject>> g_namedEvents;

FileObject::~FileObject()
{
    if (fd >= 0) {
        std::lock_guard<std::mutex> lk(g_filesMu);
        auto range = g_openFiles.equal_range({dev, ino});
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second == this) {
                g_openFiles.erase(it);
                break;
            }
        }
        ::close(fd);
    }
}

HANDLE AddHandle(std::shared_ptr<KObject> obj)
{
    std::lock_guard<std::mutex> lk(g_tableMu);
    std::uintptr_t h = g_nextHandle;
    g_nextHandle += 4;
    g_table.emplace(h, std::move(obj));
    return reinterpret_cast<HANDLE>(h);
}

template <class T>
std::shared_ptr<T> Lookup(HANDLE h)
{
    std::lock_guard<std::mutex> lk(g_tableMu);
    auto it = g_table.find(reinterpret_cast<std::uintptr_t>(h));
    if (it == g_table.end()) return nullptr;
    return std::dynamic_pointer_cast<T>(it->second);
}

std::atomic<DWORD> g_nextThreadId{1};
thread_local DWORD t_threadId = 0;

std::mutex g_moduleMu;
std::string g_moduleOverride;

bool SharingAllows(DWORD heldAccess, DWORD heldShare, DWORD newAccess, DWORD newShare)
{
    // The new open must be shared by every held handle, and must share what they hold.
    if ((newAccess & GENERIC_READ) && !(heldShare & FILE_SHARE_READ)) return false;
    if ((newAccess & GENERIC_WRITE) && !(heldShare & FILE_SHARE_WRITE)) return false;
    if ((heldAccess & GENERIC_READ) && !(newShare & FILE_SHARE_READ)) return false;
    if ((heldAccess & GENERIC_WRITE) && !(newShare & FILE_SHARE_WRITE)) return false;
    return true;
}

DWORD ErrnoToError(int e)
{
    switch (e) {
    case ENOENT: case ENOTDIR: return ERROR_FILE_NOT_FOUND;
    case EACCES: case EPERM: case EISDIR: case EROFS: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_INVALID_PARAMETER;
    }
}

} // namespace

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD err) { t_lastError = err; }

namespace platform {

// A backslash inside a native name is a byte like any other; it travels as U+DC5C, which no
// decoded name holds (the escaped bytes are 0x80..0xFF).
constexpr char16_t kEscapedBackslash = 0xDC5C;

std::string NativePath(const CString& path)
{
    std::u16string u = path.Str();
    for (auto& c : u) {
        if (c == u'\\') c = u'/';
        else if (c == kEscapedBackslash) c = u'\\';
    }
    return CString(std::move(u)).ToUtf8Escaped();
}

CString WindowsPath(const std::string& native)
{
    std::u16string u = CString::FromUtf8Escaped(native).Str();
    for (auto& c : u) {
        if (c == u'\\') c = kEscapedBackslash;
        else if (c == u'/') c = u'\\';
    }
    return CString(std::move(u));
}

void OverrideModuleFileName(const std::string& nativePath)
{
    std::lock_guard<std::mutex> lk(g_moduleMu);
    g_moduleOverride = nativePath;
}

} // namespace platform

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD,
                   HANDLE)
{
    if (!path || !*path) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::string native = platform::NativePath(CString(path));
    int flags = O_CLOEXEC;
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE)) flags |= O_RDWR;
    else if (access & GENERIC_WRITE) flags |= O_WRONLY;
    else flags |= O_RDONLY;
    bool truncate = false;
    switch (disposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT; truncate = true; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
    }

    std::unique_lock<std::mutex> lk(g_filesMu);
    struct stat st {};
    if (::stat(native.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        auto range = g_openFiles.equal_range({st.st_dev, st.st_ino});
        for (auto it = range.first; it != range.second; ++it) {
            if (!SharingAllows(it->second->access, it->second->share, access, share)) {
                SetLastError(ERROR_SHARING_VIOLATION);
                return INVALID_HANDLE_VALUE;
            }
        }
    }
    // O_NONBLOCK: opening a FIFO must not wait for a writer. Only a regular file is kept,
    // and truncation happens only after the sharing check, so a refused open changes nothing.
    int fd = ::open(native.c_str(), flags | O_NONBLOCK, 0666);
    if (fd < 0) {
        SetLastError(ErrnoToError(errno));
        return INVALID_HANDLE_VALUE;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (truncate && ::ftruncate(fd, 0) != 0) {
        int e = errno;
        ::close(fd);
        SetLastError(ErrnoToError(e));
        return INVALID_HANDLE_VALUE;
    }
    auto obj = std::make_shared<FileObject>();
    obj->fd = fd;
    obj->access = access;
    obj->share = share;
    obj->dev = st.st_dev;
    obj->ino = st.st_ino;
    g_openFiles.emplace(std::make_pair(st.st_dev, st.st_ino), obj.get());
    lk.unlock();
    SetLastError(ERROR_SUCCESS);
    return AddHandle(std::move(obj));
}

BOOL ReadFile(HANDLE h, LPVOID buf, DWORD toRead, DWORD* read, OVERLAPPED*)
{
    if (read) *read = 0;
    auto f = Lookup<FileObject>(h);
    if (!f || !(f->access & GENERIC_READ) || (!buf && toRead)) {
        SetLastError(f ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD total = 0;
    auto* p = static_cast<unsigned char*>(buf);
    while (total < toRead) {
        ssize_t n = ::read(f->fd, p + total, toRead - total);
        if (n < 0) {
            if (errno == EINTR) continue;
            SetLastError(ErrnoToError(errno));
            if (read) *read = total;
            return FALSE;
        }
        if (n == 0) break; // end of file: a short read succeeds
        total += static_cast<DWORD>(n);
    }
    if (read) *read = total;
    return TRUE;
}

BOOL WriteFile(HANDLE h, LPCVOID buf, DWORD toWrite, DWORD* written, OVERLAPPED*)
{
    if (written) *written = 0;
    auto f = Lookup<FileObject>(h);
    if (!f || !(f->access & GENERIC_WRITE) || (!buf && toWrite)) {
        SetLastError(f ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD total = 0;
    auto* p = static_cast<const unsigned char*>(buf);
    while (total < toWrite) {
        ssize_t n = ::write(f->fd, p + total, toWrite - total);
        if (n < 0) {
            if (errno == EINTR) continue;
            SetLastError(ErrnoToError(errno));
            if (written) *written = total;
            return FALSE;
        }
        total += static_cast<DWORD>(n);
    }
    if (written) *written = total;
    return TRUE;
}

LONGLONG GetFileSizeEx64(HANDLE h)
{
    auto f = Lookup<FileObject>(h);
    struct stat st {};
    if (!f || ::fstat(f->fd, &st) != 0) return -1;
    return static_cast<LONGLONG>(st.st_size);
}

BOOL FlushFileBuffers(HANDLE h)
{
    auto f = Lookup<FileObject>(h);
    if (!f) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return ::fsync(f->fd) == 0 ? TRUE : FALSE;
}

BOOL CloseHandle(HANDLE h)
{
    std::shared_ptr<KObject> obj;
    {
        std::lock_guard<std::mutex> lk(g_tableMu);
        auto it = g_table.find(reinterpret_cast<std::uintptr_t>(h));
        if (it == g_table.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        obj = std::move(it->second);
        g_table.erase(it);
    }
    obj.reset(); // a file closes here unless another owner still holds it
    return TRUE;
}

DWORD OpenHandleCount()
{
    std::lock_guard<std::mutex> lk(g_tableMu);
    return static_cast<DWORD>(g_table.size());
}

namespace {

std::string DirName(const std::string& path)
{
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Follows symlinks from path to the name they finally lead to, which need not exist yet
// (a dangling link is saved to its target, as editors do).
bool ResolveTarget(std::string path, std::string& target)
{
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            target = path;
            return true;
        }
        std::vector<char> buf(4096);
        ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= buf.size()) return false;
        std::string link(buf.data(), static_cast<std::size_t>(n));
        path = link[0] == '/' ? link : DirName(path) + "/" + link;
    }
    errno = ELOOP;
    return false;
}

// A name nobody else can predict, so a planted file can neither block nor catch the save.
std::string TempSuffix()
{
    static std::mutex mu;
    static std::mt19937_64 rng{(static_cast<std::uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}() ^
                               static_cast<std::uint64_t>(::getpid())};
    std::lock_guard<std::mutex> lk(mu);
    char buf[24];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(rng()));
    return buf;
}

HANDLE AdoptFile(int fd, DWORD access)
{
    struct stat st {};
    ::fstat(fd, &st);
    auto obj = std::make_shared<FileObject>();
    obj->fd = fd;
    obj->access = access;
    obj->dev = st.st_dev;
    obj->ino = st.st_ino;
    {
        std::lock_guard<std::mutex> lk(g_filesMu);
        g_openFiles.emplace(std::make_pair(st.st_dev, st.st_ino), obj.get());
    }
    return AddHandle(std::move(obj));
}

struct LockObject : KObject {
    int fd = -1;
    ~LockObject() override
    {
        if (fd >= 0) ::close(fd); // releases the lock
    }
};

} // namespace

namespace platform {

BOOL ReplaceFileContents(LPCWSTR path, const std::function<bool(HANDLE hTemp)>& write,
                         const std::function<bool(LPCWSTR tempPath)>& check)
{
    if (!path || !*path || !write) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string target;
    if (!ResolveTarget(NativePath(CString(path)), target)) {
        SetLastError(ErrnoToError(errno));
        return FALSE;
    }
    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const std::string dir = DirName(target);
    const auto slash = target.find_last_of('/');
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);

    // O_EXCL never opens what is there, symlink or not; O_NOFOLLOW says so once more. An
    // existing file's data is never readable under a wider mode than its own: the temporary
    // starts private and takes the old mode before a byte is written.
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = dir + "/." + base + "." + TempSuffix();
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, exists ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        SetLastError(ErrnoToError(errno));
        return FALSE;
    }
    bool ok = true;
    if (exists) {
        // The owner stays where the process may keep it (root always may); chown clears the
        // set-id bits, so the mode comes after.
        if (::fchown(fd, old.st_uid, old.st_gid) != 0 && ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
            // Not even the group may be kept: the file stays the writer's, as a new one would be.
        }
        ok = ::fchmod(fd, old.st_mode & 07777) == 0;
    }
    DWORD err = ERROR_ACCESS_DENIED;
    HANDLE h = AdoptFile(fd, GENERIC_WRITE);
    SetLastError(ERROR_SUCCESS);
    if (ok) ok = write(h);
    if (ok && ::fsync(fd) != 0) ok = false, err = ErrnoToError(errno);
    if (!ok && GetLastError() != ERROR_SUCCESS) err = GetLastError();
    CloseHandle(h);
    if (ok && check) ok = check(WindowsPath(tmp));
    if (ok && ::rename(tmp.c_str(), target.c_str()) != 0) ok = false, err = ErrnoToError(errno);
    if (!ok) {
        ::unlink(tmp.c_str());
        SetLastError(err);
        return FALSE;
    }
    // The rename is durable only once the directory is; a file system that cannot flush a
    // directory (EINVAL) has nothing more to do.
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

HANDLE LockFileForUpdate(LPCWSTR path, DWORD timeoutMs)
{
    std::string target;
    if (!path || !*path || !ResolveTarget(NativePath(CString(path)), target)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto lock = std::make_shared<LockObject>();
    lock->fd = ::open(DirName(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lock->fd < 0) {
        SetLastError(ErrnoToError(errno));
        return INVALID_HANDLE_VALUE;
    }
    // flock has no time-out of its own; a save holds the lock for milliseconds, so a short
    // poll costs nothing and keeps the wait bounded.
    const auto deadline = std::chrono::steady_clock::now() + platform::ScaledDuration(timeoutMs);
    while (::flock(lock->fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
            SetLastError(errno == EWOULDBLOCK ? ERROR_LOCK_VIOLATION : ErrnoToError(errno));
            return INVALID_HANDLE_VALUE;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    SetLastError(ERROR_SUCCESS);
    return AddHandle(std::move(lock));
}

} // namespace platform

BOOL CopyFileW(LPCWSTR existing, LPCWSTR newFile, BOOL failIfExists)
{
    if (!existing || !newFile) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HANDLE src = CreateFileW(existing, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (src == INVALID_HANDLE_VALUE) return FALSE;
    std::string dstNative = platform::NativePath(CString(newFile));
    struct stat st {};
    if (::stat(dstNative.c_str(), &st) == 0) {
        if (failIfExists) {
            CloseHandle(src);
            SetLastError(ERROR_FILE_EXISTS);
            return FALSE;
        }
        // The destination must not be held by us without write sharing.
        HANDLE probe = CreateFileW(newFile, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (probe == INVALID_HANDLE_VALUE) {
            DWORD e = GetLastError();
            CloseHandle(src);
            SetLastError(e);
            return FALSE;
        }
        CloseHandle(probe);
    }
    BOOL ok = platform::ReplaceFileContents(newFile, [&](HANDLE dst) {
        std::vector<unsigned char> buf(1 << 16);
        for (;;) {
            DWORD n = 0;
            if (!ReadFile(src, buf.data(), static_cast<DWORD>(buf.size()), &n, nullptr)) return false;
            if (n == 0) return true;
            DWORD w = 0;
            if (!WriteFile(dst, buf.data(), n, &w, nullptr) || w != n) return false;
        }
    });
    DWORD e = GetLastError();
    CloseHandle(src);
    SetLastError(e);
    return ok;
}

BOOL DeleteFileW(LPCWSTR path)
{
    if (!path) return FALSE;
    if (::unlink(platform::NativePath(CString(path)).c_str()) != 0) {
        SetLastError(ErrnoToError(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL MoveFileExW(LPCWSTR existing, LPCWSTR newFile, DWORD flags)
{
    if (!existing || !newFile) return FALSE;
    std::string from = platform::NativePath(CString(existing)), to = platform::NativePath(CString(newFile));
    struct stat st {};
    if (!(flags & MOVEFILE_REPLACE_EXISTING) && ::stat(to.c_str(), &st) == 0) {
        SetLastError(ERROR_FILE_EXISTS);
        return FALSE;
    }
    if (::rename(from.c_str(), to.c_str()) != 0) {
        SetLastError(ErrnoToError(errno));
        return FALSE;
    }
    return TRUE;
}

DWORD GetModuleFileNameW(HMODULE, LPWSTR buf, DWORD size)
{
    std::string native;
    {
        std::lock_guard<std::mutex> lk(g_moduleMu);
        native = g_moduleOverride;
    }
    if (native.empty()) {
        std::vector<char> b(4096);
        ssize_t n = ::readlink("/proc/self/exe", b.data(), b.size() - 1);
        if (n <= 0) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            if (buf && size) buf[0] = 0;
            return 0;
        }
        native.assign(b.data(), static_cast<std::size_t>(n));
    }
    CString w = platform::WindowsPath(native);
    if (!buf || size == 0) return 0;
    DWORD n = static_cast<DWORD>(w.GetLength());
    if (n >= size) n = size - 1;
    std::memcpy(buf, w.GetString(), n * sizeof(WCHAR));
    buf[n] = 0;
    return n;
}

// ---- events ---------------------------------------------------------------------------------

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name)
{
    std::shared_ptr<EventObject> ev;
    if (name && *name) {
        std::lock_guard<std::mutex> lk(g_tableMu);
        auto& slot = g_namedEvents[std::u16string(name)];
        ev = slot.lock();
        if (!ev) {
            ev = std::make_shared<EventObject>();
            ev->manualReset = manualReset != FALSE;
            ev->signaled = initialState != FALSE;
            slot = ev;
        }
    } else {
        ev = std::make_shared<EventObject>();
        ev->manualReset = manualReset != FALSE;
        ev->signaled = initialState != FALSE;
    }
    return AddHandle(std::move(ev));
}

BOOL SetEvent(HANDLE h)
{
    auto ev = Lookup<EventObject>(h);
    if (!ev) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> lk(ev->mu);
        ev->signaled = true;
    }
    ev->cv.notify_all();
    platform::NotifyActivity();
    return TRUE;
}

BOOL ResetEvent(HANDLE h)
{
    auto ev = Lookup<EventObject>(h);
    if (!ev) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lk(ev->mu);
    ev->signaled = false;
    return TRUE;
}

namespace {
template <class Obj, class Pred>
DWORD WaitOn(Obj& o, DWORD ms, Pred ready)
{
    std::unique_lock<std::mutex> lk(o.mu);
    if (ms == INFINITE) {
        o.cv.wait(lk, ready);
        return WAIT_OBJECT_0;
    }
    auto deadline = std::chrono::steady_clock::now() + platform::ScaledDuration(ms);
    if (!o.cv.wait_until(lk, deadline, ready)) return WAIT_TIMEOUT;
    return WAIT_OBJECT_0;
}
} // namespace

DWORD WaitForSingleObject(HANDLE h, DWORD ms)
{
    std::shared_ptr<KObject> obj;
    {
        std::lock_guard<std::mutex> lk(g_tableMu);
        auto it = g_table.find(reinterpret_cast<std::uintptr_t>(h));
        if (it != g_table.end()) obj = it->second;
    }
    if (auto ev = std::dynamic_pointer_cast<EventObject>(obj)) {
        // An auto-reset event is consumed under the same lock that saw it set, so one
        // SetEvent releases exactly one waiter and none is lost in between.
        return WaitOn(*ev, ms, [&] {
            if (!ev->signaled) return false;
            if (!ev->manualReset) ev->signaled = false;
            return true;
        });
    }
    if (auto th = std::dynamic_pointer_cast<ThreadObject>(obj))
        return WaitOn(*th, ms, [&] { return th->done; });
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

// ---- threads --------------------------------------------------------------------------------

namespace {
template <class Fn>
HANDLE SpawnThread(Fn body, DWORD* idOut)
{
    auto th = std::make_shared<ThreadObject>();
    th->id = g_nextThreadId.fetch_add(1);
    if (idOut) *idOut = th->id;
    HANDLE h = AddHandle(th);
    try {
        // The thread keeps its own reference, so closing the handle early is safe.
        std::thread([th, body]() mutable {
            t_threadId = th->id;
            DWORD code = body();
            {
                std::lock_guard<std::mutex> lk(th->mu);
                if (!th->terminated) th->exitCode = code;
                th->done = true;
            }
            th->cv.notify_all();
        }).detach();
    } catch (...) {
        CloseHandle(h);
        if (idOut) *idOut = 0;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return h;
}
} // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, std::size_t, LPTHREAD_START_ROUTINE start, LPVOID arg, DWORD,
                    DWORD* threadId)
{
    if (!start) return nullptr;
    return SpawnThread([start, arg]() { return start(arg); }, threadId);
}

std::uintptr_t _beginthreadex(void*, unsigned, unsigned (*start)(void*), void* arg, unsigned, unsigned* threadId)
{
    if (!start) return 0;
    DWORD id = 0;
    HANDLE h = SpawnThread([start, arg]() { return static_cast<DWORD>(start(arg)); }, &id);
    if (threadId) *threadId = h ? id : 0;
    return reinterpret_cast<std::uintptr_t>(h);
}

BOOL TerminateThread(HANDLE h, DWORD exitCode)
{
    auto th = Lookup<ThreadObject>(h);
    if (!th) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (th->id == t_threadId) return FALSE; // a thread cannot wait for itself
    std::unique_lock<std::mutex> lk(th->mu);
    if (!th->done) {
        th->terminated = true;
        th->exitCode = exitCode;
    }
    th->cv.wait(lk, [&] { return th->done; });
    return TRUE;
}

namespace platform {
bool IsSignaled(HANDLE h)
{
    std::shared_ptr<KObject> obj;
    {
        std::lock_guard<std::mutex> lk(g_tableMu);
        auto it = g_table.find(reinterpret_cast<std::uintptr_t>(h));
        if (it != g_table.end()) obj = it->second;
    }
    if (auto ev = std::dynamic_pointer_cast<EventObject>(obj)) {
        std::lock_guard<std::mutex> lk(ev->mu);
        return ev->signaled;
    }
    if (auto th = std::dynamic_pointer_cast<ThreadObject>(obj)) {
        std::lock_guard<std::mutex> lk(th->mu);
        return th->done;
    }
    return false;
}
} // namespace platform

BOOL GetExitCodeThread(HANDLE h, DWORD* exitCode)
{
    auto th = Lookup<ThreadObject>(h);
    if (!th || !exitCode) return FALSE;
    std::lock_guard<std::mutex> lk(th->mu);
    *exitCode = th->exitCode;
    return TRUE;
}

DWORD GetCurrentThreadId()
{
    if (t_threadId == 0) t_threadId = g_nextThreadId.fetch_add(1);
    return t_threadId;
}

// ---- code pages and time -----------------------------------------------------------------------

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, int srcLen, LPSTR dst, int dstLen, LPCSTR defaultChar,
                        BOOL* usedDefault)
{
    // The flags change nothing here, but one Windows does not know fails the call there, so it
    // fails here as well.
    constexpr DWORD kKnownFlags =
        WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR | WC_ERR_INVALID_CHARS | WC_COMPOSITECHECK | WC_NO_BEST_FIT_CHARS;
    if (flags & ~kKnownFlags) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    if (!src) return 0;
    std::size_t n = srcLen < 0 ? std::char_traits<char16_t>::length(src) + 1 : static_cast<std::size_t>(srcLen);
    std::string out;
    if (codePage == CP_UTF8) {
        out = CString(src, static_cast<int>(n)).ToUtf8();
    } else {
        char def = defaultChar ? *defaultChar : '?';
        for (std::size_t i = 0; i < n; ++i) {
            if (src[i] <= 0xFF) {
                out += static_cast<char>(src[i]);
            } else {
                out += def;
                if (usedDefault) *usedDefault = TRUE;
            }
        }
    }
    if (dstLen == 0) return static_cast<int>(out.size());
    if (!dst || static_cast<std::size_t>(dstLen) < out.size()) return 0;
    std::memcpy(dst, out.data(), out.size());
    return static_cast<int>(out.size());
}

int MultiByteToWideChar(UINT codePage, DWORD, LPCSTR src, int srcLen, LPWSTR dst, int dstLen)
{
    if (!src) return 0;
    std::size_t n = srcLen < 0 ? std::strlen(src) + 1 : static_cast<std::size_t>(srcLen);
    CString w = codePage == CP_UTF8 ? CString::FromUtf8(std::string_view(src, n)) : CString::FromAnsi(src, n);
    if (dstLen == 0) return w.GetLength();
    if (!dst || dstLen < w.GetLength()) return 0;
    std::memcpy(dst, w.GetString(), static_cast<std::size_t>(w.GetLength()) * sizeof(WCHAR));
    return w.GetLength();
}

long long _time64(long long* t)
{
    long long now = static_cast<long long>(std::time(nullptr));
    if (t) *t = now;
    return now;
}
