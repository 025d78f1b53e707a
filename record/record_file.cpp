// SPDX-License-Identifier: Apache-2.0
#include "record/record_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kestravo {

namespace {

std::string Quoted(const std::string& path) {
    return "\"" + path + "\"";
}

std::string Reason(int error) {
    return std::strerror(error);
}

// name: the file as the message shows it, quoted.
[[noreturn]] void Fail(const char* what, const std::string& name, const std::string& reason) {
    throw EFileError(std::string(what) + " " + name + ": " + reason);
}

constexpr const char* kCannotWrite = "Cannot write the record file";
constexpr const char* kCannotCreate = "Cannot create the record file";
constexpr const char* kCannotReplace = "Cannot replace the record file";
constexpr const char* kIncomplete = "; the file may be incomplete";

std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string KindOf(mode_t mode) {
    if (S_ISFIFO(mode)) return "a pipe";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISDIR(mode)) return "a folder";
    return "not a regular file";
}

// Why something other than a regular file is refused: "it is a pipe, not a record file".
std::string NotARecordFile(mode_t mode) {
    return "it is " + KindOf(mode) + ", not a record file";
}

// Writes everything or reports how far it got. SIGPIPE is held back while writing, so that a
// reader that goes away makes the write fail with EPIPE instead of ending the program.
bool WriteAll(int fd, const std::uint8_t* bytes, std::size_t count, std::size_t& written,
              int& error) {
    sigset_t pipeSignal;
    sigset_t previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    sigset_t pendingBefore;
    sigpending(&pendingBefore);
    const bool wasPending = sigismember(&pendingBefore, SIGPIPE) == 1;

    written = 0;
    bool ok = true;
    while (written < count) {
        const ssize_t n = ::write(fd, bytes + written, count - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            ok = false;
            break;
        }
        if (n == 0) {
            error = EIO;
            ok = false;
            break;
        }
        written += static_cast<std::size_t>(n);
    }

    if (!ok && error == EPIPE && !wasPending) {
        const timespec now{0, 0};
        sigtimedwait(&pipeSignal, nullptr, &now); // take back the signal this write raised
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return ok;
}

// Creates a fresh file in folder under a name nobody else holds; permissions follow the umask,
// as for any newly created file.
int CreateTemporary(const std::string& folder, std::string& name, int& error) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = folder + "/.kestravo-record-" + std::to_string(::getpid()) + "-" +
               std::to_string(counter++) + ".tmp";
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno != EEXIST) {
            error = errno;
            return -1;
        }
    }
    error = EEXIST;
    return -1;
}

void SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd); // best effort: the rename is already done
    ::close(fd);
}

bool CanWrite(const std::string& path, int mode) {
    return ::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0;
}

bool InGroup(gid_t group) {
    if (group == ::getegid()) return true;
    const int count = ::getgroups(0, nullptr);
    if (count <= 0) return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int got = ::getgroups(count, groups.data());
    return got > 0 && std::find(groups.begin(), groups.begin() + got, group) != groups.begin() + got;
}

// Whether the file's mode bits give this user write permission: the owner's, the group's or the
// others' bit, whichever class the user falls in. The kernel lets root write any file, but a file
// marked read-only says its owner wants it kept; root can still remove it and write anew.
bool ModeLetsUserWrite(const struct stat& status) {
    if (status.st_uid == ::geteuid()) return (status.st_mode & S_IWUSR) != 0;
    if (InGroup(status.st_gid)) return (status.st_mode & S_IWGRP) != 0;
    return (status.st_mode & S_IWOTH) != 0;
}

std::string ModeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Names under /dev and /proc stand for open streams and devices (/dev/stdout, /proc/self/fd/1):
// whatever they lead to is written where it is.
bool NamesAStream(const std::string& path) {
    return path.starts_with("/dev/") || path.starts_with("/proc/");
}

// Where a write to path lands: the path itself, or for a symbolic link the file it leads to.
struct Target {
    std::string path;      // the name to write through
    bool exists = false;
    struct stat status{};  // of the file written, when it exists
    bool renameable = false; // path is the file's own name, not a link to it
};

Target Resolve(const std::string& path) {
    Target target;
    target.path = path;
    struct stat own{};
    if (::lstat(path.c_str(), &own) != 0) {
        if (errno != ENOENT) Fail(kCannotWrite, Quoted(path), Reason(errno));
        target.renameable = true; // a new file
        return target;
    }
    if (!S_ISLNK(own.st_mode)) {
        target.exists = true;
        target.status = own;
        target.renameable = true;
        return target;
    }

    struct stat followed{};
    if (::stat(path.c_str(), &followed) == 0) {
        target.exists = true;
        target.status = followed;
        // The link's own name must survive: write the file it resolves to, by its real name,
        // when that name is the same file; otherwise (a link into /proc, say) write through it.
        if (S_ISREG(followed.st_mode)) {
            char real[PATH_MAX];
            struct stat check{};
            if (::realpath(path.c_str(), real) != nullptr && ::lstat(real, &check) == 0 &&
                check.st_dev == followed.st_dev && check.st_ino == followed.st_ino) {
                target.path = real;
                target.renameable = true;
            }
        }
        return target;
    }
    if (errno != ENOENT) Fail(kCannotWrite, Quoted(path), Reason(errno));

    // A dangling link: create the file it names, as a shell's "> link" would.
    std::string current = path;
    for (int hop = 0; hop < 40; ++hop) {
        char buffer[PATH_MAX];
        const ssize_t n = ::readlink(current.c_str(), buffer, sizeof buffer - 1);
        if (n < 0) {
            if (errno == EINVAL || errno == ENOENT) { // not a link (any more): the end
                target.path = current;
                target.renameable = true;
                return target;
            }
            Fail(kCannotWrite, Quoted(path), Reason(errno));
        }
        std::string next(buffer, static_cast<std::size_t>(n));
        if (!next.starts_with("/")) next = FolderOf(current) + "/" + next;
        current = next;
    }
    Fail(kCannotWrite, Quoted(path), Reason(ELOOP));
}

// The name failures are reported under: past a symbolic link, both the link and its target.
std::string ShownName(const std::string& given, const Target& target) {
    if (given == target.path) return Quoted(given);
    return Quoted(given) + " (the link leads to " + Quoted(target.path) + ")";
}

// Writes beside the file and renames over it: the old content stays whole until the new one is.
// Returns false, having touched nothing, when the folder turns out not to take new files.
bool ReplaceByRename(const Target& target, const std::string& shown,
                     const TConfigRecord& record) {
    const std::string folder = FolderOf(target.path);
    std::string temporary;
    int error = 0;
    const int fd = CreateTemporary(folder, temporary, error);
    if (fd < 0) {
        if (target.exists && (error == EACCES || error == EPERM)) return false;
        Fail(kCannotCreate, shown, Reason(error));
    }

    if (target.exists) {
        // A replaced record keeps the permissions (and, where allowed, the group) of its file.
        ::fchmod(fd, target.status.st_mode & 07777);
        if (::fchown(fd, static_cast<uid_t>(-1), target.status.st_gid) != 0) {
            // Not a member of that group: the file takes this user's group, as a new file would.
        }
    }

    const char* failed = nullptr;
    std::size_t written = 0;
    if (!WriteAll(fd, record.data(), record.size(), written, error)) {
        failed = kCannotWrite;
    } else if (::fsync(fd) != 0) {
        error = errno;
        failed = kCannotWrite;
    }
    if (::close(fd) != 0 && failed == nullptr) {
        error = errno;
        failed = kCannotWrite;
    }
    if (failed == nullptr && ::rename(temporary.c_str(), target.path.c_str()) != 0) {
        error = errno;
        failed = kCannotReplace;
    }
    if (failed != nullptr) {
        ::unlink(temporary.c_str());
        Fail(failed, shown, Reason(error));
    }
    SyncFolder(folder);
    return true;
}

// Writes a pipe or a character device as "cat > device" does.
void WriteStream(int fd, const std::string& shown, const TConfigRecord& record) {
    std::size_t written = 0;
    int error = 0;
    const bool ok = WriteAll(fd, record.data(), record.size(), written, error);
    ::close(fd);
    if (!ok)
        Fail(kCannotWrite, shown,
             Reason(error) + (written > 0 ? "; the output may be incomplete" : ""));
}

// Overwrites a regular file through its own inode, for files that must keep it (hard links,
// another owner's file, a file in a folder that takes no new names).
void WriteInPlace(int fd, const std::string& shown, const TConfigRecord& record) {
    std::size_t written = 0;
    int error = 0;
    bool ok = WriteAll(fd, record.data(), record.size(), written, error);
    if (ok && ::ftruncate(fd, static_cast<off_t>(record.size())) != 0) {
        error = errno;
        ok = false;
    }
    if (ok && ::fsync(fd) != 0 && errno != EINVAL) {
        error = errno;
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        error = errno;
        ok = false;
    }
    // Nothing is changed until the first byte lands; after that the old content is gone.
    if (!ok) Fail(kCannotWrite, shown, Reason(error) + (written > 0 ? kIncomplete : ""));
}

// Opens an existing file for writing without creating, truncating or waiting on it, then writes
// it as what it turns out to be. Opening without waiting refuses a pipe that nobody reads at once
// instead of hanging until someone does; the writes themselves wait as usual.
void WriteExisting(const std::string& path, const std::string& shown,
                   const TConfigRecord& record) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ENXIO) {
            struct stat status{};
            if (::stat(path.c_str(), &status) == 0 && S_ISFIFO(status.st_mode))
                Fail(kCannotWrite, shown, "no program is reading the pipe (" + Reason(error) + ")");
        }
        Fail(kCannotWrite, shown, Reason(error));
    }
    struct stat opened{};
    if (::fstat(fd, &opened) != 0) {
        const int error = errno;
        ::close(fd);
        Fail(kCannotWrite, shown, Reason(error));
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    if (S_ISFIFO(opened.st_mode) || S_ISCHR(opened.st_mode)) return WriteStream(fd, shown, record);
    if (S_ISREG(opened.st_mode)) return WriteInPlace(fd, shown, record);
    ::close(fd);
    Fail(kCannotWrite, shown, NotARecordFile(opened.st_mode));
}

} // namespace

std::string ByteCount(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

void WriteRecordFile(const std::string& path, const TConfigRecord& record) {
    if (path.empty()) Fail(kCannotWrite, Quoted(path), Reason(ENOENT));
    const Target target = Resolve(path);
    const std::string shown = ShownName(path, target);

    if (!target.exists) {
        ReplaceByRename(target, shown, record);
        return;
    }
    const mode_t mode = target.status.st_mode;
    if (S_ISDIR(mode)) Fail(kCannotWrite, shown, Reason(EISDIR));
    if (S_ISFIFO(mode) || S_ISCHR(mode)) return WriteExisting(target.path, shown, record);
    if (!S_ISREG(mode))
        Fail(kCannotWrite, shown, NotARecordFile(mode));

    // A file this user may not write is refused, not replaced behind its back.
    if (!CanWrite(target.path, W_OK)) Fail(kCannotWrite, shown, Reason(errno));
    if (!ModeLetsUserWrite(target.status))
        Fail(kCannotWrite, shown,
             Reason(EACCES) + " (its mode " + ModeText(target.status.st_mode) +
                 " does not let this user write it; remove it first to write a new one)");

    const bool renameSafe = target.renameable && !NamesAStream(path) &&
                            !NamesAStream(target.path) && target.status.st_nlink == 1 &&
                            target.status.st_uid == ::geteuid() &&
                            CanWrite(FolderOf(target.path), W_OK | X_OK);
    if (renameSafe && ReplaceByRename(target, shown, record)) return;
    WriteExisting(target.path, shown, record);
}

TConfigRecord ReadRecordFile(const std::string& path) {
    const auto refuse = [&](EFileError::Problem problem, int error, const std::string& reason) {
        throw EFileError("cannot read " + Quoted(path) + ": " + reason, problem, error);
    };
    const auto notRegular = [&](mode_t mode) {
        if (S_ISDIR(mode)) refuse(EFileError::Problem::Folder, EISDIR, Reason(EISDIR));
        refuse(EFileError::Problem::NotRegular, 0, NotARecordFile(mode));
    };

    // The type is looked at before opening: opening a pipe with no writer, or reading a device,
    // could wait for ever.
    struct stat status{};
    if (::stat(path.c_str(), &status) != 0) refuse(EFileError::Problem::CannotOpen, errno, Reason(errno));
    if (!S_ISREG(status.st_mode)) notRegular(status.st_mode);

    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) refuse(EFileError::Problem::CannotOpen, errno, Reason(errno));
    // The name may have been replaced by something else since it was looked at.
    if (::fstat(fd, &status) != 0) {
        const int error = errno;
        ::close(fd);
        refuse(EFileError::Problem::CannotOpen, error, Reason(error));
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(fd);
        notRegular(status.st_mode);
    }

    TConfigRecord record{};
    std::size_t got = 0;
    while (got < record.size()) {
        const ssize_t n = ::read(fd, record.data() + got, record.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            ::close(fd);
            refuse(EFileError::Problem::CannotRead, error, Reason(error));
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (got < record.size())
        throw EFileError(Quoted(path) + " holds " + ByteCount(got) + "; a record needs " +
                             std::to_string(kRecordSize),
                         EFileError::Problem::Short, 0, got);
    return record;
}

} // namespace kestravo
