// What the device link and the flash engine need from the operator's window, and nothing more.
//
// Threading contract: the job's worker thread makes these calls. An implementation carries each
// one out on its window thread while the worker waits, so the engine never touches a widget.
// Once a stop has been requested (the window is closing) every call returns at once without
// touching the window, and the worker unwinds.
#pragma once

#include <string>
#include <vector>

namespace pellorin {

// Control ids of the main window.
enum ControlId : int {
    IDC_UPDATE_DSP = 1,  // the dialog's OK command
    IDC_EXIT = 2,        // the dialog's Cancel command
    IDC_UPDATE_MCU = 3,
    IDC_LOG_LIST = 1001,
    IDC_PORT_COMBO = 1003,
    IDC_BAUD_COMBO = 1004,
    IDC_PROGRESS_BAR = 1013,
    IDC_PERCENT_TEXT = 1016,
    IDC_TOTAL_BLOCKS = 1017,
    IDC_WRITTEN_BLOCKS = 1018,
    IDC_ELAPSED_TEXT = 1019,
    IDC_REMAIN_TEXT = 1020,
    IDC_SPEED_TEXT = 1021,
    IDC_CURRENT_ID = 1031,
    IDC_READ_VERSION = 1035,
    IDC_RESET_EEPROM = 1036,
    // Beside the log: the folders the images are looked for in (both windows add it to the
    // template, between the progress bar and the log).
    IDC_IMAGE_FOLDERS = 1040,
};

// The image's path as LogList shows it: pieces of at most 50 characters (the first 150 characters
// shown), in the order they are inserted: last piece first, so that the list, read from the top,
// shows the path from its beginning.
[[nodiscard]] std::vector<std::string> ImagePathPieces(const std::string& path);

// The line beside the log that names the folders the images are looked for in, in order:
// "Images: /usr/bin/, then /home/op/firmware/".
[[nodiscard]] std::string ImageFoldersText(const std::vector<std::string>& folders);

// The message for an image a job did not find: the log's own line ("dsp.hex can not found!"),
// then where it looked and what to do, ending with `howToChoose` (where the window offers
// "Image folder…").
[[nodiscard]] std::string ImageNotFoundMessage(const std::string& fileName,
                                               const std::vector<std::string>& folders,
                                               const std::string& howToChoose);

// The main window's two timers.
constexpr int kEraseTimer = 1;    // erase pacing
constexpr int kProgramTimer = 2;  // programming clock

class Console {
  public:
    virtual ~Console() = default;

    // Inserts a line at the top of LogList (index 0): the newest line stands first.
    virtual void InsertLogLine(const std::string& line) = 0;
    // Shows the path of the image a job takes: inserts ImagePathPieces(path). A face that shows
    // its lines in the order they come, rather than newest on top, shows the path whole instead.
    virtual void InsertImagePath(const std::string& path) {
        for (const std::string& piece : ImagePathPieces(path)) InsertLogLine(piece);
    }
    // The progress bar's range and position. The range is 32-bit, so images of more than 32767
    // lines still fill the bar correctly.
    virtual void SetProgressRange(int lower, int upper) = 0;
    virtual void SetProgressPos(int position) = 0;
    // Starts (or restarts with a new period) and stops one of the window's timers.
    virtual void StartTimer(int timerId, unsigned periodMs) = 0;
    virtual void StopTimer(int timerId) = 0;
    // Enables or disables the job buttons 1, 3 and 1035; their visibility does not change.
    virtual void EnableJobButtons(bool enable) = 0;
    // The selected index of BaudCombo, -1 when text was typed into its edit field.
    virtual int SelectedBaudIndex() = 0;
    // A message box with an OK button; returns when the operator has closed it.
    virtual void ShowMessage(const std::string& text) = 0;
    // A job did not find its image `fileName` in `folders` (in the order it looked); the port is
    // closed by now. A window says where it looked and offers its folder chooser; returns when
    // the operator is done. A face without one has said it in the log already.
    virtual void ImageNotFound(const std::string& fileName,
                               const std::vector<std::string>& folders) {
        (void)fileName;
        (void)folders;
    }
    // True once the window is closing: the worker must stop touching the window and the port.
    [[nodiscard]] virtual bool StopRequested() const = 0;
};

}  // namespace pellorin
