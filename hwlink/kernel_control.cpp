// The driver's side of the contract with the kernel transport driver: verify
// and acquire an interface when a client opens a port, put a port's block into
// streaming with a long-pending start request, and take it out again.
//
// Each instance's acquisition count and each stream's open count and request
// handles change under the instance's control lock, so any number of threads
// may open and close ports of one interface at once: a thread that finds an
// acquisition or a stop under way waits for it instead of being refused. Every
// request completes into an overlapped record and an event of its own.
#include "hwlink/hwlink.h"

// How long a control request that the kernel side keeps pending is waited
// for before it is cancelled: the kernel side answers them at once.
constexpr DWORD kControlWaitMs = 2000;
// How long a stop waits for its stream to end: the kernel side first sends
// what the ring still holds, at most a full ring (about a second at the MIDI
// wire rate). A stream that does not end in time is given up.
constexpr DWORD kStreamEndWaitMs = 5000;
// How long an open waits for a stop of its stream under way elsewhere: longer
// than any stop takes.
constexpr DWORD kStopUnderWayWaitMs = kStreamEndWaitMs + 2 * kControlWaitMs;

static HANDLE OpenDeviceFile(HardwareInstance* pInstance) {
    return CreateFileW(pInstance->szDevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

static HANDLE NewRequestEvent() {
    return CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

// One control request on an open device file, waited for: its overlapped
// record lives on this frame, so the request must be over before the frame
// ends. One still pending after kControlWaitMs is cancelled by closing the
// file, and *phFile becomes null. Answers TRUE when the request succeeded;
// *pcbReturned (when given) receives the bytes it returned.
static BOOL DeviceRequest(HANDLE* phFile, DWORD dwCode, LPVOID pIn, DWORD cbIn, LPVOID pOut,
                          DWORD cbOut, DWORD* pcbReturned) {
    OVERLAPPED ovl = {};
    ovl.hEvent = NewRequestEvent();
    if (ovl.hEvent == nullptr) return FALSE;
    DWORD cb = 0;
    BOOL fDone = DeviceIoControl(*phFile, dwCode, pIn, cbIn, pOut, cbOut, &cb, &ovl);
    if (!fDone && GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(ovl.hEvent, kControlWaitMs) != WAIT_OBJECT_0) {
            CloseHandle(*phFile);
            *phFile = nullptr;
            while (!HasOverlappedIoCompleted(&ovl))
                WaitForSingleObject(ovl.hEvent, kControlWaitMs);
        }
        cb = static_cast<DWORD>(ovl.InternalHigh);
        fDone = ovl.Internal == 0;  // STATUS_SUCCESS
    }
    CloseHandle(ovl.hEvent);
    if (pcbReturned != nullptr) *pcbReturned = fDone ? cb : 0;
    return fDone;
}

LONG GetUSBPipeNumber(PortStream* pStream, HardwareInstance* pInstance) {
    switch (StreamIndex(pStream, pInstance)) {
        case kStreamOutA:
            return kPipeOutA;
        case kStreamOutB:
            return kPipeOutB;
        case kStreamIn:
            return kPipeIn;
        default:  // not a stream of this instance
            return -1;
    }
}

BOOL VerifyHwPort(HardwareInstance* pInstance) {
    if (pInstance->hDevice == nullptr) return 0;
    BYTE abDescriptor[kUsbDeviceDescriptorBytes] = {};
    pInstance->dwBytesReturned = 0;
    DeviceRequest(&pInstance->hDevice, IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, abDescriptor,
                  sizeof abDescriptor, &pInstance->dwBytesReturned);
    WORD wVendor = static_cast<WORD>(abDescriptor[kUsbDescVendorOffset] |
                                     (abDescriptor[kUsbDescVendorOffset + 1] << 8));
    WORD wProduct = static_cast<WORD>(abDescriptor[kUsbDescProductOffset] |
                                      (abDescriptor[kUsbDescProductOffset + 1] << 8));
    return pInstance->dwBytesReturned == kUsbDeviceDescriptorBytes &&
           wVendor == kExpectedVendorId && wProduct == kExpectedProductId;
}

// Lowers *pc by one unless it is already 0.
static void DecrementAboveZero(LONG volatile* pc) {
    for (;;) {
        LONG c = *pc;
        if (c <= 0 || InterlockedCompareExchange(pc, c - 1, c) == c) return;
    }
}

static DWORD AcquireLocked(HardwareInstance* pInstance) {
    if (pInstance->cAcquire != 0) {
        pInstance->cAcquire++;
        return MMSYSERR_NOERROR;
    }
    HANDLE hFile = OpenDeviceFile(pInstance);
    if (hFile == INVALID_HANDLE_VALUE) return MMSYSERR_ERROR;
    pInstance->hDevice = hFile;
    DWORD dwResult = MMSYSERR_ERROR;
    if (VerifyHwPort(pInstance)) {
        pInstance->cAcquire = 1;
        // The first process in the system to hold the interface tells the
        // kernel side; the counter is shared memory, so the step is
        // indivisible.
        LONG volatile* pcNt = &SharedDataOfSystem()->cNtAcquire[pInstance->dwDevNode];
        if (InterlockedIncrement(pcNt) == 1 && pInstance->hDevice != nullptr)
            DeviceRequest(&pInstance->hDevice, IOCTL_FIRST_ACQUIRE, nullptr, 0, nullptr, 0,
                          nullptr);
        dwResult = MMSYSERR_NOERROR;
    }
    if (pInstance->hDevice != nullptr) CloseHandle(pInstance->hDevice);
    pInstance->hDevice = nullptr;
    return dwResult;
}

DWORD AcquireHwPort(HardwareInstance* pInstance) {
    EnterCriticalSection(&pInstance->csControl);
    DWORD dwResult = AcquireLocked(pInstance);
    LeaveCriticalSection(&pInstance->csControl);
    return dwResult;
}

DWORD ReleaseHwPort(HardwareInstance* pInstance) {
    EnterCriticalSection(&pInstance->csControl);
    if (pInstance->cAcquire > 0 && --pInstance->cAcquire == 0)
        DecrementAboveZero(&SharedDataOfSystem()->cNtAcquire[pInstance->dwDevNode]);
    LeaveCriticalSection(&pInstance->csControl);
    return 1;
}

void CloseFinishedStreamHandles(PortStream* pStream, BOOL fAll) {
    if (pStream->hStream == nullptr && pStream->hStreamEvent == nullptr) return;
    // Until its start request completes, the handle carries the stream
    // (possibly for other processes) and stays.
    if (!fAll && !HasOverlappedIoCompleted(&pStream->ovlStart)) return;
    // Closing the handle cancels a request still pending; the cancel writes
    // the request's record once more, which is waited for.
    if (pStream->hStream != nullptr) CloseHandle(pStream->hStream);
    if (pStream->hStreamEvent != nullptr) {
        while (!HasOverlappedIoCompleted(&pStream->ovlStart))
            WaitForSingleObject(pStream->hStreamEvent, kControlWaitMs);
        CloseHandle(pStream->hStreamEvent);
    }
    pStream->hStream = nullptr;
    pStream->hStreamEvent = nullptr;
    pStream->dwCookie = 0;
}

// Raises the stream's open count: both locks, so readers may hold either.
static void ChangeOpenCount(PortStream* pStream, HardwareInstance* pInstance, LONG lDelta) {
    CriticalSection(kCsEnter, pInstance);
    pStream->cOpen += lDelta;
    CriticalSection(kCsLeave, pInstance);
}

// The first client of this process on an output port: no handle of this
// process sends on it yet, and what running status its ring last received
// from this process is unknown (the block may be set up afresh, or other
// processes may have written since).
static void ForgetLastStatus(PortStream* pStream, HardwareInstance* pInstance) {
    UINT iStream = StreamIndex(pStream, pInstance);
    if (iStream == kStreamOutA || iStream == kStreamOutB)
        pInstance->abLastStatus[iStream - kStreamOutA] = 0;
}

// Takes the stream's block for this process, after any stop of its stream
// that is under way, here or in another process, has ended: until then the
// block is neither joined nor set up afresh. The control lock is given up
// while it waits. Answers the block's user count afterwards; 0 when the
// stream is already open in this process (and was joined: cOpen raised), or
// when a stop in this process outlasted the wait.
static DWORD TakeBlock(PortStream* pStream, HardwareInstance* pInstance, BOOL* pfJoined) {
    DWORD dwStart = GetTickCount();
    for (;;) {
        if (pStream->cOpen != 0) {
            ChangeOpenCount(pStream, pInstance, 1);
            *pfJoined = TRUE;
            return 0;
        }
        BOOL fWaitedLongest = GetTickCount() - dwStart > kStopUnderWayWaitMs;
        if (!pStream->fStopping) {
            CriticalSection(kCsEnter, pInstance);
            DWORD* pdwStopping = StoppingMarkOfBlock(pStream, pInstance);
            // A mark older than any stop takes was left by a process that
            // died while stopping: the stream it stopped is over.
            if (pdwStopping != nullptr && fWaitedLongest) *pdwStopping = 0;
            DWORD cRef = 0;
            if (pdwStopping == nullptr || *pdwStopping == 0) {
                AllocateFIFO(pStream, pInstance);
                cRef = pStream->pFifo->cRef;
                // Another process streams this block: this process joins it.
                if (cRef > 1) {
                    ForgetLastStatus(pStream, pInstance);
                    pStream->cOpen = 1;
                }
            }
            CriticalSection(kCsLeave, pInstance);
            if (cRef != 0) return cRef;
        }
        if (fWaitedLongest) return 0;
        LeaveCriticalSection(&pInstance->csControl);
        Sleep(1);
        EnterCriticalSection(&pInstance->csControl);
    }
}

static BOOL StartLocked(PortStream* pStream, HardwareInstance* pInstance) {
    BOOL fJoined = FALSE;
    DWORD cRef = TakeBlock(pStream, pInstance, &fJoined);
    if (fJoined) return 1;
    if (cRef == 0) return 0;
    if (cRef > 1) {
        // Joined another process's stream: a request this process issued
        // earlier and that has ended since gives its handles back.
        CloseFinishedStreamHandles(pStream, FALSE);
        return 1;
    }

    HANDLE hFile = OpenDeviceFile(pInstance);
    HANDLE hEvent = hFile != INVALID_HANDLE_VALUE ? NewRequestEvent() : nullptr;
    if (hEvent == nullptr) {
        if (hFile != INVALID_HANDLE_VALUE) CloseHandle(hFile);
        FreeFIFO(pStream, pInstance);
        return 0;
    }
    // A request this process issued earlier and that has ended since may still
    // hold its handles: they go before the new ones take their place.
    CloseFinishedStreamHandles(pStream, TRUE);
    pStream->hStream = hFile;
    pStream->hStreamEvent = hEvent;
    OVERLAPPED ovl = {};
    ovl.hEvent = hEvent;
    pStream->ovlStart = ovl;

    LONG lPipe = GetUSBPipeNumber(pStream, pInstance);
    StreamStartRequest req = {static_cast<DWORD>(lPipe), kFifoWords, 0};
    pInstance->dwBytesReturned = 0;
    BOOL fPending = FALSE;
    if (lPipe != -1) {
        BOOL fDone =
            DeviceIoControl(pStream->hStream, IOCTL_START_STREAM, &req, sizeof req, pStream->pFifo,
                            kFifoBlockBytes, &pInstance->dwBytesReturned, &pStream->ovlStart);
        fPending = !fDone && GetLastError() == ERROR_IO_PENDING;
    }
    DWORD dwMagic = pStream->pFifo->dwMagic;
    if (fPending && dwMagic != MIDI_FIFO_MAGIC && dwMagic != 0) {
        pStream->dwCookie = dwMagic;
        ForgetLastStatus(pStream, pInstance);
        ChangeOpenCount(pStream, pInstance, 1);
        return 1;
    }
    // Not pending with a cookie: a failed start. Closing the handle also ends
    // a request that is somehow still pending.
    CloseFinishedStreamHandles(pStream, TRUE);
    FreeFIFO(pStream, pInstance);
    return 0;
}

BOOL StartHwPortStreaming(PortStream* pStream, HardwareInstance* pInstance) {
    if (!pInstance->fEnabled) return 0;
    EnterCriticalSection(&pInstance->csControl);
    BOOL fStarted = StartLocked(pStream, pInstance);
    LeaveCriticalSection(&pInstance->csControl);
    return fStarted;
}

// Waits until the stream that carries dwCookie has ended: the start request
// of this process that carries it completes or, when another process carries
// it, the kernel side writes the block's word 0 afresh.
static void AwaitStreamEnd(PortStream* pStream, DWORD dwCookie) {
    if (pStream->hStreamEvent != nullptr && pStream->dwCookie == dwCookie) {
        WaitForSingleObject(pStream->hStreamEvent, kStreamEndWaitMs);
        return;
    }
    DWORD dwStart = GetTickCount();
    while (pStream->pFifo->dwMagic == dwCookie && GetTickCount() - dwStart < kStreamEndWaitMs)
        Sleep(1);
}

BOOL StopHwPortStreaming(PortStream* pStream, HardwareInstance* pInstance) {
    EnterCriticalSection(&pInstance->csControl);
    if (pStream->cOpen == 0) {
        LeaveCriticalSection(&pInstance->csControl);
        return 0;
    }
    // Not the last client of this process, or a disabled instance: only
    // counted (a disabled instance keeps its block until it is removed).
    if (pStream->cOpen > 1 || !pInstance->fEnabled) {
        ChangeOpenCount(pStream, pInstance, -1);
        LeaveCriticalSection(&pInstance->csControl);
        return 1;
    }
    // Whether other processes still use the block, and marking its stream as
    // stopping when none does, is one step under the named mutex: two
    // processes leaving at once must not both leave it running, and no
    // process may join or set up a block whose stream is ending.
    CriticalSection(kCsEnter, pInstance);
    pStream->cOpen = 0;
    DWORD* pdwStopping = StoppingMarkOfBlock(pStream, pInstance);
    DWORD dwCookie = 0;
    BOOL fLeft = pStream->pFifo == nullptr || pStream->pFifo->cRef > 1;
    if (fLeft) {
        // The stream runs on for the others; a start request this process
        // carries stays pending on its handle.
        FreeFIFO(pStream, pInstance);
    } else {
        dwCookie = pStream->pFifo->dwMagic;
        if (pdwStopping != nullptr) *pdwStopping = GetCurrentProcessId();
        pStream->fStopping = 1;
    }
    CriticalSection(kCsLeave, pInstance);
    LeaveCriticalSection(&pInstance->csControl);
    if (fLeft) return 1;

    // The kernel side is asked and waited for without the locks: the ring is
    // sent first, and other streams of the instance go on meanwhile.
    if (dwCookie != 0 && dwCookie != MIDI_FIFO_MAGIC) {
        HANDLE hFile = OpenDeviceFile(pInstance);
        if (hFile != INVALID_HANDLE_VALUE) {
            DeviceRequest(&hFile, IOCTL_STOP_STREAM, &dwCookie, sizeof dwCookie, nullptr, 0,
                          nullptr);
            if (hFile != nullptr) CloseHandle(hFile);
        }
        AwaitStreamEnd(pStream, dwCookie);
    }

    EnterCriticalSection(&pInstance->csControl);
    CriticalSection(kCsEnter, pInstance);
    FreeFIFO(pStream, pInstance);
    if (pdwStopping != nullptr) *pdwStopping = 0;
    CriticalSection(kCsLeave, pInstance);
    CloseFinishedStreamHandles(pStream, TRUE);
    pStream->fStopping = 0;
    LeaveCriticalSection(&pInstance->csControl);
    return 1;
}
