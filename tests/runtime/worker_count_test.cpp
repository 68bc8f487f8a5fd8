// Worker count N: the environment variable's parsing and messages, and the cgroup quota walk
// over fixture trees standing in for /proc/self and /sys/fs/cgroup.
#include "runtime/worker_count.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "base/fault.hpp"

namespace morvane::runtime::detail {
namespace {

namespace fs = std::filesystem;

std::string fault_of(std::string_view raw) {
    try {
        parse_worker_threads(raw);
    } catch (const Fault& f) {
        return f.what();
    }
    return "no fault";
}

TEST(WorkerThreadsVar, AcceptsDigitsWithOptionalPlus) {
    EXPECT_EQ(parse_worker_threads("3"), 3u);
    EXPECT_EQ(parse_worker_threads("+3"), 3u);
    EXPECT_EQ(parse_worker_threads("003"), 3u);
    EXPECT_EQ(parse_worker_threads("18446744073709551615"), SIZE_MAX);
}

TEST(WorkerThreadsVar, NotADecimalNumberMessages) {
    const std::string prefix = "\"MORVANE_WORKER_THREADS\" must be usize, error: ";
    EXPECT_EQ(fault_of(" 3"), prefix + "invalid digit found in string, value:  3");
    EXPECT_EQ(fault_of("3 "), prefix + "invalid digit found in string, value: 3 ");
    EXPECT_EQ(fault_of("-3"), prefix + "invalid digit found in string, value: -3");
    EXPECT_EQ(fault_of("+"), prefix + "invalid digit found in string, value: +");
    EXPECT_EQ(fault_of("-"), prefix + "invalid digit found in string, value: -");
    EXPECT_EQ(fault_of("++3"), prefix + "invalid digit found in string, value: ++3");
    EXPECT_EQ(fault_of(""), prefix + "cannot parse integer from empty string, value: ");
    EXPECT_EQ(fault_of("18446744073709551616"),
              prefix + "number too large to fit in target type, value: 18446744073709551616");
    // The first problem from the left decides.
    EXPECT_EQ(fault_of("99999999999999999999x"),
              prefix + "number too large to fit in target type, value: 99999999999999999999x");
    EXPECT_EQ(fault_of("9x9999999999999999999"),
              prefix + "invalid digit found in string, value: 9x9999999999999999999");
}

TEST(WorkerThreadsVar, ZeroAndNotUtf8Messages) {
    EXPECT_EQ(fault_of("0"), "\"MORVANE_WORKER_THREADS\" cannot be set to 0");
    EXPECT_EQ(fault_of("+000"), "\"MORVANE_WORKER_THREADS\" cannot be set to 0");
    EXPECT_EQ(fault_of("3\xff"),
              "\"MORVANE_WORKER_THREADS\" must be valid unicode, error: \"3\\xFF\"");
    // Overlong encodings and lone surrogates are not valid UTF-8; other text is then "must be
    // usize".
    EXPECT_EQ(fault_of("\xc0\xb3"),
              "\"MORVANE_WORKER_THREADS\" must be valid unicode, error: \"\\xC0\\xB3\"");
    EXPECT_NE(fault_of("\xed\xa0\x80").find("must be valid unicode"), std::string::npos);
    EXPECT_NE(fault_of("\xc3\xa9").find("must be usize, error: invalid digit"), std::string::npos);
}

class CgroupFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("morvane-wc-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(proc());
        fs::create_directories(cg());
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path proc() const { return root_ / "proc-self"; }
    fs::path cg() const { return root_ / "cgroup"; }
    static void write(const fs::path& p, const std::string& text) {
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text;
    }

    WorkerCountSources sources(std::size_t cpus) const {
        WorkerCountSources s;
        s.getenv = [](const char*) { return std::optional<std::string>(); };
        s.proc_self = proc().string();
        s.cgroup_root = cg().string();
        s.affinity_cpus = [cpus] { return cpus; };
        s.online_cpus = [] { return std::size_t{64}; };
        return s;
    }
    std::size_t n(std::size_t cpus = 4) const { return worker_count(sources(cpus)); }

    void v2_group(const std::string& group, const std::string& cpu_max) {
        write(proc() / "cgroup", "0::/" + group + "\n");
        write(cg() / "cgroup.controllers", "cpu memory\n");
        write(cg() / group / "cgroup.controllers", "cpu\n");
        write(cg() / group / "cpu.max", cpu_max);
    }

    fs::path root_;
};

TEST_F(CgroupFixture, V2Quotas) {
    v2_group("app", "max 100000\n");
    EXPECT_EQ(n(), 4u);
    v2_group("app", "150000 100000\n");
    EXPECT_EQ(n(), 1u);  // 1.5 rounded down
    v2_group("app", "50000 100000\n");
    EXPECT_EQ(n(), 1u);  // 0 raised to 1
    v2_group("app", "800000 100000\n");
    EXPECT_EQ(n(), 4u);  // the affinity mask is smaller
    v2_group("app", "800000 0\n");
    EXPECT_EQ(n(), 4u);  // a zero period imposes nothing
}

TEST_F(CgroupFixture, V2NestedGroupsTakeTheSmallestQuota) {
    v2_group("parent/own", "max 100000\n");
    write(cg() / "parent" / "cpu.max", "200000 100000\n");
    EXPECT_EQ(n(8), 2u);
    write(cg() / "cpu.max", "100000 100000\n");  // the root itself counts too
    EXPECT_EQ(n(8), 1u);
}

TEST_F(CgroupFixture, V2WithoutControllersFileIsUnlimited) {
    v2_group("app", "100000 100000\n");
    fs::remove(cg() / "app" / "cgroup.controllers");
    EXPECT_EQ(n(), 4u);
}

TEST_F(CgroupFixture, UnreadableProcCgroupIsUnlimited) {
    EXPECT_EQ(n(3), 3u);                        // no /proc/self/cgroup at all
    fs::create_directories(proc() / "cgroup");  // exists but cannot be read as a file
    write(cg() / "cpu.max", "100000 100000\n");
    EXPECT_EQ(n(3), 3u);
}

TEST_F(CgroupFixture, V1QuotaAndMinusOne) {
    write(proc() / "cgroup", "0::/ignored\n4:cpu,cpuacct:/svc\n2:memory:/svc\n");
    write(cg() / "cpu,cpuacct" / "svc" / "cpu.cfs_quota_us", "-1\n");
    write(cg() / "cpu,cpuacct" / "svc" / "cpu.cfs_period_us", "100000\n");
    EXPECT_EQ(n(), 4u);
    write(cg() / "cpu,cpuacct" / "svc" / "cpu.cfs_quota_us", " 200000 \n");
    EXPECT_EQ(n(), 2u);
    // "/sys/fs/cgroup/cpu" is preferred when the group exists under it.
    write(cg() / "cpu" / "svc" / "cpu.cfs_quota_us", "300000");
    write(cg() / "cpu" / "svc" / "cpu.cfs_period_us", "100000");
    EXPECT_EQ(n(), 3u);
}

TEST_F(CgroupFixture, V1LineReplacesV2AndMountinfoHandlesBindMountsAndLength) {
    // The CPU controller mounted elsewhere, bind-mounting the sub-group /docker/c1 at its root,
    // its line after 200 KiB of other mounts (a host with thousands of them).
    const fs::path mnt = root_ / "mnt-cpu";
    write(proc() / "cgroup", "0::/\n5:cpu:/docker/c1\n");
    std::string others;
    for (int i = 0; others.size() < (200u << 10); ++i)
        others += std::to_string(100 + i) + " 1 0:99 / /run/containers/overlay-" +
                  std::to_string(i) + " rw,relatime - overlay overlay rw,lowerdir=/l,upperdir=/u\n";
    write(proc() / "mountinfo",
          others +
              "30 1 0:26 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
              "31 1 0:27 /docker/c1 " +
              mnt.string() + " rw shared:9 - cgroup cgroup rw,cpu,cpuacct\n");
    write(mnt / "cpu.cfs_quota_us", "100000\n");
    write(mnt / "cpu.cfs_period_us", "50000\n");
    EXPECT_EQ(n(), 2u);
}

TEST(WorkerCount, AffinityFallsBackToOnlineCpusThenOne) {
    WorkerCountSources s;
    s.getenv = [](const char*) { return std::optional<std::string>(); };
    s.proc_self = "/nonexistent-proc";
    s.affinity_cpus = [] { return std::size_t{0}; };
    s.online_cpus = [] { return std::size_t{6}; };
    EXPECT_EQ(worker_count(s), 6u);
    s.online_cpus = [] { return std::size_t{0}; };
    EXPECT_EQ(worker_count(s), 1u);
    s.getenv = [](const char*) { return std::optional<std::string>("+7"); };
    EXPECT_EQ(worker_count(s), 7u);  // the variable wins over everything
}

}  // namespace
}  // namespace morvane::runtime::detail
