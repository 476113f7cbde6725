// The folder the update records are kept in: where it is, created private to its user, checked
// before every record is written into it, and pruned to the newest records. One backend per OS.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace pellorin {

// $XDG_STATE_HOME/pellorin/records, by default ~/.local/state/pellorin/records (the home from
// the account when HOME is not set); %LOCALAPPDATA%\Pellorin\records on Windows. "" when no
// home of the user's own can be found: records are then off rather than written to a folder
// that others share.
[[nodiscard]] std::string DefaultRecordsFolder();

// True for the names records are given, e.g. "20261207-104012.345Z-COM1.txt" and
// "20261207-104012.345Z-COM1-2.txt", and for no other.
[[nodiscard]] bool IsRecordName(const std::string& name);

class RecordsFolder {
  public:
    RecordsFolder() = default;
    ~RecordsFolder() { Close(); }
    RecordsFolder(const RecordsFolder&) = delete;
    RecordsFolder& operator=(const RecordsFolder&) = delete;

    // Creates the folder when it is missing (readable by its user only) and takes it: refused
    // when it is a symbolic link or belongs to another user. False with the reason in Problem().
    [[nodiscard]] bool Open(const std::string& path);
    [[nodiscard]] const std::string& Problem() const { return m_problem; }
    // A new record file in the folder, for writing, readable by its user only; nullptr when it
    // cannot be made (errno EEXIST when the name is taken).
    [[nodiscard]] std::FILE* Create(const std::string& name);
    // The path of `name` in the folder, with the system's separator.
    [[nodiscard]] std::string PathOf(const std::string& name) const;
    // Writes what `file` holds in its buffers to the disk itself; false when that failed.
    [[nodiscard]] static bool Sync(std::FILE* file);
    // Deletes the oldest records while more than `keep` are there: only regular files whose
    // names are records' names, never a link, a folder or another file.
    void Prune(std::size_t keep);
    // Lets the folder go (between jobs nothing of it is held open).
    void Close();

  private:
    std::string m_path;
    std::string m_problem;
    int m_fd = -1;  // POSIX: the folder, opened once and used for everything in it
};

}  // namespace pellorin
