// Opening a file that must be a plain file on disk (a firmware image): a folder, a named pipe, a
// device or a socket is refused with its kind, and nothing waits on the way (opening a FIFO with
// no writer, or a terminal, would otherwise block, and reading /dev/zero never ends). One backend
// per OS.
#pragma once

#include <cstdio>
#include <string>

namespace platform {

enum class FileRefusal {
    None,        // opened
    Missing,     // no such file
    Folder,      // a folder
    Fifo,        // a named pipe
    Device,      // a character or block device
    Socket,      // a socket
    Other,       // anything else that is not a regular file
    Unreadable,  // a regular file that could not be opened (permissions, ...)
};

// Opens `path` for reading in binary mode when it is a regular file; nullptr otherwise, with the
// reason in `refusal` (when given). The check is made on the file opened, so a file swapped for
// something else in between is refused too.
[[nodiscard]] std::FILE* OpenRegularFile(const std::string& path, FileRefusal* refusal = nullptr);

// The reason as an operator reads it after the file's name, e.g. "is a folder, not a file".
[[nodiscard]] const char* DescribeRefusal(FileRefusal refusal);

}  // namespace platform
