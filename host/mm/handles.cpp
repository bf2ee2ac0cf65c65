// The table of open MIDI handles (what makes a handle valid), and the open,
// close and messages both directions share.
#include <mutex>
#include <new>
#include <unordered_set>

#include "host/mm/layer.h"

namespace vtmm {
namespace {

// Guards the set only; never held while the driver runs.
std::mutex gMutex;
std::unordered_set<const void*>& Table() {
    static auto* table = new std::unordered_set<const void*>;  // outlives exit-time users
    return *table;
}

}  // namespace

Handle* NewHandle(uint32_t dwMagic, UINT uDeviceID, Stream* pStream) {
    Handle* p = new (std::nothrow) Handle{dwMagic, uDeviceID, 0, pStream, false};
    if (!p) return nullptr;
    std::lock_guard<std::mutex> lock(gMutex);
    try {
        Table().insert(p);
    } catch (const std::bad_alloc&) {
        delete p;
        return nullptr;
    }
    return p;
}

void DeleteHandle(Handle* pHandle) {
    {
        std::lock_guard<std::mutex> lock(gMutex);
        Table().erase(pHandle);
    }
    pHandle->dwMagic = 0;
    delete pHandle;
}

Handle* FindHandle(const void* h, uint32_t dwMagic) {
    if (!h) return nullptr;
    std::lock_guard<std::mutex> lock(gMutex);
    if (!Table().count(h)) return nullptr;
    // Only registered addresses are read, so a stale or foreign value is
    // refused without being touched.
    Handle* p = static_cast<Handle*>(const_cast<void*>(h));
    return p->dwMagic == dwMagic ? p : nullptr;
}

Handle* FindOutput(const void* h) {
    Handle* p = FindHandle(h, kOutMagic);
    return p ? p : FindHandle(h, kStreamMagic);
}

UINT OpenHandleCount() {
    std::lock_guard<std::mutex> lock(gMutex);
    return static_cast<UINT>(Table().size());
}

DWORD SendToDriver(const Handle* pHandle, UINT uMsg, DWORD_PTR dwParam1, DWORD_PTR dwParam2) {
    return pHandle->dwMagic == kInMagic
               ? MidMessage(pHandle->uDeviceID, uMsg, pHandle->dwDriverUser, dwParam1, dwParam2)
               : ModMessage(pHandle->uDeviceID, uMsg, pHandle->dwDriverUser, dwParam1, dwParam2);
}

MMRESULT OpenHandle(uint32_t dwMagic, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                    DWORD fdwOpen, Handle** ppHandle, Stream* pStream) {
    if (MMRESULT r = CheckCallbackFlags(fdwOpen)) return r;
    // No mapper is installed: winmm answers so for the mapper's ID then.
    if (uDeviceID == MIDI_MAPPER) return MMSYSERR_BADDEVICEID;
    if (MMRESULT r = EnsureDriver()) return r;
    Handle* p = NewHandle(dwMagic, uDeviceID, pStream);
    if (!p) return MMSYSERR_NOMEM;
    MIDIOPENDESC desc{};
    desc.hMidi = reinterpret_cast<HMIDI>(p);
    desc.dwCallback = dwCallback;
    desc.dwInstance = dwInstance;
    // The open's dwUser is where the driver writes its per-handle value.
    auto dwUser = reinterpret_cast<DWORD_PTR>(&p->dwDriverUser);
    auto dwDesc = reinterpret_cast<DWORD_PTR>(&desc);
    DWORD r = dwMagic == kInMagic ? MidMessage(uDeviceID, MIDM_OPEN, dwUser, dwDesc, fdwOpen)
                                  : ModMessage(uDeviceID, MODM_OPEN, dwUser, dwDesc, fdwOpen);
    if (r != MMSYSERR_NOERROR) {
        DeleteHandle(p);
        return r;
    }
    *ppHandle = p;
    return MMSYSERR_NOERROR;
}

// Marks the handle's close as under way (fClosing) or over; false when it
// is to be marked and already was.
static bool MarkClosing(Handle* pHandle, bool fClosing) {
    std::lock_guard<std::mutex> lock(gMutex);
    if (fClosing && pHandle->fClosing) return false;
    pHandle->fClosing = fClosing;
    return true;
}

MMRESULT CloseMidiHandle(Handle* pHandle) {
    if (!pHandle) return MMSYSERR_INVALHANDLE;
    if (!MarkClosing(pHandle, true)) return MMSYSERR_INVALHANDLE;
    DWORD r = SendToDriver(pHandle, pHandle->dwMagic == kInMagic ? MIDM_CLOSE : MODM_CLOSE);
    if (r == MMSYSERR_NOERROR) {
        DeleteHandle(pHandle);
    } else {
        MarkClosing(pHandle, false);
    }
    return r;
}

MMRESULT GetDeviceID(const Handle* pHandle, UINT* puDeviceID) {
    if (!pHandle) return MMSYSERR_INVALHANDLE;
    if (!puDeviceID) return MMSYSERR_INVALPARAM;
    *puDeviceID = pHandle->uDeviceID;
    return MMSYSERR_NOERROR;
}

MMRESULT DriverMessage(const Handle* pHandle, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2) {
    if (!pHandle) return MMSYSERR_INVALHANDLE;
    if (uMsg < DRV_RESERVED) return MMSYSERR_INVALPARAM;
    return SendToDriver(pHandle, uMsg, dw1, dw2);
}

MMRESULT ThruConnection(const void* hSource, const void* hDestination) {
    if (!FindHandle(hSource, kInMagic) && !FindOutput(hSource)) return MMSYSERR_INVALHANDLE;
    if (!FindOutput(hDestination)) return MMSYSERR_INVALHANDLE;
    return MMSYSERR_NOTSUPPORTED;
}

}  // namespace vtmm
