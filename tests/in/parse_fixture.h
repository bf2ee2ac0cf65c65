// A fixture for input tests that need no kernel side: the instance of device
// node 0 with its input ring set up as an open stream would have it, clients
// built by hand and linked into its lists, and the manual clock. Handle
// messages go through midMessage, which needs some instance present at the
// last probe.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "host/os/host.h"
#include "tests/in/in_support.h"
#include "tests/support/loaded_driver.h"

namespace vt {

class ParseFixture : public ::testing::Test {
  protected:
    static constexpr DWORD kT0 = 100000;

    void SetUp() override {
        VtHostSetManualClock(TRUE);
        VtHostSetTime(kT0);
        pInstance = DevNodeToHardwareInstance(0);
        ASSERT_NE(nullptr, pInstance);
        ASSERT_TRUE(AllocateFIFO(&pInstance->aStreams[2], pInstance));
        pInstance->aStreams[2].cOpen = 1;
        pFifo = pInstance->aStreams[2].pFifo;
        ASSERT_NE(nullptr, pFifo);
        pFifo->dwMagic = 0xC00C1E02;  // a kernel side's cookie: streaming
        wSavedInstances = gwNumInstances;
        gwNumInstances = 1;
    }

    void TearDown() override {
        for (auto& c : clients)
            midRemoveClient(pInstance, c.pClient.get(), c.port);
        pInstance->aStreams[2].cOpen = 0;
        gwNumInstances = wSavedInstances;
        VtHostSetManualClock(FALSE);
    }

    // A client as midOpen leaves it: linked, open, not started.
    InputClient* AddClient(UINT port, NotificationRecorder* pRec = nullptr) {
        if (pRec == nullptr) pRec = &rec;
        clients.push_back({std::make_unique<InputClient>(), port});
        InputClient* pClient = clients.back().pClient.get();
        pClient->pInstance = pInstance;
        pClient->hMidi = reinterpret_cast<HMIDI>(0x1000 + clients.size());
        pClient->dwCallback = pRec->Callback();
        pClient->dwInstance = pRec->Instance();
        pClient->dwFlags = CALLBACK_FUNCTION;
        pClient->dwStartTime = timeGetTime();
        EXPECT_TRUE(midAddClient(pInstance, pClient, port));
        return pClient;
    }
    static HDRVR HandleOf(InputClient* pClient) { return reinterpret_cast<HDRVR>(pClient->hMidi); }

    DWORD Message(InputClient* pClient, UINT uMsg, DWORD_PTR dw1 = 0, DWORD_PTR dw2 = 0) {
        return midMessage(0, uMsg, reinterpret_cast<DWORD_PTR>(pClient), dw1, dw2);
    }
    void StartClient(InputClient* pClient) { EXPECT_EQ(0u, Message(pClient, MIDM_START)); }
    DWORD AddBuffer(InputClient* pClient, MIDIHDR* pHdr) {
        return Message(pClient, MIDM_ADDBUFFER, reinterpret_cast<DWORD_PTR>(pHdr), sizeof(MIDIHDR));
    }
    // Returns every buffer (stack-held buffers must not stay queued).
    void ResetClient(InputClient* pClient) { EXPECT_EQ(0u, Message(pClient, MIDM_RESET)); }

    void At(DWORD ms) { VtHostSetTime(kT0 + ms); }
    void Drain() { mmTimerIntr(0, 0, reinterpret_cast<DWORD_PTR>(pInstance), 0, 0); }
    void Send(UINT port, const char* hex) {
        PutBytes(pFifo, port, Hex(hex));
        Drain();
    }

    struct Held {
        std::unique_ptr<InputClient> pClient;
        UINT port;
    };

    LoadedDriver loaded;
    NotificationRecorder rec;
    HardwareInstance* pInstance = nullptr;
    MidiFifo* pFifo = nullptr;
    std::vector<Held> clients;
    WORD wSavedInstances = 0;
};

}  // namespace vt
