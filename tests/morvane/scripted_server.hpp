#pragma once
// ScriptedServer: a loopback TCP server for client tests. Every connection gets the same script:
// read the query line, send the reply chunks (pausing between them so each arrives in its own
// read), then close, or hold the connection until the client closes it.
#include <netinet/in.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace morvane::irr::testing {

struct Script {
    std::vector<std::string> chunks;  // the reply, as separate sends
    bool hold = false;                // keep the connection open until the client closes it
};

class ScriptedServer {
  public:
    explicit ScriptedServer(Script script);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    std::uint16_t port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

    // What each connection sent, in accept order.
    std::vector<std::string> received();
    // Waits (bounded) until `count` connections have ended; false on time-out.
    bool wait_closed(std::size_t count, std::chrono::milliseconds limit);
    // Connections that ended because the client closed its side while the server held it.
    std::size_t peer_closes();

  private:
    void accept_loop();
    void serve(int fd);

    Script script_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::thread acceptor_;
    std::vector<std::thread> holders_;  // one per held connection (accept thread only)

    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::string> received_;
    std::vector<int> open_fds_;
    std::size_t closed_ = 0;
    std::size_t peer_closes_ = 0;
    bool stopping_ = false;
};

}  // namespace morvane::irr::testing
