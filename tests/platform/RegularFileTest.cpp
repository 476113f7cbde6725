// Opening an image: only a regular file is taken, and nothing waits on the way (a named pipe with
// no writer, a device that never ends), on both systems.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/RegularFile.h"

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

using platform::FileRefusal;

namespace {

FileRefusal RefusalOf(const std::string& path) {
    FileRefusal refusal = FileRefusal::Other;
    std::FILE* file = platform::OpenRegularFile(path, &refusal);
    if (file != nullptr) std::fclose(file);
    return refusal;
}

}  // namespace

TEST(RegularFile, OnlyAPlainFileIsOpenedAndEveryOtherKindIsNamed) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() /
        ("pellorin-regular-" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(folder);
    const std::string file = (folder / "dsp.hex").string();
    std::ofstream(file) << ":00000001FF\n";

    EXPECT_EQ(RefusalOf(file), FileRefusal::None);
    EXPECT_EQ(RefusalOf(folder.string()), FileRefusal::Folder);
    EXPECT_EQ(RefusalOf((folder / "none.hex").string()), FileRefusal::Missing);
    EXPECT_STREQ(platform::DescribeRefusal(FileRefusal::Folder), "is a folder, not a file");
#ifdef _WIN32
    EXPECT_EQ(RefusalOf("NUL"), FileRefusal::Device);
    EXPECT_EQ(RefusalOf((folder / "com1.hex").string()), FileRefusal::Device)
        << "a device's name is never opened, whatever its folder and extension";
#else
    // A named pipe with no writer: an ordinary open would wait for one for good.
    const std::string fifo = (folder / "fifo.hex").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(RefusalOf(fifo), FileRefusal::Fifo);
    EXPECT_EQ(RefusalOf("/dev/zero"), FileRefusal::Device);
    EXPECT_EQ(RefusalOf("/dev/null"), FileRefusal::Device);
    const std::string socketPath = (folder / "s.hex").string();
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(RefusalOf(socketPath), FileRefusal::Socket);
    close(listener);
    // A link to a plain file is that file.
    const std::string link = (folder / "link.hex").string();
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    EXPECT_EQ(RefusalOf(link), FileRefusal::None);
#endif
    std::filesystem::remove_all(folder);
}
