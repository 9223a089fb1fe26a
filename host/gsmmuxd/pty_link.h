// A pseudo-terminal per virtual port, reachable through a symlink
// (DIR/MUX1 -> /dev/pts/7) that goes away with it.
#ifndef MUX_HOST_GSMMUXD_PTY_LINK_H
#define MUX_HOST_GSMMUXD_PTY_LINK_H

#include <memory>
#include <string>

namespace gsmmuxd {

// Makes sure links can be made in `dir`: creates it (one level) when it is
// missing, refuses it when another user can write it, and tries a link
// there. False with `error` in one line otherwise.
bool PrepareLinkDir(const std::string& dir, std::string* error);

class PtyLink {
public:
    // A new pseudo-terminal, raw on both sides, with `linkPath` pointing to
    // its slave. A symlink already at `linkPath` (left by an earlier run) is
    // replaced; anything else there is refused.
    static std::unique_ptr<PtyLink> Create(const std::string& linkPath, std::string* error);
    // Removes the link (if it still points to this pseudo-terminal) and
    // closes the master, which hangs up a client still on the slave.
    ~PtyLink();
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;

    int Master() const { return master_; }
    const std::string& SlavePath() const { return slavePath_; }
    const std::string& LinkPath() const { return linkPath_; }

private:
    PtyLink(int master, std::string slavePath, std::string linkPath);

    int master_;
    std::string slavePath_;
    std::string linkPath_;
};

}  // namespace gsmmuxd

#endif
