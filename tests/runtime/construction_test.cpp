// Construction of the process-wide runtime, and what else needs a process of its own: runtime
// threads seen without /proc, a fatal reactor error. get_runtime() is process-wide and never
// undone, so each case runs in a child process (a gtest death test re-executing this binary).
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include "base/fault.hpp"
#include "runtime/runtime.hpp"
#include "runtime/task.hpp"
#include "support.hpp"

namespace morvane::runtime {
namespace {

using namespace std::chrono_literals;

using testing::named_threads;

std::string to_text(const std::string& s) {
    return "\"" + s + "\"";
}
std::string to_text(std::size_t v) {
    return std::to_string(v);
}
std::string to_text(int v) {
    return std::to_string(v);
}
std::string to_text(bool v) {
    return v ? "true" : "false";
}

// Ends the child process that isolated() runs, saying what went wrong.
[[noreturn]] void fail_child(const std::string& problem) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    std::fflush(stderr);
    std::_Exit(1);
}

#define CHECK_IN_CHILD(a, b)                                                            \
    do {                                                                                \
        if (!((a) == (b))) fail_child(std::string(#a " != " #b ": got ") + to_text(a)); \
    } while (0)

// Runs `check` in a child process, which passes unless `check` calls fail_child().
void isolated(const std::function<void()>& check) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            check();
            std::fflush(stderr);
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// The same with MORVANE_WORKER_THREADS set to `workers` in the child.
void isolated_with_workers(const char* workers, const std::function<void()>& check) {
    isolated([&] {
        ::setenv("MORVANE_WORKER_THREADS", workers, 1);
        check();
    });
}

// The text of the fault that get_runtime() throws here, or "no fault".
std::string get_runtime_fault() {
    return testing::fault_of([] { get_runtime(); });
}

TEST(Construction, WorkerThreadsVariableSetsNAndLaterCallsBuildNothing) {
    for (const char* value : {"3", "+3", "003"}) {
        isolated_with_workers(value, [] {
            CHECK_IN_CHILD(named_threads(), 0);
            Runtime& rt = get_runtime();
            CHECK_IN_CHILD(rt.worker_count(), std::size_t{3});
            CHECK_IN_CHILD(named_threads(), 3);
            CHECK_IN_CHILD(&get_runtime() == &rt, true);
            CHECK_IN_CHILD(Runtime::current() == nullptr, true);
            auto task = []() -> Task<int> { co_return 4; };
            CHECK_IN_CHILD(testing::block_on(rt.spawn(task())).take(), 4);
            CHECK_IN_CHILD(named_threads(), 3);
        });
    }
}

TEST(Construction, ConcurrentFirstCallsShareOneRuntime) {
    isolated_with_workers("2", [] {
        std::vector<std::thread> threads;
        std::vector<Runtime*> seen(6);
        for (std::size_t i = 0; i < seen.size(); ++i)
            threads.emplace_back([&, i] { seen[i] = &get_runtime(); });
        for (auto& t : threads) t.join();
        for (Runtime* rt : seen) CHECK_IN_CHILD(rt == seen[0], true);
        CHECK_IN_CHILD(named_threads(), 2);
    });
}

TEST(Construction, ZeroWorkersFaultsThenTheConfigurationStaysPoisoned) {
    isolated_with_workers("0", [] {
        CHECK_IN_CHILD(get_runtime_fault(),
                       std::string("\"MORVANE_WORKER_THREADS\" cannot be set to 0"));
        CHECK_IN_CHILD(named_threads(), 0);
        ::setenv("MORVANE_WORKER_THREADS", "2", 1);  // too late: never built in this process
        for (int i = 0; i < 2; ++i) {
            const std::string f = get_runtime_fault();
            if (f.find("poisoned") == std::string::npos) fail_child("not poisoned: " + f);
        }
        CHECK_IN_CHILD(named_threads(), 0);
    });
}

TEST(Construction, BadValuesFaultWithTheirMessages) {
    isolated_with_workers("-3", [] {
        CHECK_IN_CHILD(get_runtime_fault(),
                       std::string("\"MORVANE_WORKER_THREADS\" must be usize, error: invalid "
                                   "digit found in string, value: -3"));
    });
    isolated_with_workers("18446744073709551616", [] {
        CHECK_IN_CHILD(get_runtime_fault(),
                       std::string("\"MORVANE_WORKER_THREADS\" must be usize, error: number "
                                   "too large to fit in target type, value: "
                                   "18446744073709551616"));
    });
}

TEST(Construction, ForkedChildIsRefusedInsteadOfHanging) {
    isolated_with_workers("2", [] {
        get_runtime();
        const pid_t child = ::fork();
        if (child == 0) {
            const std::string f = get_runtime_fault();
            std::_Exit(f.find("fork") != std::string::npos ? 0 : 3);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        CHECK_IN_CHILD(WIFEXITED(status) && WEXITSTATUS(status) == 0, true);
        get_runtime();  // the parent is unaffected
    });
}

// A spawner that lets `allow` threads start and then reports a temporary shortage.
detail::ThreadSpawner failing_after(int allow) {
    auto n = std::make_shared<std::atomic<int>>(0);
    return [=](std::function<void()> body) {
        if (n->fetch_add(1) >= allow)
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        detail::spawn_os_thread(std::move(body));
    };
}

TEST(Construction, WorkerThatCannotStartFailsTheBuildAndStopsStartedWorkers) {
    isolated([] {
        detail::BuildOptions o = testing::options_with_workers("4");
        o.keep_alive = 50ms;
        o.spawner = failing_after(2);
        CHECK_IN_CHILD(testing::fault_of([&] { Runtime::build(o); }),
                       std::string("OS can't spawn worker thread: Resource temporarily "
                                   "unavailable"));
        // The two started workers stop, return to the pool and expire: nothing is left running.
        if (!testing::eventually([] { return named_threads() == 0; }))
            fail_child("workers of the failed build still running: " + to_text(named_threads()));

        o.spawner = failing_after(0);
        CHECK_IN_CHILD(testing::fault_of([&] { Runtime::build(o); }),
                       std::string("OS can't spawn worker thread: Resource temporarily "
                                   "unavailable"));
    });
}

// "<name> <stack KiB>" as the calling thread sees itself.
// This process (a single-threaded death-test child) in a mount namespace of its own: directly as
// root, else inside a new user namespace that maps this user to root there.
bool private_mount_namespace() {
    if (::unshare(CLONE_NEWNS) == 0) return true;
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
    // Each map must arrive in one write: the stream writes its buffer once, at the flush.
    auto write_file = [](const char* path, const std::string& text) {
        std::ofstream out(path);
        out << text << std::flush;
        return bool(out);
    };
    return write_file("/proc/self/setgroups", "deny") &&
           write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
           write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

std::string name_and_stack() {
    std::size_t size = 0;
    pthread_attr_t attr;
    if (::pthread_getattr_np(::pthread_self(), &attr) == 0) {
        ::pthread_attr_getstacksize(&attr, &size);
        ::pthread_attr_destroy(&attr);
    }
    return testing::thread_name() + " " + std::to_string(size >> 10);
}

TEST(Construction, RuntimeThreadsNameThemselvesAndHaveTheirOwnStackSize) {
    isolated([] {
        // A private mount namespace with an empty /proc: a thread can then name only itself.
        // Without root, the mount namespace needs a user namespace of its own around it.
        if (!private_mount_namespace() ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("none", "/proc", "tmpfs", 0, nullptr) != 0)
            fail_child(std::string("cannot hide /proc: ") + std::strerror(errno));
        Runtime& rt = Runtime::build(testing::options_with_workers("1"));
        // 2 MiB whatever `ulimit -s` says (8 MiB on most machines).
        const std::string expected = "morvane-worker 2048";
        auto task = []() -> Task<std::string> { co_return name_and_stack(); };
        CHECK_IN_CHILD(testing::block_on(rt.spawn(task())).take(), expected);
        CHECK_IN_CHILD(testing::block_on(rt.spawn_blocking(name_and_stack)).take(), expected);
    });
}

TEST(Construction, FailedReactorWaitEndsTheProcessWithItsError) {
    // Not a silent stall: once the lone worker's wait has failed, no task would ever run again.
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    static std::atomic<bool> waited{false};
    EXPECT_DEATH(
        {
            detail::BuildOptions o = testing::options_with_workers("1");
            o.epoll_wait = [](int, epoll_event*, int, int) {
                waited.store(true);
                errno = EBADF;
                return -1;
            };
            Runtime& rt = Runtime::build(o);
            testing::eventually([] { return waited.load(); });
            auto task = []() -> Task<int> { co_return 1; };
            try {
                testing::block_on(rt.spawn(task()), 5s);
            } catch (const std::exception&) {
            }
            std::_Exit(0);
        },
        "morvane: fatal runtime error: unexpected error when polling the I/O driver: Bad file "
        "descriptor \\(os error 9\\)");
}

}  // namespace
}  // namespace morvane::runtime
