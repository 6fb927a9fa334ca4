#include "output_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "errno_keeper.h"
#include "strlcpy.h"

namespace
{

// What a run that ends before its commit undoes, also from a signal handler:
// kept where the handler reaches it without a lock or an allocation.
struct pending_undo {
    char temp[PATH_MAX];    // a temporary file to remove, "" for none
    char created[PATH_MAX]; // a name the run created, removed while it still names that file
    dev_t dev;
    ino_t ino;
    int target, copy; // written in place: the output and the copy of its old contents
};
pending_undo undo = {"", "", 0, 0, -1, -1};

constexpr int undo_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Changes of undo happen with its signals held, so the handler sees it whole.
void hold_signals(bool hold)
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : undo_signals)
        sigaddset(&set, sig);
    sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

// Every byte of from, from its start, over to's; async-signal-safe.
bool copy_all(int from, int to)
{
    char buf[16384];
    for (off_t at = 0;;) {
        const ssize_t n = pread(from, buf, sizeof buf, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = pwrite(to, buf + done, (size_t)(n - done), at + done);
            if (w < 0 && errno != EINTR)
                return false;
            done += w > 0 ? w : 0;
        }
        at += n;
    }
}

// Puts the old contents back and removes what the run made; async-signal-safe.
// The copy of the old contents stays when they could not be put back.
bool undo_all()
{
    bool whole = true;
    if (undo.target >= 0)
        whole = ftruncate(undo.target, 0) == 0 && copy_all(undo.copy, undo.target) &&
                fsync(undo.target) == 0;
    if (whole && undo.temp[0] != '\0')
        unlink(undo.temp);
    struct stat st;
    if (undo.created[0] != '\0' && lstat(undo.created, &st) == 0 && st.st_dev == undo.dev &&
        st.st_ino == undo.ino)
        unlink(undo.created);
    return whole;
}

void undo_and_die(int sig)
{
    undo_all();
    signal(sig, SIG_DFL);
    raise(sig);
}

void disarm()
{
    hold_signals(true);
    undo = {"", "", 0, 0, -1, -1};
    hold_signals(false);
}

// A signal the caller ignores stays ignored; the others undo the run first.
void catch_signals()
{
    for (int sig : undo_signals) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            signal(sig, undo_and_die);
    }
}

std::string dir_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The output opened, or made when missing: created says the run made it.
// A name that is a link to a missing file makes that file, as `>` would.
int open_output(const char *path, int access, bool &created)
{
    const int flags = access | O_CLOEXEC | O_NOCTTY;
    int fd = ::open(path, flags);
    if (fd >= 0 || errno != ENOENT)
        return fd;
    fd = ::open(path, flags | O_CREAT | O_EXCL, 0666);
    created = fd >= 0;
    return fd >= 0 || errno != EEXIST ? fd : ::open(path, flags | O_CREAT, 0666);
}

} // namespace

output_file::~output_file()
{
    if (committed_)
        return;
    errno_keeper keep;
    hold_signals(true);
    if (!undo_all())
        fprintf(stderr, "vfsmake: %s: the old contents are kept in %s\n", path_.c_str(), undo.temp);
    hold_signals(false);
    disarm();
}

bool output_file::open(const std::string &path)
{
    path_ = path;
    // Reading is needed only to keep a copy of the old contents for writing in place.
    fd_.reset(open_output(path.c_str(), O_RDWR, created_));
    if (!fd_ && errno == EACCES)
        fd_.reset(open_output(path.c_str(), O_WRONLY, created_));
    if (!fd_ || fstat(fd_.get(), &st_) != 0)
        return false;
    if (created_) {
        hold_signals(true);
        strlcpy(undo.created, path.c_str(), sizeof undo.created);
        undo.dev = st_.st_dev;
        undo.ino = st_.st_ino;
        hold_signals(false);
    }
    return S_ISREG(st_.st_mode) || (errno = EINVAL, false);
}

// Written in place: a name that is a symbolic link (the kernel followed it,
// and we do not guess where to), a file with other names, a directory we
// may not write. Otherwise beside the file, renamed over it at the end.
bool output_file::start()
{
    struct stat link;
    const bool linked = lstat(path_.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
    catch_signals();
    if (linked || st_.st_nlink > 1)
        return start_in_place();
    if (start_beside())
        return true;
    return (errno == EACCES || errno == EROFS || errno == EPERM) && start_in_place();
}

bool output_file::start_beside()
{
    std::string temp = dir_of(path_) + "/.vfsmake.XXXXXX";
    hold_signals(true);
    temp_fd_.reset(mkostemp(temp.data(), O_CLOEXEC));
    if (temp_fd_) {
        write_path_ = temp;
        strlcpy(undo.temp, temp.c_str(), sizeof undo.temp);
    }
    hold_signals(false);
    return bool(temp_fd_);
}

// The old contents are copied beside the file, or to the temporary
// directory when the file's own may not be written, before a byte changes.
bool output_file::start_in_place()
{
    const char *tmpdir = getenv("TMPDIR");
    for (const std::string &dir : {dir_of(path_), std::string(tmpdir ? tmpdir : "/tmp")}) {
        std::string temp = dir + "/.vfsmake.XXXXXX";
        hold_signals(true);
        temp_fd_.reset(mkostemp(temp.data(), O_CLOEXEC));
        if (temp_fd_)
            strlcpy(undo.temp, temp.c_str(), sizeof undo.temp);
        hold_signals(false);
        if (temp_fd_)
            break;
    }
    if (!temp_fd_)
        return false;
    // Unreadable old contents (a file we may write but not read) cannot be kept.
    if (!copy_all(fd_.get(), temp_fd_.get()) || fsync(temp_fd_.get()) != 0) {
        errno = errno == EBADF ? EACCES : errno;
        return false;
    }
    hold_signals(true);
    undo.target = fd_.get();
    undo.copy = temp_fd_.get();
    write_path_ = "/proc/self/fd/" + std::to_string(fd_.get());
    hold_signals(false);
    in_place_ = true;
    return true;
}

// Beside: the old file's owner and group where we may give them (root may),
// otherwise no set-user-id or set-group-id bit on a file that is now ours.
bool output_file::commit()
{
    if (in_place_) {
        if (fsync(fd_.get()) != 0)
            return false;
    } else {
        mode_t mode = st_.st_mode & 07777;
        struct stat now;
        if (fstat(temp_fd_.get(), &now) != 0)
            return false;
        if ((now.st_uid != st_.st_uid || now.st_gid != st_.st_gid) &&
            fchown(temp_fd_.get(), st_.st_uid, st_.st_gid) != 0)
            mode &= ~(mode_t)(S_ISUID | S_ISGID);
        struct stat named;
        if (fchmod(temp_fd_.get(), mode) != 0 || fsync(temp_fd_.get()) != 0)
            return false;
        // Another process put a file of its own there meanwhile: it is not ours to replace.
        if (lstat(path_.c_str(), &named) != 0 || named.st_dev != st_.st_dev ||
            named.st_ino != st_.st_ino)
            return errno = EEXIST, false;
        if (rename(write_path_.c_str(), path_.c_str()) != 0)
            return false;
    }
    if (in_place_)
        unlink(undo.temp);
    disarm();
    committed_ = true;
    return true;
}
