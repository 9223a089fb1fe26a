#include "dir_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace gsmmuxd {

namespace {

std::string ReadPid(int fd)
{
    char buf[32] = {};
    const ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
    std::string pid(buf, n > 0 ? size_t(n) : 0);
    while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
    return pid;
}

// The file at `path` is still the one `fd` has open: a daemon that ended
// between our open and our lock has removed it, and its lock proves nothing.
bool StillLinked(int fd, const std::string& path)
{
    struct stat held, named;
    return fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

}  // namespace

std::unique_ptr<DirLock> DirLock::Take(const std::string& dir, std::string* error)
{
    const std::string path = dir + "/gsmmuxd.pid";
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            *error = path + ": " + std::strerror(errno);
            return nullptr;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            const std::string pid = ReadPid(fd);
            close(fd);
            if (err == EWOULDBLOCK) {
                *error = "--link-dir " + dir + " is in use by another gsmmuxd" +
                         (pid.empty() ? std::string() : " (pid " + pid + ")") +
                         "; stop it first or choose another --link-dir";
            } else {
                *error = path + ": cannot lock: " + std::strerror(err);
            }
            return nullptr;
        }
        if (!StillLinked(fd, path)) {
            close(fd);
            continue;
        }
        const std::string pid = std::to_string(getpid()) + "\n";
        if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) != ssize_t(pid.size())) {
            *error = path + ": " + std::strerror(errno);
            close(fd);
            return nullptr;
        }
        return std::unique_ptr<DirLock>(new DirLock(fd, path));
    }
    *error = path + ": keeps being replaced by another gsmmuxd";
    return nullptr;
}

DirLock::~DirLock()
{
    // Removed while still held: whoever opens it afterwards makes a new one.
    unlink(path_.c_str());
    close(fd_);
}

}  // namespace gsmmuxd
