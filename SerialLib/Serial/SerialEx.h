// CSerialEx: a serial port opened in overlapped mode with a listener thread that waits for port
// events and hands each one, with the port's error bits, to OnComEvent.
//
// The listener calls only WaitEvent, EndWait, GetEventType, ClearCommError and OnComEvent; no
// wait of its own outlasts a stop (a wait may last until the reader has taken bytes already
// reported, and StopListener's mask change ends that too), so Close may run on any thread but
// the listener's own. A wait
// that the port's device ends by going away (ERROR_DEVICE_NOT_CONNECTED) ends the listener with
// one last OnComEvent(EV_ERR, CE_IOE). A stop is
// never missed: StopListener's mask change ends the listener's wait; if the listener is between
// two waits at that moment, the change stays pending on Linux and ends the next wait at once,
// and on Windows StopListener repeats it until the listener has ended.
// The listener makes virtual calls on the object, so the most derived class must stop it at the
// start of its own destructor (CDeviceSerial does); a base destructor would run too late.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "SerialLib/Serial/Serial.h"
#include "platform/Event.h"

class CSerialEx : public CSerial {
  public:
    CSerialEx() = default;
    ~CSerialEx() override;

    // Opens in overlapped mode; starts the listener when fStartListener is true.
    [[nodiscard]] LONG Open(const char* lpszDevice, DWORD dwInQueue = 0, DWORD dwOutQueue = 0,
                            bool fStartListener = false) override;
    // Stops the listener, then closes the port.
    LONG Close() override;

    [[nodiscard]] virtual LONG StartListener();
    // Ends the listener and waits for its thread. The wait is not cut short by dwTimeout: the
    // listener ends promptly on every stop, and a thread left running would outlive the object.
    virtual LONG StopListener(DWORD dwTimeout = INFINITE);

    // Called on the listener thread once per event inside the mask.
    virtual void OnComEvent(DWORD dwEvent, DWORD dwError) = 0;

  protected:
    // A listener thread exists (running, or ended on an error and not yet stopped).
    [[nodiscard]] bool HasListener();
    LONG ThreadProc(platform::Event& evtListener);

    std::atomic<bool> m_fStopping{false};
    std::thread m_hListener;                          // guarded by m_mtxListener
    std::unique_ptr<platform::Event> m_hevtListener;  // guarded by m_mtxListener

  private:
    std::mutex m_mtxListener;
    platform::Event m_evtListenerEnded;  // set when ThreadProc has returned
};
