// A second process of the system for the core tests: it enables the driver's
// instances and runs one command a line from stdin, answering one line.
//   alloc NODE STREAM | free NODE STREAM | cref NODE STREAM  -> the block's cRef
//   churn NODE STREAM COUNT  -> COUNT allocate/free cycles, then "done"
//   lock | unlock            -> "locked" / "unlocked"
//   wait MS                  -> the result of waiting on the named mutex
//   probe                    -> the number of present instances
//   open NODE STREAM         -> acquire and start streaming: "<acquire> <start>"
//   close NODE STREAM        -> stop streaming and release: "<stop>"
//   fds                      -> this process's open descriptors
//   take NODE                -> the packets waiting in the node's input block,
//                               taken by the ring rules, as hex ("none" if empty)
//   exit
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "devices/devices.h"
#include "driver/driver.h"
#include "hwlink/hwlink.h"
#include "tests/support/support.h"

namespace {

PortStream* Stream(unsigned node, unsigned stream) {
    return &DevNodeToHardwareInstance(node)->aStreams[stream];
}

}  // namespace

int main() {
    DriverProc(0, nullptr, DRV_LOAD, 0, 0);
    DriverProc(0, nullptr, DRV_ENABLE, 0, 0);
    std::string line;
    std::cout << "ready" << std::endl;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        unsigned node = 0, stream = 0, count = 0;
        in >> cmd >> node >> stream >> count;
        HardwareInstance* pInstance = DevNodeToHardwareInstance(node);
        if (cmd == "alloc") {
            AllocateFIFO(Stream(node, stream), pInstance);
            std::cout << Stream(node, stream)->pFifo->cRef << std::endl;
        } else if (cmd == "free") {
            std::cout << FreeFIFO(Stream(node, stream), pInstance) << std::endl;
        } else if (cmd == "cref") {
            std::cout << Stream(node, stream)->pFifo->cRef << std::endl;
        } else if (cmd == "churn") {
            for (unsigned i = 0; i < count; ++i) {
                AllocateFIFO(Stream(node, stream), pInstance);
                FreeFIFO(Stream(node, stream), pInstance);
            }
            std::cout << "done" << std::endl;
        } else if (cmd == "lock") {
            CriticalSection(kCsEnter, nullptr);
            std::cout << "locked" << std::endl;
        } else if (cmd == "unlock") {
            CriticalSection(kCsLeave, nullptr);
            std::cout << "unlocked" << std::endl;
        } else if (cmd == "wait") {
            InitCriticalSectionMutex();
            DWORD r = WaitForSingleObject(hCsMutex, node);
            std::cout << r << std::endl;
        } else if (cmd == "probe") {
            std::cout << NTGetNumberInstances() << std::endl;
        } else if (cmd == "open") {
            DWORD dwAcquire = AcquireHwPort(pInstance);
            BOOL fStart =
                dwAcquire == 0 ? StartHwPortStreaming(Stream(node, stream), pInstance) : 0;
            std::cout << dwAcquire << " " << fStart << std::endl;
        } else if (cmd == "close") {
            BOOL fStop = StopHwPortStreaming(Stream(node, stream), pInstance);
            ReleaseHwPort(pInstance);
            std::cout << fStop << std::endl;
        } else if (cmd == "take") {
            MidiFifo* pFifo = Stream(node, 2)->pFifo;
            std::string out;
            while (pFifo != nullptr && FifoPacketPresent(FifoSlot(pFifo, pFifo->iRead))) {
                char sz[16];
                std::snprintf(sz, sizeof sz, "%s%08X", out.empty() ? "" : " ",
                              static_cast<unsigned>(FifoSlot(pFifo, pFifo->iRead)));
                out += sz;
                FifoSlot(pFifo, pFifo->iRead) = 0;
                pFifo->iRead = FifoNextIndex(pFifo->iRead, pFifo->cdwSize);
            }
            std::cout << (out.empty() ? "none" : out) << std::endl;
        } else if (cmd == "fds") {
            std::cout << vt::OpenDescriptorCount() << std::endl;
        } else if (cmd == "exit") {
            return 0;
        } else {
            std::cout << "unknown" << std::endl;
        }
    }
    return 0;
}
