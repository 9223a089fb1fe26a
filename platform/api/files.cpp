// Files under the device root, registered devices ("COM9:"), and the
// wide/narrow conversions host code uses for names.
#include "platform/host.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/object.h"
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace plat {
namespace {

DWORD ErrorFromErrno(int e)
{
    switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ELOOP:  // a symlink where a file was to be opened, see CreateFileW
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EMFILE:
    case ENFILE: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_GEN_FAILURE;
    }
}

class FileObject;

struct FileState {
    std::mutex mutex;
    std::string deviceRoot = ".";
    std::vector<FileObject*> open;  // for share-mode checks
    std::map<std::string, uint64_t> sizeLimits;  // host path -> octets
    std::map<std::u16string, DeviceFactory> devices;  // upper-case names
};

FileState& Files()
{
    static FileState* s = new FileState;
    return *s;
}

class FileObject : public Object {
public:
    FileObject(int fd, DWORD access, DWORD share, dev_t dev, ino_t ino, std::string path,
               uint64_t sizeLimit)
        : Object(ObjectKind::File), fd_(fd), access_(access), share_(share), dev_(dev), ino_(ino),
          path_(std::move(path)), sizeLimit_(sizeLimit)
    {
    }
    ~FileObject() override
    {
        Unregister();
        if (fd_ >= 0) ::close(fd_);
    }
    DWORD Access() const { return access_; }
    DWORD Share() const { return share_; }
    bool Same(dev_t dev, ino_t ino) const { return dev_ == dev && ino_ == ino; }

    BOOL Close() override
    {
        Unregister();  // the file may be opened again at once, whoever still holds this object
        return TRUE;
    }

    BOOL Read(LPVOID buffer, DWORD toRead, LPDWORD read) override
    {
        if (!(access_ & GENERIC_READ)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        DWORD total = 0;
        while (total < toRead) {
            ssize_t n = ::read(fd_, static_cast<char*>(buffer) + total, toRead - total);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                *read = total;
                SetLastError(ErrorFromErrno(errno));
                return FALSE;
            }
            if (n == 0) break;
            total += (DWORD)n;
        }
        *read = total;
        return TRUE;
    }

    BOOL Write(LPCVOID buffer, DWORD toWrite, LPDWORD written) override
    {
        if (!(access_ & GENERIC_WRITE)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (sizeLimit_ != 0 && !MakeRoom(toWrite)) {
            *written = 0;
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        DWORD total = 0;
        while (total < toWrite) {
            ssize_t n = ::write(fd_, static_cast<const char*>(buffer) + total, toWrite - total);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                *written = total;
                SetLastError(errno == ENOSPC ? ERROR_GEN_FAILURE : ErrorFromErrno(errno));
                return FALSE;
            }
            total += (DWORD)n;
        }
        *written = total;
        return TRUE;
    }

    // Writes go straight to the host's file system (nothing is buffered
    // here), so what was written is already visible to any reader; a
    // flush to the disk itself would only cost time.
    BOOL Flush() override
    {
        if (!(access_ & GENERIC_WRITE)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        return TRUE;
    }

    DWORD SetPointer(LONG distance, LPLONG distanceHigh, DWORD method) override
    {
        int whence;
        switch (method) {
        case FILE_BEGIN: whence = SEEK_SET; break;
        case FILE_CURRENT: whence = SEEK_CUR; break;
        case FILE_END: whence = SEEK_END; break;
        default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_SET_FILE_POINTER;
        }
        int64_t dist = distanceHigh
                           ? (int64_t)(((uint64_t)(uint32_t)*distanceHigh << 32) | (uint32_t)distance)
                           : (int64_t)distance;
        off_t cur = ::lseek(fd_, 0, SEEK_CUR);
        off_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? cur : ::lseek(fd_, 0, SEEK_END);
        ::lseek(fd_, cur, SEEK_SET);
        if (base + dist < 0) {
            SetLastError(ERROR_NEGATIVE_SEEK);
            return INVALID_SET_FILE_POINTER;
        }
        off_t r = ::lseek(fd_, (off_t)(base + dist), SEEK_SET);
        if (r < 0) {
            SetLastError(ErrorFromErrno(errno));
            return INVALID_SET_FILE_POINTER;
        }
        if (distanceHigh) *distanceHigh = (LONG)((uint64_t)r >> 32);
        SetLastError(NO_ERROR);
        return (DWORD)r;
    }

    std::string Describe() const override { return "file '" + path_ + "'"; }

private:
    // A file with a size limit (a log that would grow for as long as the
    // host runs) starts afresh when a write would take it past the limit:
    // the full one is kept beside it as NAME.1, replacing the one before,
    // so that at most twice the limit is on disk and the newest lines are
    // always there. False when no fresh file could be made.
    bool MakeRoom(DWORD toWrite)
    {
        std::lock_guard<std::mutex> g(rotateMutex_);
        const off_t at = ::lseek(fd_, 0, SEEK_CUR);
        if (at <= 0 || uint64_t(at) + toWrite <= sizeLimit_) return true;
        const std::string kept = path_ + ".1";
        if (::rename(path_.c_str(), kept.c_str()) != 0) return false;
        const int flags = (access_ & GENERIC_READ) ? O_RDWR : O_WRONLY;
        const int fresh = ::open(path_.c_str(), flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        struct stat st;
        if (fresh < 0 || ::fstat(fresh, &st) != 0 || ::dup2(fresh, fd_) < 0) {
            if (fresh >= 0) ::close(fresh);
            return false;
        }
        ::close(fresh);
        std::lock_guard<std::mutex> files(Files().mutex);
        dev_ = st.st_dev;
        ino_ = st.st_ino;
        return true;
    }

    void Unregister()
    {
        FileState& s = Files();
        std::lock_guard<std::mutex> g(s.mutex);
        for (size_t i = 0; i < s.open.size(); ++i) {
            if (s.open[i] == this) {
                s.open.erase(s.open.begin() + (long)i);
                break;
            }
        }
    }

    int fd_;
    const DWORD access_;
    const DWORD share_;
    dev_t dev_;  // change when the file starts afresh (MakeRoom)
    ino_t ino_;
    const std::string path_;
    const uint64_t sizeLimit_;  // 0: none
    std::mutex rotateMutex_;
};

// Windows sharing: a new open must be allowed by the share mode of every
// open handle to the file, and must itself share what those handles do.
bool SharingAllows(const FileState& s, dev_t dev, ino_t ino, DWORD access, DWORD share)
{
    for (FileObject* f : s.open) {
        if (!f->Same(dev, ino)) continue;
        if ((access & GENERIC_READ) && !(f->Share() & FILE_SHARE_READ)) return false;
        if ((access & GENERIC_WRITE) && !(f->Share() & FILE_SHARE_WRITE)) return false;
        if ((f->Access() & GENERIC_READ) && !(share & FILE_SHARE_READ)) return false;
        if ((f->Access() & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return false;
    }
    return true;
}

std::u16string Upper(const std::u16string& s)
{
    std::u16string out = s;
    for (char16_t& c : out)
        if (c >= u'a' && c <= u'z') c = (char16_t)(c - u'a' + u'A');
    return out;
}

HANDLE OpenDevice(const std::u16string& name, DWORD access, DWORD share, DWORD disposition,
                  DWORD flags)
{
    DeviceFactory factory;
    {
        FileState& s = Files();
        std::lock_guard<std::mutex> g(s.mutex);
        auto it = s.devices.find(Upper(name));
        if (it != s.devices.end()) factory = it->second;
    }
    if (!factory) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    Object* obj = factory(access, share, disposition, flags);
    if (!obj) return INVALID_HANDLE_VALUE;
    return NewHandle(obj);
}

bool ParentExists(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return true;
    struct stat st;
    std::string dir = slash == 0 ? std::string("/") : path.substr(0, slash);
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

void RegisterDevice(const std::u16string& name, DeviceFactory factory)
{
    FileState& s = Files();
    std::lock_guard<std::mutex> g(s.mutex);
    s.devices[Upper(name)] = std::move(factory);
}

void UnregisterDevice(const std::u16string& name)
{
    FileState& s = Files();
    std::lock_guard<std::mutex> g(s.mutex);
    s.devices.erase(Upper(name));
}

void SetDeviceRoot(const std::string& dir)
{
    FileState& s = Files();
    std::lock_guard<std::mutex> g(s.mutex);
    s.deviceRoot = dir.empty() ? std::string(".") : dir;
}

void SetFileSizeLimit(const std::u16string& devicePath, uint64_t octets)
{
    const std::string path = HostPathFor(devicePath);
    FileState& s = Files();
    std::lock_guard<std::mutex> g(s.mutex);
    if (octets == 0)
        s.sizeLimits.erase(path);
    else
        s.sizeLimits[path] = octets;
}

std::string DeviceRoot()
{
    FileState& s = Files();
    std::lock_guard<std::mutex> g(s.mutex);
    return s.deviceRoot;
}

std::string HostPathFor(const std::u16string& devicePath)
{
    std::string rel = ToUtf8(devicePath);
    for (char& c : rel)
        if (c == '\\') c = '/';
    size_t start = rel.find_first_not_of('/');
    rel = start == std::string::npos ? std::string() : rel.substr(start);
    std::string root = DeviceRoot();
    if (rel.empty()) return root;
    if (!root.empty() && root.back() == '/') return root + rel;
    return root + "/" + rel;
}

std::string ToUtf8(const WCHAR* s)
{
    return s ? ToUtf8(std::u16string(s)) : std::string();
}

std::string ToUtf8(const std::u16string& s)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // a lone surrogate
        }
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xF0 | (c >> 18));
            out += (char)(0x80 | ((c >> 12) & 0x3F));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string FromUtf8(const std::string& s)
{
    std::u16string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        unsigned char b = (unsigned char)s[i];
        uint32_t c;
        size_t len;
        if (b < 0x80) {
            c = b;
            len = 1;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07;
            len = 4;
        } else {
            out += (char16_t)0xFFFD;
            ++i;
            continue;
        }
        bool ok = i + len <= s.size();
        for (size_t j = 1; ok && j < len; ++j) {
            unsigned char cb = (unsigned char)s[i + j];
            if ((cb & 0xC0) != 0x80)
                ok = false;
            else
                c = (c << 6) | (cb & 0x3F);
        }
        static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (!ok || c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out += (char16_t)0xFFFD;
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += (char16_t)(0xD800 + (c >> 10));
            out += (char16_t)(0xDC00 + (c & 0x3FF));
        } else {
            out += (char16_t)c;
        }
        i += len;
    }
    return out;
}

}  // namespace plat

using namespace plat;

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE)
{
    kernel::YieldPoint();
    if (!lpFileName || !*lpFileName) {
        SetLastError(lpFileName ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string name(lpFileName);
    if (name.back() == u':')
        return OpenDevice(name, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                          dwFlagsAndAttributes);

    int flags;
    switch (dwDesiredAccess & (GENERIC_READ | GENERIC_WRITE)) {
    case GENERIC_READ | GENERIC_WRITE: flags = O_RDWR; break;
    case GENERIC_WRITE: flags = O_WRONLY; break;
    default: flags = O_RDONLY; break;
    }
    // The device's files are plain files under the device root, which may
    // be a directory others can write (the current directory by default):
    // a symlink planted under a file's name would have the driver append
    // its log, or truncate a crash log, wherever the link points, with the
    // rights of whoever runs it. A link is never followed, and a new file
    // is readable by its owner alone.
    flags |= O_CLOEXEC | O_NOFOLLOW;
    switch (dwCreationDisposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING:
        if (!(dwDesiredAccess & GENERIC_WRITE)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        flags |= O_TRUNC;
        break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
    }

    std::string path = HostPathFor(name);
    FileState& s = Files();
    std::lock_guard<std::mutex> g(s.mutex);
    struct stat st;
    bool existed = ::lstat(path.c_str(), &st) == 0;
    if (existed && (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (existed && dwCreationDisposition == CREATE_NEW) {
        SetLastError(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
    }
    // Check sharing before opening: a refused CREATE_ALWAYS must not truncate.
    if (existed && !SharingAllows(s, st.st_dev, st.st_ino, dwDesiredAccess, dwShareMode)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    int fd = ::open(path.c_str(), flags, 0600);
    if (fd < 0) {
        int e = errno;
        if (e == ENOENT && !ParentExists(path))
            SetLastError(ERROR_PATH_NOT_FOUND);
        else
            SetLastError(ErrorFromErrno(e));
        return INVALID_HANDLE_VALUE;
    }
    if (::fstat(fd, &st) != 0) {
        SetLastError(ErrorFromErrno(errno));
        ::close(fd);
        return INVALID_HANDLE_VALUE;
    }
    auto limit = s.sizeLimits.find(path);
    auto* f = new FileObject(fd, dwDesiredAccess, dwShareMode, st.st_dev, st.st_ino, path,
                             limit == s.sizeLimits.end() ? 0 : limit->second);
    s.open.push_back(f);
    bool reportExisting = existed && (dwCreationDisposition == OPEN_ALWAYS ||
                                      dwCreationDisposition == CREATE_ALWAYS);
    SetLastError(reportExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return NewHandle(f);
}
