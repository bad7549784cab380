// The walk to a file that a configuration tool rewrites or removes as root:
// one component at a time, following a link only where no other user
// controls it, to the directory that holds the file. What is then written or
// removed is named relative to that directory's descriptor, so that nothing
// swapped in on the way after the walk is reached.
#pragma once

#include <sys/stat.h>

#include <string>

// Closes fd; Linux releases the descriptor even when close reports EINTR.
int closeFd(int fd);

// Why another user controls the entry (file, link or directory) named path
// of the directory dirPath: the directory's owner decides what its names
// stand for; a directory anyone may write without the sticky bit lets anyone
// swap any entry, and in a sticky one (like /tmp) only entries of root or the
// caller are ours. Empty when nobody else controls it.
std::string controlledByOthers(const std::string& dirPath, const struct stat& dir,
                               const std::string& path, const struct stat& entry);

class PathWalk {
  public:
    // Walks to the file that path names. The file, when it exists, must be a
    // regular file that no other user controls; a missing file must be one
    // that nobody else could swap once written. Directories are opened for
    // search only (O_PATH), so a directory the caller may only search is no
    // obstacle.
    explicit PathWalk(const std::string& path);
    ~PathWalk();
    PathWalk(const PathWalk&) = delete;
    PathWalk& operator=(const PathWalk&) = delete;

    // False when the walk refused or failed; why() says why.
    bool ok() const { return dirFd_ >= 0; }
    // True when the walk stopped at a directory or link target that does not
    // exist: the path leads to no file at all.
    bool nowhere() const { return nowhere_; }
    const std::string& why() const { return why_; }

    // The directory's descriptor (O_PATH: for the *at calls only), its path
    // free of links, and the file's name in it.
    int dirFd() const { return dirFd_; }
    const std::string& dir() const { return dir_; }
    const std::string& name() const { return name_; }
    // The path of an entry of that directory.
    std::string pathOf(const std::string& entry) const;
    // Whether the file was there when walked, and what it was then.
    bool exists() const { return exists_; }
    const struct stat& file() const { return file_; }

    // True when the name still stands for what the walk found: the same
    // file, or still nothing. Otherwise false with the reason in why.
    bool unchanged(std::string& why) const;

  private:
    bool startAt(const std::string& from, struct stat& dirSt);

    int dirFd_ = -1;
    bool nowhere_ = false;
    bool exists_ = false;
    std::string why_, dir_, name_;
    struct stat file_ = {};
};
