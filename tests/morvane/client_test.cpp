// IRRClient end to end against loopback servers: scripted replies, refused connections, the
// resolver path, large and concurrent exchanges, and the registry emulator.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "morvane/src/irr.hpp"
#include "tests/morvane/runtime_harness.hpp"
#include "tests/morvane/scripted_server.hpp"

namespace morvane::irr {
namespace {

using testing::Script;
using testing::ScriptedServer;
using namespace std::chrono_literals;

// Connect, route(asn), drop: the outcome as text ("a|b|c", or "error: <message>").
runtime::Task<std::string> fetch(std::string address, std::int32_t asn) {
    Result<IRRClient> connected = co_await IRRClient::connect(std::move(address));
    if (!connected) co_return "error: " + connected.error().message();
    IRRClient client = connected.take();
    Result<std::vector<std::string>> routes = co_await client.route(asn);
    if (!routes) co_return "error: " + routes.error().message();
    std::string out;
    for (const auto& r : routes.value()) out += (out.empty() ? "" : "|") + r;
    co_return out;
}

std::string fetch_now(const std::string& address, std::int32_t asn = 64496) {
    auto out = testing::run_on_runtime(fetch(address, asn));
    return out ? *out : "timed out";
}

std::string serve_once(Script script, std::int32_t asn = 64496) {
    ScriptedServer server(std::move(script));
    return fetch_now(server.address(), asn);
}

TEST(IRRClient, SendsExactlyTheQueryLine) {
    for (std::int32_t asn : {3333, 0, -1, 2147483647}) {
        ScriptedServer server(Script{{"D\n"}});
        EXPECT_EQ(fetch_now(server.address(), asn),
                  "error: cannot parse integer from empty string");
        ASSERT_TRUE(server.wait_closed(1, 10s));
        EXPECT_EQ(server.received().at(0), "!gAS" + std::to_string(asn) + "\n");
    }
}

TEST(IRRClient, ReturnsPrefixesWithoutWaitingForTheClosingLine) {
    // The server holds the connection open: the reply must complete on its length alone.
    ScriptedServer server(Script{{"A29\n192.0.2.0/24 198.51.100.0/24\nC\n"}, /*hold=*/true});
    EXPECT_EQ(fetch_now(server.address()), "192.0.2.0/24|198.51.100.0/24");
    // Dropping the client closed the connection.
    ASSERT_TRUE(server.wait_closed(1, 10s));
    EXPECT_EQ(server.peer_closes(), 1u);
}

TEST(IRRClient, ReplyForms) {
    const struct {
        std::string reply;
        std::string expected;
    } cases[] = {
        {"A27\n192.0.2.0/24 192.0.2.0/24\n\nC\n", "192.0.2.0/24|192.0.2.0/24"},
        {"A6\n\n \n  \nC\n", ""},
        {"A0\nC\n", ""},
        {"A13\r\n192.0.2.0/24\nC\n", "192.0.2.0/24"},
        {"A+13\n192.0.2.0/24\nC\n", "192.0.2.0/24"},
        {"A0013\n192.0.2.0/24\nC\n", "192.0.2.0/24"},
        {"A 13\n192.0.2.0/24\nC\n", "192.0.2.0/24"},
        {"X13\n192.0.2.0/24\nC\n", "192.0.2.0/24"},
        {"A16\n2001:db8::/32\xE3\x80\x80", "2001:db8::/32"},
        {"D\n", "error: cannot parse integer from empty string"},
        {"C\n", "error: cannot parse integer from empty string"},
        {"F Unknown AS number\n", "error: invalid digit found in string"},
        {"A-1\n", "error: invalid digit found in string"},
        {"A99999999999999999999\n", "error: number too large to fit in target type"},
        {"A13\n192.0", "error: early eof"},
        {"", "error: connection closed before a reply header arrived"},
        {"A1\xFF\n", "error: stream did not contain valid UTF-8"},
        {"A7\n19216\xFF\n", "error: invalid utf-8 sequence of 1 bytes from index 5"},
        {"A4\n192\xC3", "error: incomplete utf-8 byte sequence from index 3"},
        {"A1073741825\n",
         "error: reply declares 1073741825 bytes, more than the limit of "
         "1073741824"},
        {"A" + std::string(5000, '1'), "error: reply header line longer than 4096 bytes"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(serve_once(Script{{c.reply}}), c.expected) << c.reply;
    }
}

TEST(IRRClient, ReplyArrivingInPieces) {
    const std::string reply = "A29\n192.0.2.0/24 198.51.100.0/24\nC\n";
    Script bytewise;
    for (char ch : reply) bytewise.chunks.emplace_back(1, ch);
    EXPECT_EQ(serve_once(bytewise), "192.0.2.0/24|198.51.100.0/24");
    EXPECT_EQ(serve_once(Script{{"A29\n192.0.2.0/24", " 198.51.100.0/24\nC\n"}}),
              "192.0.2.0/24|198.51.100.0/24");
}

TEST(IRRClient, WaitsForMissingBytesOnAnOpenConnectionUntilAbandoned) {
    ScriptedServer server(Script{{"A13\n192.0"}, /*hold=*/true});
    auto sw = std::make_shared<testing::AbortSwitch>();
    auto done = std::make_shared<std::promise<std::optional<std::string>>>();
    auto result = done->get_future();
    runtime::get_runtime().spawn([](auto task, auto p) -> runtime::Task<> {
        p->set_value(co_await std::move(task));
    }(testing::abortable(fetch(server.address(), 1), sw), done));
    // The reply is incomplete and the connection open: the query keeps waiting.
    EXPECT_EQ(result.wait_for(200ms), std::future_status::timeout);
    sw->abort();
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), std::nullopt);
    // Abandoning the query dropped the client, which closed the socket.
    ASSERT_TRUE(server.wait_closed(1, 10s));
    EXPECT_EQ(server.peer_closes(), 1u);
}

TEST(IRRClient, LargeReply) {
    std::string data;
    std::vector<std::string> expected;
    for (int i = 0; data.size() < 10'000'000; ++i) {
        expected.push_back("10." + std::to_string(i % 256) + "." + std::to_string(i / 256 % 256) +
                           ".0/24");
        data += expected.back() + (i % 7 == 0 ? "\n" : " ");
    }
    ScriptedServer server(Script{{"A" + std::to_string(data.size()) + "\n", data, "C\n"}});
    auto out =
        testing::run_on_runtime([](std::string address) -> runtime::Task<Result<std::size_t>> {
            Result<IRRClient> c = co_await IRRClient::connect(std::move(address));
            if (!c) co_return c.take_error();
            IRRClient client = c.take();
            auto routes = co_await client.route(1);
            if (!routes) co_return routes.take_error();
            co_return routes.value().size();
        }(server.address()));
    ASSERT_TRUE(out.has_value());
    ASSERT_TRUE(out->ok()) << out->error().message();
    EXPECT_EQ(out->value(), expected.size());
}

TEST(IRRClient, ManyConcurrentClients) {
    ScriptedServer server(Script{{"A13\n192.0.2.0/24\nC\n"}});
    constexpr int kClients = 1000;
    std::vector<std::future<std::string>> results;
    std::vector<std::shared_ptr<std::promise<std::string>>> promises;
    for (int i = 0; i < kClients; ++i) {
        auto p = std::make_shared<std::promise<std::string>>();
        results.push_back(p->get_future());
        runtime::get_runtime().spawn([](std::string a, auto p) -> runtime::Task<> {
            p->set_value(co_await fetch(a, 7));
        }(server.address(), p));
    }
    int ok = 0;
    for (auto& r : results) {
        ASSERT_EQ(r.wait_for(60s), std::future_status::ready);
        ok += r.get() == "192.0.2.0/24";
    }
    EXPECT_EQ(ok, kClients);
}

// A port with nothing listening: bind without listen keeps it reserved for the test.
TEST(IRRClient, ConnectionRefused) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const std::string address = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    EXPECT_EQ(fetch_now(address), "error: Connection refused (os error 111)");
    EXPECT_EQ(fetch_now("[::1]:" + std::to_string(ntohs(addr.sin_port))).rfind("error: ", 0), 0u);
    ::close(fd);
}

TEST(IRRClient, ResolverPath) {
    EXPECT_EQ(fetch_now("no-such-host.invalid:43")
                  .rfind("error: failed to lookup address information: ", 0),
              0u);
    EXPECT_EQ(fetch_now("no port"), "error: invalid socket address");
    EXPECT_EQ(fetch_now("localhost:99999"), "error: invalid port value");
    // "localhost" may resolve to ::1 first, where nothing listens: the next address is tried.
    ScriptedServer server(Script{{"A13\n192.0.2.0/24\nC\n"}});
    EXPECT_EQ(fetch_now("localhost:" + std::to_string(server.port())), "192.0.2.0/24");
}

// The registry emulator (tools/irr_emulator.py), started with the system python3.
class EmulatorProcess {
  public:
    EmulatorProcess() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        const std::string script = MORVANE_SOURCE_DIR "/tools/irr_emulator.py";
        char* argv[] = {const_cast<char*>("python3"), const_cast<char*>(script.c_str()), nullptr};
        if (::posix_spawnp(&pid_, "python3", &actions, nullptr, argv, environ) != 0) pid_ = -1;
        ::posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~EmulatorProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }
    // The port the emulator printed, or 0 if it printed none within ten seconds.
    int port() {
        std::string line;
        char c;
        pollfd pfd{out_, POLLIN, 0};
        while (pid_ > 0 && ::poll(&pfd, 1, 10'000) == 1 && ::read(out_, &c, 1) == 1 && c != '\n') {
            line += c;
        }
        return line.empty() ? 0 : std::stoi(line);
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
};

TEST(IRRClient, AgainstTheRegistryEmulator) {
    EmulatorProcess emulator;
    const int port = emulator.port();
    if (port == 0) GTEST_SKIP() << "python3 could not start the emulator";
    const std::string address = "127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(fetch_now(address, 64497), "198.51.100.0/24|198.51.100.0/25|198.51.100.128/25");
    EXPECT_EQ(fetch_now(address, 64500), "error: cannot parse integer from empty string");
    EXPECT_EQ(fetch_now(address, 65536), "203.0.113.0/25");
}

}  // namespace
}  // namespace morvane::irr
