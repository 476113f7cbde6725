// The reasons a file is not taken as an image, in the operator's words.
#include "platform/RegularFile.h"

namespace platform {

const char* DescribeRefusal(FileRefusal refusal) {
    switch (refusal) {
        case FileRefusal::None:
            return "";
        case FileRefusal::Missing:
            return "does not exist";
        case FileRefusal::Folder:
            return "is a folder, not a file";
        case FileRefusal::Fifo:
            return "is a named pipe, not a file";
        case FileRefusal::Device:
            return "is a device, not a file";
        case FileRefusal::Socket:
            return "is a socket, not a file";
        case FileRefusal::Other:
            return "is not a regular file";
        case FileRefusal::Unreadable:
            break;
    }
    return "cannot be read";
}

}  // namespace platform
