// The cgroup side of the worker count on arbitrary file contents: /proc/self/cgroup, mountinfo and
// the v1/v2 quota files of a fixture tree. There is no model to compare with beyond "a sane
// quota or none"; what is checked is that hostile kernel files (they can be bind-mounted or
// faked in containers) never make the walk read out of bounds, loop or fail.
//
// Input: sections separated by NUL bytes, in order: cgroup, mountinfo, <root>/cpu.max,
// <root>/a/cpu.max, the v1 cpu.cfs_quota_us and cpu.cfs_period_us (written in every v1 group
// directory). In the cgroup and mountinfo texts "@" stands for the fixture's root so that paths
// can point into it.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/reference.hpp"
#include "runtime/worker_count.hpp"

namespace fs = std::filesystem;

namespace {

struct Fixture {
    fs::path root;
    fs::path proc, cg, mnt;
    std::vector<fs::path> v1_groups;

    Fixture() {
        // Thousands of small writes a second: memory-backed when the machine has it.
        const fs::path base =
            fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        root = base / ("morvane-cgroup-fuzz-" + std::to_string(::getpid()));
        proc = root / "proc";
        cg = root / "cg";
        mnt = root / "mnt";
        for (const fs::path& d :
             {proc, cg / "a" / "b", cg / "cpu" / "a", cg / "cpu,cpuacct" / "a", mnt}) {
            fs::create_directories(d);
        }
        for (const fs::path& d : {cg, cg / "a", cg / "a" / "b"})
            write(d / "cgroup.controllers", "cpu\n");
        v1_groups = {cg / "cpu", cg / "cpu" / "a", cg / "cpu,cpuacct" / "a", mnt};
    }
    ~Fixture() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    static Fixture& instance() {
        static Fixture f;
        return f;
    }
    static void write(const fs::path& p, std::string_view text) {
        std::ofstream(p, std::ios::binary | std::ios::trunc)
            .write(text.data(), static_cast<std::streamsize>(text.size()));
    }
};

std::string with_root(std::string_view text, const std::string& root) {
    std::string out;
    for (const char c : text) {
        if (c == '@') {
            out += root;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fixture& f = Fixture::instance();
    std::string_view in(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> part;
    for (int i = 0; i < 6; ++i) {
        const std::size_t end = in.find('\0');
        part.push_back(in.substr(0, end));
        in = end == std::string_view::npos ? std::string_view() : in.substr(end + 1);
    }
    const std::string root = f.root.string();
    Fixture::write(f.proc / "cgroup", with_root(part[0], root));
    Fixture::write(f.proc / "mountinfo", with_root(part[1], root));
    Fixture::write(f.cg / "cpu.max", part[2]);
    Fixture::write(f.cg / "a" / "cpu.max", part[3]);
    for (const fs::path& g : f.v1_groups) {
        Fixture::write(g / "cpu.cfs_quota_us", part[4]);
        Fixture::write(g / "cpu.cfs_period_us", part[5]);
    }
    const auto quota = morvane::runtime::detail::cgroup_cpu_quota(f.proc.string(), f.cg.string());
    // A quota is a quotient of two parsed numbers with a non-zero divisor and never "unlimited".
    if (quota) CHECK(*quota < UINT64_MAX);
    return 0;
}
