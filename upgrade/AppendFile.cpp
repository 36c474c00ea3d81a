#include "upgrade/AppendFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>

#include "platform/CString.h"
#else
#include <unistd.h>
#endif

namespace {

std::string Errno(int e) { return std::strerror(e); }

#ifdef _WIN32
constexpr int kNoFollow = 0;
constexpr int kNonBlock = 0;
constexpr int kCloexec = O_BINARY;
// The path is UTF-8, as every path the tool keeps; the narrow _open would read it in the ANSI
// code page and miss a directory outside it.
int Sys_open(const char* p, int flags, int mode)
{
    const std::u16string w = CString::FromUtf8(p).Str();
    return ::_wopen(reinterpret_cast<const wchar_t*>(w.c_str()), flags, mode);
}
int Sys_close(int fd) { return ::_close(fd); }
long Sys_write(int fd, const char* d, std::size_t n) { return ::_write(fd, d, static_cast<unsigned>(n)); }
#else
constexpr int kNoFollow = O_NOFOLLOW;
constexpr int kNonBlock = O_NONBLOCK;
constexpr int kCloexec = O_CLOEXEC;
int Sys_open(const char* p, int flags, int mode) { return ::open(p, flags, mode); }
int Sys_close(int fd) { return ::close(fd); }
long Sys_write(int fd, const char* d, std::size_t n) { return static_cast<long>(::write(fd, d, n)); }
#endif

} // namespace

CAppendFile::~CAppendFile() { Close(); }

void CAppendFile::Close()
{
    if (m_fd >= 0) Sys_close(m_fd);
    m_fd = -1;
}

bool CAppendFile::Open(const std::string& path, bool followLink, std::string& why)
{
    Close();
    if (path.empty()) {
        why = "no file name";
        return false;
    }
    const int base = O_WRONLY | O_APPEND | kNonBlock | kCloexec;
    int fd = -1;
    for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
        // An existing file first (without O_CREAT nothing can be made through a link), then a
        // new one made exclusively, which refuses a name that is taken by anything, a dangling
        // link included.
        do fd = Sys_open(path.c_str(), base | (followLink ? 0 : kNoFollow), 0);
        while (fd < 0 && errno == EINTR);
        if (fd >= 0 || errno != ENOENT) break;
        do fd = Sys_open(path.c_str(), base | O_CREAT | O_EXCL | kNoFollow, 0666);
        while (fd < 0 && errno == EINTR);
        if (fd < 0 && errno != EEXIST) break;
        // Another process made it between the two opens: open what it made.
    }
    if (fd < 0) {
        const int e = errno;
#ifndef _WIN32
        if (e == ELOOP) {
            why = "a symbolic link (refused: the tool writes only files of its own here)";
            return false;
        }
        if (e == ENXIO) {
            why = "not a regular file (a FIFO or socket without a reader)";
            return false;
        }
#endif
        if (e == EEXIST) {
            why = "the name is taken by a link or another file that cannot be opened";
            return false;
        }
        why = Errno(e);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        Sys_close(fd);
        why = "not a regular file";
        return false;
    }
    m_fd = fd;
    return true;
}

bool CAppendFile::Write(const std::string& text, std::string& why)
{
    if (m_fd < 0) {
        why = "not open";
        return false;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const long n = Sys_write(m_fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            why = n < 0 ? Errno(errno) : "nothing was written";
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::uintmax_t CAppendFile::Size() const
{
    struct stat st {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0) return 0;
    return static_cast<std::uintmax_t>(st.st_size);
}
