#include "pty_link.h"

#include <errno.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace gsmmuxd {

namespace {

std::string Why(const std::string& what, int err) { return what + ": " + std::strerror(err); }

bool MakeRaw(int fd)
{
    termios t;
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

std::string ReadLink(const std::string& path)
{
    char buf[4096];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    return n < 0 ? std::string() : std::string(buf, size_t(n));
}

std::string Octal(unsigned mode)
{
    char buf[8];
    snprintf(buf, sizeof buf, "%04o", mode & 07777u);
    return buf;
}

// Whoever else can write the directory can swap a MUXn link for one to a
// pseudo-terminal of their own and read what the client says to the
// module (the PIN, the PPP session). Root, and this user, may; a sticky
// directory keeps others from replacing or removing this user's links.
// Empty when nobody else can write it, else why in words.
std::string OthersCanWrite(const struct stat& st)
{
    if (st.st_uid != geteuid() && st.st_uid != 0)
        return "is owned by another user (uid " + std::to_string(st.st_uid) + ")";
    if (st.st_mode & S_ISVTX) return std::string();
    if (st.st_mode & S_IWOTH)
        return "can be written by every user (mode " + Octal(st.st_mode) + ")";
    if ((st.st_mode & S_IWGRP) && st.st_gid != getegid())
        return "can be written by group " + std::to_string(st.st_gid) + " (mode " +
               Octal(st.st_mode) + ")";
    return std::string();
}

}  // namespace

bool PrepareLinkDir(const std::string& dir, std::string* error)
{
    if (dir.empty()) {
        *error = "no link directory: XDG_RUNTIME_DIR is not set; give --link-dir DIR";
        return false;
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT || mkdir(dir.c_str(), 0755) != 0 || stat(dir.c_str(), &st) != 0) {
            *error = Why("link directory " + dir, errno);
            return false;
        }
    } else if (!S_ISDIR(st.st_mode)) {
        *error = "link directory " + dir + ": not a directory";
        return false;
    }
    const std::string others = OthersCanWrite(st);
    if (!others.empty()) {
        *error = "link directory " + dir + " " + others +
                 ", who could swap the MUXn links; use a directory of your own";
        return false;
    }
    // Permissions alone do not tell (root, read-only mounts): try a link.
    const std::string probe = dir + "/.gsmmuxd-probe-" + std::to_string(getpid());
    if (symlink("/dev/null", probe.c_str()) != 0) {
        *error = Why("link directory " + dir + " cannot be written", errno);
        return false;
    }
    unlink(probe.c_str());
    return true;
}

std::unique_ptr<PtyLink> PtyLink::Create(const std::string& linkPath, std::string* error)
{
    struct stat st;
    if (lstat(linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        *error = linkPath + ": exists and is not a symlink";
        return nullptr;
    }
    int master = -1, slave = -1;
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        *error = Why("openpty", errno);
        return nullptr;
    }
    // Raw on the slave too, so that a client that sets nothing gets octets
    // as they are; the settings stay with the slave when the client closes.
    const bool raw = MakeRaw(master) && MakeRaw(slave) &&
                     fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) == 0 &&
                     fcntl(master, F_SETFD, FD_CLOEXEC) == 0;
    const int rawErr = errno;
    close(slave);
    if (!raw) {
        close(master);
        *error = Why("raw mode on the pseudo-terminal", rawErr);
        return nullptr;
    }
    // A new link under a temporary name, renamed over whatever stale link
    // is there: a client never finds the name missing or half made.
    const std::string tmp = linkPath + ".new";
    unlink(tmp.c_str());
    if (symlink(name, tmp.c_str()) != 0 || rename(tmp.c_str(), linkPath.c_str()) != 0) {
        const int err = errno;
        unlink(tmp.c_str());
        close(master);
        *error = Why(linkPath, err);
        return nullptr;
    }
    return std::unique_ptr<PtyLink>(new PtyLink(master, name, linkPath));
}

PtyLink::PtyLink(int master, std::string slavePath, std::string linkPath)
    : master_(master), slavePath_(std::move(slavePath)), linkPath_(std::move(linkPath))
{
}

PtyLink::~PtyLink()
{
    if (ReadLink(linkPath_) == slavePath_) unlink(linkPath_.c_str());
    close(master_);
}

}  // namespace gsmmuxd
