// The real update engine behind the Windows window's WindowEngine interface. The engine's
// listener posts the registered "CSerialWnd_DefaultComMsg" to the window object below, which
// hands it on to the window (DialogHost::PostSerialMessage) and never blocks.
#include <utility>

#include "flash/UpdateEngine.h"
#include "platform/Clock.h"
#include "platform/Messages.h"
#include "win32/WindowEngine.h"

namespace pellorin::win32 {
namespace {

class SerialMessageTarget : public platform::WindowObject, public platform::MessageTarget {
  public:
    explicit SerialMessageTarget(PostSerialMessageFn post)
        : m_message(platform::RegisterWindowMessage("CSerialWnd_DefaultComMsg")),
          m_post(std::move(post)) {}

    platform::HWND GetSafeHwnd() override { return this; }
    bool Post(UINT message, WPARAM wParam, LPARAM lParam) noexcept override {
        if (message != m_message) return false;
        try {
            return m_post(wParam, lParam);
        } catch (...) {
            return false;
        }
    }

  private:
    const UINT m_message;
    const PostSerialMessageFn m_post;
};

class UpdateEngineAdapter : public WindowEngine {
  public:
    UpdateEngineAdapter(Console& console, FlashCounters& counters, PostSerialMessageFn post,
                        const std::string& imageFolder)
        : m_target(std::move(post)), m_engine(console, m_target, counters) {
        // FindImage looks beside this path.
        if (!imageFolder.empty()) m_engine.Link.ModulePath = imageFolder + "/Pellorin";
    }

    bool StartJob(int jobMode, bool negotiateBaud, const std::string& portName,
                  const std::string& portIdentity) override {
        return m_engine.Link.StartJob(jobMode, negotiateBaud, portName, portIdentity);
    }
    bool JobRunning() const override { return m_engine.Link.JobRunning(); }
    bool WaitForJob(unsigned timeoutMs) override { return m_engine.Link.WaitForJob(timeoutMs); }
    void Shutdown() override { m_engine.Link.Shutdown(); }
    void SetJobMode(int jobMode) override { m_engine.Link.JobMode.store(jobMode); }
    bool PortOpen() const override { return m_engine.Link.Port.IsOpen(); }
    void SetImageFolder(const std::string& folder) override {
        m_engine.Link.SetImageFolder(folder);
    }
    std::string ImageFolder() const override { return m_engine.Link.ImageFolder(); }
    std::vector<std::string> ImageSearchFolders() const override {
        return m_engine.Link.ImageSearchFolders();
    }
    std::string RecordsFolder() const override { return m_engine.Link.Record.Folder(); }
    void OnSerialMessage(std::uintptr_t wParam, std::intptr_t lParam) override {
        m_engine.Link.OnSerialMessage(static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam));
    }
    void ClosePort() override { m_engine.Link.ClosePort(); }
    void CountImageBlocks() override { m_engine.Flash.CountImageBlocks(); }
    std::uint32_t Now() const override { return platform::timeGetTime(); }
    unsigned RealPeriodMs(unsigned periodMs) const override {
        const auto real =
            std::chrono::duration_cast<std::chrono::milliseconds>(platform::RealDuration(periodMs));
        return static_cast<unsigned>(real.count());
    }

  private:
    SerialMessageTarget m_target;
    UpdateEngine m_engine;  // after the target it posts to; destroyed (and shut down) first
};

}  // namespace

std::unique_ptr<WindowEngine> MakeUpdateEngine(Console& console, FlashCounters& counters,
                                               PostSerialMessageFn post,
                                               const std::string& imageFolder) {
    return std::make_unique<UpdateEngineAdapter>(console, counters, std::move(post), imageFolder);
}

}  // namespace pellorin::win32
