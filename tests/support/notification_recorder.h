// A recorder of the notifications a driver handle of either direction
// receives through CALLBACK_FUNCTION, for tests that talk to the driver's
// entry points directly.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "platform/platform.h"

namespace vt {

struct Notification {
    HDRVR hDrv;
    UINT uMsg;
    DWORD_PTR dwInstance;
    DWORD_PTR dwParam1;
    DWORD_PTR dwParam2;
};

// A test opens with Callback() as dwCallback (or Desc() as the open's
// MIDIOPENDESC) and CALLBACK_FUNCTION in the flags; the recorder's address
// travels in dwInstance, so each recorder sees only the handles opened with
// it. The hook, when set, runs inside the callback (on whatever thread
// delivers it), after the notification was recorded.
class NotificationRecorder {
  public:
    static void CALLBACK Receive(HDRVR hDrv, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1,
                                 DWORD_PTR dw2) {
        auto* self = reinterpret_cast<NotificationRecorder*>(dwUser);
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->seen_.push_back({hDrv, uMsg, dwUser, dw1, dw2});
        }
        if (self->hook) self->hook(uMsg, dw1, dw2);
    }
    DWORD_PTR Callback() const { return reinterpret_cast<DWORD_PTR>(&Receive); }
    DWORD_PTR Instance() { return reinterpret_cast<DWORD_PTR>(this); }
    MIDIOPENDESC Desc(HMIDI hMidi) {
        MIDIOPENDESC desc = {};
        desc.hMidi = hMidi;
        desc.dwCallback = Callback();
        desc.dwInstance = Instance();
        return desc;
    }

    std::vector<Notification> Seen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_.size();
    }
    std::vector<UINT> Messages() {
        std::vector<UINT> out;
        for (const Notification& n : Seen())
            out.push_back(n.uMsg);
        return out;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.clear();
    }

    std::function<void(UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2)> hook;

  private:
    std::mutex mutex_;
    std::vector<Notification> seen_;
};

}  // namespace vt
