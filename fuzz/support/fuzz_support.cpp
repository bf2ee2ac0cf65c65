// The fuzz targets' shared support.
#include "fuzz/support/fuzz_support.h"

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

void StartServer(sim::Server* server, sim::Options options) {
    options.root = Root();
    std::string error;
    if (!server->Start(options, &error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        Fail("the simulator did not start");
    }
}

namespace {

// Unplugs every node and plugs those of options; false when the simulator
// does not answer (it is on its way out after a quit).
bool Replug(const sim::Options& options) {
    sim::ControlClient client;
    std::string error, answer;
    if (!client.Connect(Root(), &error)) return false;
    for (unsigned node = 0; node < kDevNodes; ++node)
        if (!client.Command("unplug " + std::to_string(node), &answer, &error)) return false;
    for (unsigned node : options.nodes)
        if (!client.Command("plug " + std::to_string(node), &answer, &error) ||
            answer.rfind("ok", 0) != 0)
            return false;
    return true;
}

}  // namespace

void FreshServer(const sim::Options& options) {
    static std::unique_ptr<sim::Server> server;
    if (server && !server->Finished() && Replug(options)) return;
    if (server) server->Stop();
    server = std::make_unique<sim::Server>();
    StartServer(server.get(), options);
}

void Fail(const char* what) {
    std::fprintf(stderr, "FINDING: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

}  // namespace fuzz
