// SPDX-License-Identifier: Apache-2.0
#pragma once
// Reading and writing ".sbd" record files: the one reader and the one writer that the window, the
// record tool and the send paths share.
#include "record/config_record.h"

#include <cstddef>
#include <stdexcept>
#include <string>

namespace kestravo {

// A record file could not be read, or could not be created or completely written; the message
// names the path and the reason. Readers that word their own messages look at Problem().
class EFileError : public std::runtime_error {
public:
    enum class Problem {
        Other,      // any failure of the writer
        Folder,     // the reader was given a folder
        NotRegular, // the reader was given a pipe, a socket or a device
        CannotOpen, // SystemError() says why
        CannotRead, // SystemError() says why
        Short,      // the file holds Size() bytes, fewer than a record
    };

    explicit EFileError(const std::string& message, Problem problem = Problem::Other,
                        int systemError = 0, std::size_t size = 0)
        : std::runtime_error(message), problem_(problem), systemError_(systemError), size_(size) {}

    Problem GetProblem() const { return problem_; }
    int SystemError() const { return systemError_; }
    std::size_t Size() const { return size_; }

private:
    Problem problem_;
    int systemError_;
    std::size_t size_;
};

// "1 byte", "43 bytes".
std::string ByteCount(std::size_t count);

// Reads the first 44 bytes of a record file; bytes after them are ignored. Only a regular file (or
// a symbolic link to one) is read: a folder, a pipe, a socket or a device is refused before
// anything could wait on it, and so is a file shorter than a record (naming its size).
TConfigRecord ReadRecordFile(const std::string& path);

// Writes the 44 bytes to path without ever destroying what path names:
//  - a symbolic link is followed and its target written (a dangling one creates the target);
//  - a new file, or an existing regular file with one link, owned by this user, in a folder this
//    user can write, is written beside and renamed into place (keeping its mode), so a failure
//    leaves the old content whole;
//  - any other regular file this user may write (hard-linked, another owner's, in a read-only
//    folder, or reached through /dev or /proc) is written in place; only a failure of that write
//    says the file may be incomplete;
//  - a file this user may not write is refused with the system's reason, and so is one whose
//    mode bits deny this user write permission even where the system would allow it (root);
//  - a character device or a pipe is written like a stream (a pipe nobody reads is refused at
//    once), never replaced; a folder, a block device or a socket is refused.
// Failures are EFileError naming the path and the reason.
void WriteRecordFile(const std::string& path, const TConfigRecord& record);

} // namespace kestravo
