// One gsmmuxd per link directory: a pid file in it, held with flock for as
// long as the daemon runs, so that a second daemon on the same directory is
// refused instead of replacing the first one's links (and removing them
// when it ends).
#ifndef MUX_HOST_GSMMUXD_DIR_LOCK_H
#define MUX_HOST_GSMMUXD_DIR_LOCK_H

#include <memory>
#include <string>

namespace gsmmuxd {

class DirLock {
public:
    // Takes DIR/gsmmuxd.pid and writes this process's id into it. Null with
    // `error` in one line when another process holds it (naming its pid) or
    // the file cannot be made.
    static std::unique_ptr<DirLock> Take(const std::string& dir, std::string* error);
    // Removes the file and lets the lock go.
    ~DirLock();
    DirLock(const DirLock&) = delete;
    DirLock& operator=(const DirLock&) = delete;

    const std::string& Path() const { return path_; }

private:
    DirLock(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    int fd_;
    std::string path_;
};

}  // namespace gsmmuxd

#endif
