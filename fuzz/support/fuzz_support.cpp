// The fuzz targets' shared support.
#include "fuzz/support/fuzz_support.h"

#include "host/os/devwire.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace fuzz {
namespace {

struct RootDir {
    std::string path;
    RootDir() {
        std::string tmpl = "/tmp/veltrane-fuzz-XXXXXX";
        if (!mkdtemp(tmpl.data())) Fail("cannot make the object root");
        path = tmpl;
        setenv("VELTRANE_ROOT", path.c_str(), 1);
    }
    ~RootDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

}  // namespace

const std::string& Root() {
    static RootDir root;
    return root.path;
}

namespace {

void StartServer(sim::Server* server, sim::Options options) {
    options.root = Root();
    options.nodes = {0};
    std::string error;
    if (!server->Start(options, &error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        Fail("the simulator did not start");
    }
}

}  // namespace

void StartSilentServer() {
    static sim::Server server;
    sim::Options options;
    options.rate = sim::Rate::Paused;
    options.loopback = false;
    StartServer(&server, options);
}

int Connect(const std::string& path, int type) {
    sockaddr_un addr;
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd >= 0 && devwire::SocketAddress(path, &addr) &&
        connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
        return fd;
    if (fd >= 0) close(fd);
    return -1;
}

namespace {

// Unplugs every node and plugs node 0; false when the simulator does not
// answer (it is on its way out after a quit).
bool Replug() {
    sim::ControlClient client;
    std::string error, answer;
    if (!client.Connect(Root(), &error)) return false;
    for (unsigned node = 0; node < kDevNodes; ++node)
        if (!client.Command("unplug " + std::to_string(node), &answer, &error)) return false;
    return client.Command("plug 0", &answer, &error) && answer.rfind("ok", 0) == 0;
}

}  // namespace

void FreshServer() {
    static std::unique_ptr<sim::Server> server;
    if (server && !server->Finished() && Replug()) return;
    if (server) server->Stop();
    server = std::make_unique<sim::Server>();
    sim::Options options;
    options.rate = sim::Rate::Fast;
    StartServer(server.get(), options);
}

void Fail(const char* what) {
    std::fprintf(stderr, "FINDING: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

}  // namespace fuzz
