#pragma once
// The number of worker threads N: MORVANE_WORKER_THREADS when set, otherwise the process's
// available parallelism (affinity mask, bounded by a cgroup v1/v2 CPU quota). Every input is
// reachable through WorkerCountSources so tests can use fixture trees.
// Internal to runtime/: no other subsystem includes it.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace morvane::runtime::detail {

inline constexpr const char* kWorkerThreadsVar = "MORVANE_WORKER_THREADS";

struct WorkerCountSources {
    // The variable's raw bytes, or nullopt when unset.
    std::function<std::optional<std::string>(const char* name)> getenv;
    std::string proc_self = "/proc/self";
    std::string cgroup_root = "/sys/fs/cgroup";
    // CPUs in the calling thread's affinity mask; 0 when the call fails or the mask is empty.
    std::function<std::size_t()> affinity_cpus;
    // Online processors; 0 when unknown.
    std::function<std::size_t()> online_cpus;

    // The real environment, filesystem and system calls.
    static WorkerCountSources system();
};

// N as construction computes it. Throws morvane::Fault with one of parse_worker_threads's
// messages.
std::size_t worker_count(const WorkerCountSources& sources);

// The variable's value checked and parsed. Faults, the first that applies:
//   not UTF-8:  "MORVANE_WORKER_THREADS" must be valid unicode, error: "<value, bad bytes as \xHH>"
//   not digits: "MORVANE_WORKER_THREADS" must be usize, error: <parse_u64's text>, value: <value>
//   zero:       "MORVANE_WORKER_THREADS" cannot be set to 0
std::size_t parse_worker_threads(std::string_view raw);

// The CPU quota of the process's cgroup, rounded down; nullopt when unlimited.
std::optional<std::uint64_t> cgroup_cpu_quota(const std::string& proc_self,
                                              const std::string& cgroup_root);

}  // namespace morvane::runtime::detail
