// The driver's side of the contract with the kernel transport driver: verify
// and acquire an interface when a client opens a port, put a port's block into
// streaming with a long-pending start request, and take it out again.
#include "hwlink/hwlink.h"

static HANDLE OpenDeviceFile(HardwareInstance* pInstance) {
    return CreateFileW(pInstance->szDevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

static HANDLE NewRequestEvent() {
    return CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

// Claims hDevice for one control operation: only one thread of the process may
// hold it at a time. Tries cTries times, yielding between tries; answers FALSE
// (and closes hFile) when another thread still holds it.
static BOOL ClaimDevice(HardwareInstance* pInstance, HANDLE hFile, DWORD cTries) {
    PVOID volatile* pp = const_cast<PVOID volatile*>(&pInstance->hDevice);
    for (DWORD i = 0; i < cTries; ++i) {
        if (InterlockedCompareExchangePointer(pp, hFile, nullptr) == nullptr) return TRUE;
        SwitchToThread();
    }
    CloseHandle(hFile);
    return FALSE;
}

// An acquisition racing another answers busy at once; a stop waits its turn,
// since giving up would leave the stream running with no user.
constexpr DWORD kClaimOnce = 1;
constexpr DWORD kClaimPatiently = 100000;

// Ends a control operation: closes the device handle and the request event.
// A request still pending keeps its own reference to the event.
static void EndControl(HardwareInstance* pInstance) {
    HANDLE hFile = pInstance->hDevice;
    CloseHandle(pInstance->ovl.hEvent);
    pInstance->ovl.hEvent = nullptr;
    InterlockedExchangePointer(const_cast<PVOID volatile*>(&pInstance->hDevice), nullptr);
    CloseHandle(hFile);
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
    DeviceIoControl(pInstance->hDevice, IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, abDescriptor,
                    sizeof abDescriptor, &pInstance->dwBytesReturned, &pInstance->ovl);
    WORD wVendor = static_cast<WORD>(abDescriptor[kUsbDescVendorOffset] |
                                     (abDescriptor[kUsbDescVendorOffset + 1] << 8));
    WORD wProduct = static_cast<WORD>(abDescriptor[kUsbDescProductOffset] |
                                      (abDescriptor[kUsbDescProductOffset + 1] << 8));
    return pInstance->dwBytesReturned == kUsbDeviceDescriptorBytes &&
           wVendor == kExpectedVendorId && wProduct == kExpectedProductId;
}

DWORD AcquireHwPort(HardwareInstance* pInstance) {
    // Already acquired by this process: count one more client. The count only
    // moves by compare-and-swap so a racing release to 0 is never missed.
    for (;;) {
        LONG c = pInstance->cAcquire;
        if (c == 0) break;
        if (InterlockedCompareExchange(&pInstance->cAcquire, c + 1, c) == c)
            return MMSYSERR_NOERROR;
    }
    if (pInstance->hDevice != nullptr) return MMSYSERR_ERROR;
    HANDLE hFile = OpenDeviceFile(pInstance);
    if (hFile == INVALID_HANDLE_VALUE) return MMSYSERR_ERROR;
    // Another thread in the middle of an acquisition or a stop answers busy.
    if (!ClaimDevice(pInstance, hFile, kClaimOnce)) return MMSYSERR_ERROR;
    pInstance->ovl.hEvent = NewRequestEvent();
    if (pInstance->ovl.hEvent == nullptr) {
        EndControl(pInstance);
        return MMSYSERR_ERROR;
    }
    if (!VerifyHwPort(pInstance)) {
        EndControl(pInstance);
        return MMSYSERR_ERROR;
    }
    InterlockedExchange(&pInstance->cAcquire, 1);
    // The first process in the system to hold the interface tells the kernel
    // side; the counter is shared memory, so the step must be indivisible.
    if (InterlockedIncrement(&SharedDataOfSystem()->cNtAcquire[pInstance->dwDevNode]) == 1) {
        DeviceIoControl(pInstance->hDevice, IOCTL_FIRST_ACQUIRE, nullptr, 0, nullptr, 0, nullptr,
                        &pInstance->ovl);
    }
    EndControl(pInstance);
    return MMSYSERR_NOERROR;
}

// Lowers *pc by one unless it is already 0; answers the new value, or -1 when
// it was 0.
static LONG DecrementAboveZero(LONG volatile* pc) {
    for (;;) {
        LONG c = *pc;
        if (c <= 0) return -1;
        if (InterlockedCompareExchange(pc, c - 1, c) == c) return c - 1;
    }
}

DWORD ReleaseHwPort(HardwareInstance* pInstance) {
    if (DecrementAboveZero(&pInstance->cAcquire) == 0)
        DecrementAboveZero(&SharedDataOfSystem()->cNtAcquire[pInstance->dwDevNode]);
    return 1;
}

void CloseFinishedStreamHandles(PortStream* pStream, BOOL fAll) {
    if (pStream->hStream == nullptr && pStream->hStreamEvent == nullptr) return;
    // The start request signals its event when it completes; until then the
    // handle carries the stream (possibly for other processes) and stays.
    if (!fAll && (pStream->hStreamEvent == nullptr ||
                  WaitForSingleObject(pStream->hStreamEvent, 0) != WAIT_OBJECT_0))
        return;
    if (pStream->hStream != nullptr) CloseHandle(pStream->hStream);
    if (pStream->hStreamEvent != nullptr) CloseHandle(pStream->hStreamEvent);
    pStream->hStream = nullptr;
    pStream->hStreamEvent = nullptr;
}

BOOL StartHwPortStreaming(PortStream* pStream, HardwareInstance* pInstance) {
    if (!pInstance->fEnabled) return 0;
    if (pStream->cOpen != 0) {
        pStream->cOpen++;
        return 1;
    }
    CloseFinishedStreamHandles(pStream, FALSE);
    // Taking the block and deciding whether another process already streams
    // it is one step under the lock, so it cannot interleave with a last
    // close elsewhere that is stopping the stream.
    CriticalSection(kCsEnter, pInstance);
    AllocateFIFO(pStream, pInstance);
    DWORD cRef = pStream->pFifo->cRef;
    CriticalSection(kCsLeave, pInstance);
    if (cRef > 1) {
        pStream->cOpen = 1;
        return 1;
    }
    HANDLE hFile = OpenDeviceFile(pInstance);
    if (hFile == INVALID_HANDLE_VALUE) {
        FreeFIFO(pStream, pInstance);
        return 0;
    }
    HANDLE hEvent = NewRequestEvent();
    if (hEvent == nullptr) {
        CloseHandle(hFile);
        FreeFIFO(pStream, pInstance);
        return 0;
    }
    // A request this process issued earlier and that has ended since may still
    // hold its handles: they go before the new ones take their place.
    CloseFinishedStreamHandles(pStream, TRUE);
    pInstance->ovl.hEvent = hEvent;
    pStream->hStream = hFile;
    pStream->hStreamEvent = hEvent;

    LONG lPipe = GetUSBPipeNumber(pStream, pInstance);
    StreamStartRequest req = {static_cast<DWORD>(lPipe), kFifoWords, 0};
    pInstance->dwBytesReturned = 0;
    BOOL fPending = FALSE;
    if (lPipe != -1) {
        BOOL fDone =
            DeviceIoControl(pStream->hStream, IOCTL_START_STREAM, &req, sizeof req, pStream->pFifo,
                            kFifoBlockBytes, &pInstance->dwBytesReturned, &pInstance->ovl);
        fPending = !fDone && GetLastError() == ERROR_IO_PENDING;
    }
    DWORD dwMagic = pStream->pFifo->dwMagic;
    if (fPending && dwMagic != MIDI_FIFO_MAGIC && dwMagic != 0) {
        pStream->cOpen = 1;
        return 1;
    }
    // Not pending with a cookie: a failed start. Closing the handle also ends
    // a request that is somehow still pending.
    CloseFinishedStreamHandles(pStream, TRUE);
    pInstance->ovl.hEvent = nullptr;
    FreeFIFO(pStream, pInstance);
    return 0;
}

BOOL StopHwPortStreaming(PortStream* pStream, HardwareInstance* pInstance) {
    if (pStream->cOpen == 0) return 0;
    pStream->cOpen--;
    if (pStream->cOpen > 0 || !pInstance->fEnabled) return 1;

    // Whether others still use the block, and stopping it when none does, is
    // one step under the lock: two processes leaving at once must not both
    // see the other and leave the stream running with no user.
    CriticalSection(kCsEnter, pInstance);
    if (pStream->pFifo != nullptr && pStream->pFifo->cRef > 1) {
        FreeFIFO(pStream, pInstance);
        CriticalSection(kCsLeave, pInstance);
        return 1;
    }
    HANDLE hFile = OpenDeviceFile(pInstance);
    if (hFile == INVALID_HANDLE_VALUE) {
        CriticalSection(kCsLeave, pInstance);
        return 0;
    }
    if (!ClaimDevice(pInstance, hFile, kClaimPatiently)) {
        CriticalSection(kCsLeave, pInstance);
        return 0;
    }
    pInstance->ovl.hEvent = NewRequestEvent();
    if (pInstance->ovl.hEvent == nullptr) {
        EndControl(pInstance);
        CriticalSection(kCsLeave, pInstance);
        return 0;
    }
    if (pStream->pFifo != nullptr) {
        DWORD dwCookie = pStream->pFifo->dwMagic;
        if (dwCookie != 0)
            DeviceIoControl(pInstance->hDevice, IOCTL_STOP_STREAM, &dwCookie, sizeof dwCookie,
                            nullptr, 0, nullptr, &pInstance->ovl);
    }
    EndControl(pInstance);
    FreeFIFO(pStream, pInstance);
    CriticalSection(kCsLeave, pInstance);

    // The start request completes when the kernel side has ended the stream.
    // A process that only joined another's stream holds no event.
    if (pStream->hStreamEvent != nullptr) WaitForSingleObject(pStream->hStreamEvent, INFINITE);
    CloseFinishedStreamHandles(pStream, TRUE);
    return 1;
}
