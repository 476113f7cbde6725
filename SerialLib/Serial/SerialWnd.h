// CSerialWnd: a listening serial port that posts one window message per port event.
//
// The message's WPARAM holds the event bits in its low word and the error bits (CE_) in its high
// word; its LPARAM is the value given to Open. Posting never waits for the window's thread.
#pragma once

#include <atomic>

#include "SerialLib/Serial/SerialEx.h"
#include "platform/Messages.h"

class CSerialWnd : public CSerialEx {
  public:
    // The id of the registered message "CSerialWnd_DefaultComMsg", fixed before main() runs.
    static const UINT DefaultComMsg;

    CSerialWnd() = default;
    ~CSerialWnd() override;

    LONG Close() override;
    void OnComEvent(DWORD dwEvent, DWORD dwError) override;

    using CSerialEx::Open;
    // Opens the port and starts the listener once the destination is set, so the first event
    // already has it. nComMsg 0 selects DefaultComMsg.
    [[nodiscard]] virtual LONG Open(const char* lpszDevice, platform::HWND hwndDest,
                                    UINT nComMsg = 0, LPARAM lParam = 0, DWORD dwInQueue = 0,
                                    DWORD dwOutQueue = 0);

  protected:
    // What the destructor does when the listener still runs: the trace and a full close. The
    // most derived class calls it first thing in its destructor, so that the listener's
    // virtual calls never meet an object that is already being taken apart.
    void CloseOnDestruction();

    std::atomic<platform::HWND> m_hwndTarget{nullptr};
    std::atomic<UINT> m_nNotifyMsg{0};
    std::atomic<LPARAM> m_lNotifyParam{0};
};
