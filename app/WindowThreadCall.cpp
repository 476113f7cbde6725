// Qt's wake-up for the window's calls.
#include "app/WindowThreadCall.h"

#include <QMetaObject>
#include <thread>

namespace pellorin {

WindowThreadCall::WindowThreadCall()
    : m_calls([this] { QMetaObject::invokeMethod(this, "RunPending", Qt::QueuedConnection); }) {
    m_calls.SetWindowThread(std::this_thread::get_id());
}

}  // namespace pellorin
