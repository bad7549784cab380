#include "PathWalk.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "split.h"

namespace {

// The components of a path or link target, in order. A trailing slash ends
// in ".", since the last component must then be a directory.
std::vector<std::string> componentsOf(const std::string& path) {
    std::vector<std::string> parts;
    split(path, "/", parts);
    if (!path.empty() && path.back() == '/') parts.push_back(".");
    return parts;
}

std::string joined(const std::string& dir, const std::string& name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

// Search permission is all a walk needs: O_PATH opens a directory the caller
// may not read, and fstat and the *at calls work through it.
const int DIR_FLAGS = O_PATH | O_DIRECTORY | O_CLOEXEC;

}  // namespace

std::string controlledByOthers(const std::string& dirPath, const struct stat& dir,
                               const std::string& path, const struct stat& entry) {
    if (dir.st_uid != 0 && dir.st_uid != geteuid())
        return "directory " + dirPath + " belongs to another user";
    if ((dir.st_mode & S_IWOTH) == 0) return "";
    if ((dir.st_mode & S_ISVTX) == 0) return "directory " + dirPath + " can be written by others";
    if (entry.st_uid != 0 && entry.st_uid != geteuid())
        return path + " belongs to another user in a directory others can write";
    return "";
}

std::string PathWalk::pathOf(const std::string& entry) const { return joined(dir_, entry); }

int closeFd(int fd) {
    const int rc = ::close(fd);
    return rc != 0 && errno == EINTR ? 0 : rc;
}

PathWalk::~PathWalk() {
    if (dirFd_ >= 0) closeFd(dirFd_);
}

bool PathWalk::startAt(const std::string& from, struct stat& dirSt) {
    if (dirFd_ >= 0) closeFd(dirFd_);
    dir_ = from;
    dirFd_ = ::open(dir_.c_str(), DIR_FLAGS);
    if (dirFd_ >= 0 && fstat(dirFd_, &dirSt) == 0) return true;
    why_ = "cannot open directory " + dir_ + ": " + std::strerror(errno);
    return false;
}

// The kernel would follow a link planted on the way as readily as one at the
// end, so every link is read and followed here, each only where no other user
// controls it (nor the directory it lies in). The file must never be a
// device, a FIFO or a directory, nor lie where another user decides what a
// name stands for.
PathWalk::PathWalk(const std::string& path) {
    std::vector<std::string> pending = componentsOf(path);
    std::reverse(pending.begin(), pending.end());  // the next component last
    struct stat dirSt;
    bool ok = startAt(!path.empty() && path[0] == '/' ? "/" : ".", dirSt);
    for (int hops = 0; ok && !pending.empty();) {
        name_ = pending.back();
        pending.pop_back();
        const bool last = pending.empty();
        if (name_ == "." && !last) continue;
        const std::string file = name_ == "." ? dir_ : joined(dir_, name_);
        struct stat st;
        if (fstatat(dirFd_, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT && last) {
                // A new file: nobody may swap it once written.
                st.st_uid = geteuid();
                why_ = controlledByOthers(dir_, dirSt, file, st);
                if (why_.empty()) return;
            } else {
                nowhere_ = errno == ENOENT;
                why_ = "cannot look at " + file + ": " + std::strerror(errno);
            }
            break;
        }
        why_ = controlledByOthers(dir_, dirSt, file, st);
        if (!why_.empty()) break;
        if (S_ISLNK(st.st_mode)) {
            if (++hops > 40) {  // the kernel's own limit
                why_ = "too many levels of links at " + file;
                break;
            }
            std::vector<char> buf(PATH_MAX);
            const ssize_t n = ::readlinkat(dirFd_, name_.c_str(), buf.data(), buf.size());
            if (n <= 0 || static_cast<std::size_t>(n) >= buf.size()) {
                why_ = "cannot read the link " + file;
                break;
            }
            const std::string target(buf.data(), static_cast<std::size_t>(n));
            std::vector<std::string> parts = componentsOf(target);
            pending.insert(pending.end(), parts.rbegin(), parts.rend());
            if (target[0] == '/') ok = startAt("/", dirSt);
            continue;
        }
        if (last) {
            if (S_ISREG(st.st_mode) && name_ != "." && name_ != "..") {
                exists_ = true;
                file_ = st;
                return;
            }
            why_ = file + " is not a regular file";
            break;
        }
        if (!S_ISDIR(st.st_mode)) {
            why_ = file + " is not a directory";
            break;
        }
        const int next = ::openat(dirFd_, name_.c_str(), DIR_FLAGS | O_NOFOLLOW);
        if (next < 0 || fstat(next, &st) != 0 || !S_ISDIR(st.st_mode)) {
            why_ =
                "cannot open directory " + file + ": " + std::strerror(next < 0 ? errno : ENOTDIR);
            if (next >= 0) closeFd(next);
            break;
        }
        closeFd(dirFd_);
        dirFd_ = next;
        dirSt = st;
        // Every directory in dir was reached without a link, so ".." is the
        // one before it.
        const std::string::size_type slash = dir_.rfind('/');
        if (name_ != "..") {
            dir_ = file;
        } else if (dir_ != "/" && dir_ != "." &&
                   dir_.compare(slash + 1, std::string::npos, "..") != 0) {
            dir_ = slash == 0 ? "/" : slash == std::string::npos ? "." : dir_.substr(0, slash);
        } else if (dir_ != "/") {
            dir_ = file;
        }
    }
    if (dirFd_ >= 0) closeFd(dirFd_);
    dirFd_ = -1;
}

bool PathWalk::unchanged(std::string& why) const {
    struct stat st;
    const bool there = fstatat(dirFd_, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!there && errno != ENOENT) {
        why = "cannot look at " + joined(dir_, name_) + ": " + std::strerror(errno);
        return false;
    }
    if (there == exists_ && (!there || (st.st_dev == file_.st_dev && st.st_ino == file_.st_ino)))
        return true;
    why = joined(dir_, name_) + " changed during the run";
    return false;
}
