// Device nodes that are present without a simulator: a listening socket at a
// node's path is all the probe needs to find it.
#pragma once

#include <initializer_list>
#include <mutex>
#include <thread>
#include <vector>

namespace vt {

class ServedNodes {
  public:
    explicit ServedNodes(std::initializer_list<unsigned> nodes);
    ~ServedNodes();
    void Unserve(unsigned node);

  private:
    // Accepts and drops connections so probes never fill a backlog.
    void AcceptLoop();
    struct Node {
        unsigned node;
        int fd;
    };
    std::mutex mutex_;
    std::vector<Node> nodes_;
    int wake_[2] = {-1, -1};
    std::thread acceptor_;
};

}  // namespace vt
