#include "runtime/worker_count.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <vector>

#include "base/decimal.hpp"
#include "base/fault.hpp"
#include "base/unique_fd.hpp"
#include "base/utf8.hpp"

namespace morvane::runtime::detail {
namespace {

constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();

// The value between double quotes, invalid bytes as \xHH, quotes, backslashes and control
// characters escaped. A byte that starts no valid sequence is escaped alone and the check goes on
// from the next byte.
std::string quoted_with_escapes(std::string_view s) {
    std::string out = "\"";
    char buf[8];
    for (std::size_t i = 0; i < s.size();) {
        const std::optional<Utf8Error> bad = validate_utf8(s.substr(i));
        const std::size_t valid_end = bad ? i + bad->valid_up_to : s.size();
        for (; i < valid_end; ++i) {
            const unsigned char c = static_cast<unsigned char>(s[i]);
            switch (c) {
                case '"':
                    out += "\\\"";
                    break;
                case '\\':
                    out += "\\\\";
                    break;
                case '\n':
                    out += "\\n";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                case '\0':
                    out += "\\0";
                    break;
                default:
                    if (c < 0x20 || c == 0x7F) {
                        std::snprintf(buf, sizeof buf, "\\u{%x}", c);
                        out += buf;
                    } else {
                        out += static_cast<char>(c);  // ASCII or part of a valid sequence
                    }
            }
        }
        if (i < s.size()) {
            std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned char>(s[i]));
            out += buf;
            ++i;
        }
    }
    out += '"';
    return out;
}

std::string var_name_quoted() {
    return std::string("\"") + kWorkerThreadsVar + "\"";
}

// Bounds for the files read here: the cgroup files are one line, but mountinfo has a line per
// mount, and hosts with thousands of mounts exceed 64 KiB by far.
constexpr std::size_t kSmallFileLimit = std::size_t{64} << 10;
constexpr std::size_t kMountinfoLimit = std::size_t{4} << 20;  // some 30,000 mounts

// The file's contents, or nullopt when it cannot be opened or read. A file longer than `limit`
// is cut after its last whole line within the limit, so no cut line is ever parsed.
std::optional<std::string> read_file(const std::string& path, std::size_t limit = kSmallFileLimit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    UniqueFd owner(fd);
    std::string s;
    char buf[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) return s;
        s.append(buf, static_cast<std::size_t>(n));
        if (s.size() > limit) break;
    }
    const auto last_line_end = s.rfind('\n', limit - 1);
    s.resize(last_line_end == std::string::npos ? 0 : last_line_end + 1);
    return s;
}

bool can_examine(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::string_view trim(std::string_view s) {
    const char* ws = " \t\n\r\f\v";
    const auto b = s.find_first_not_of(ws);
    if (b == std::string_view::npos) return {};
    return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto p = s.find(sep);
        parts.push_back(s.substr(0, p));
        if (p == std::string_view::npos) return parts;
        s.remove_prefix(p + 1);
    }
}

// The group's directory and each parent up to and including `top` (group is relative).
std::vector<std::string> dirs_up_to(const std::string& top, std::string group) {
    std::vector<std::string> dirs;
    for (;;) {
        dirs.push_back(group.empty() ? top : top + "/" + group);
        if (group.empty()) return dirs;
        const auto p = group.rfind('/');
        group = p == std::string::npos ? std::string() : group.substr(0, p);
    }
}

enum class CgroupVersion { none, v1, v2 };

std::uint64_t quota_v2(const std::string& root, const std::string& group) {
    std::uint64_t q = kUnlimited;
    if (!can_examine((group.empty() ? root : root + "/" + group) + "/cgroup.controllers")) return q;
    for (const std::string& dir : dirs_up_to(root, group)) {
        const auto text = read_file(dir + "/cpu.max");
        if (!text) continue;
        const std::string_view first_line = std::string_view(*text).substr(0, text->find('\n'));
        const auto fields = split(first_line, ' ');
        if (fields.size() < 2) continue;
        const ParsedU64 limit = parse_u64(fields[0]);
        const ParsedU64 period = parse_u64(fields[1]);
        if (!limit.value || !period.value || *period.value == 0) continue;
        q = std::min(q, *limit.value / *period.value);
    }
    return q;
}

// The CPU controller's mount point and the group path below it, from mountinfo.
std::optional<std::pair<std::string, std::string>> v1_mount_from_mountinfo(
    const std::string& proc_self, const std::string& group) {
    const auto text = read_file(proc_self + "/mountinfo", kMountinfoLimit);
    if (!text) return std::nullopt;
    for (std::string_view line : split(*text, '\n')) {
        const auto dash = line.find(" - ");
        if (dash == std::string_view::npos) continue;
        const auto pre = split(line.substr(0, dash), ' ');
        const auto post = split(line.substr(dash + 3), ' ');
        if (pre.size() < 5 || post.size() < 3 || post[0] != "cgroup") continue;
        const auto opts = split(post[2], ',');
        if (std::find(opts.begin(), opts.end(), "cpu") == opts.end()) continue;
        // A bind mount of a sub-group: its root is a prefix of the group's path.
        std::string_view mount_root = trim(pre[3]);
        std::string full = "/" + group;
        std::string rel = group;
        if (mount_root != "/" && full.compare(0, mount_root.size(), mount_root) == 0 &&
            (full.size() == mount_root.size() || full[mount_root.size()] == '/')) {
            rel = full.substr(std::min(full.size(), mount_root.size() + 1));
        }
        return std::make_pair(std::string(pre[4]), rel);
    }
    return std::nullopt;
}

std::uint64_t quota_v1(const std::string& proc_self, const std::string& root,
                       const std::string& group) {
    std::uint64_t q = kUnlimited;
    std::vector<std::pair<std::string, std::string>> candidates = {{root + "/cpu", group},
                                                                   {root + "/cpu,cpuacct", group}};
    std::optional<std::pair<std::string, std::string>> chosen;
    for (const auto& c : candidates) {
        if (can_examine(c.second.empty() ? c.first : c.first + "/" + c.second)) {
            chosen = c;
            break;
        }
    }
    if (!chosen) {
        auto m = v1_mount_from_mountinfo(proc_self, group);
        if (m && can_examine(m->second.empty() ? m->first : m->first + "/" + m->second)) chosen = m;
    }
    if (!chosen) return q;
    for (const std::string& dir : dirs_up_to(chosen->first, chosen->second)) {
        const auto quota = read_file(dir + "/cpu.cfs_quota_us");
        const auto period = read_file(dir + "/cpu.cfs_period_us");
        if (!quota || !period) continue;
        const ParsedU64 qv = parse_u64(trim(*quota));
        const ParsedU64 pv = parse_u64(trim(*period));
        if (!qv.value || !pv.value || *pv.value == 0) continue;
        q = std::min(q, *qv.value / *pv.value);
    }
    return q;
}

}  // namespace

std::size_t parse_worker_threads(std::string_view raw) {
    if (validate_utf8(raw))
        throw Fault(var_name_quoted() +
                    " must be valid unicode, error: " + quoted_with_escapes(raw));
    const ParsedU64 p = parse_u64(raw);
    if (!p.value)
        throw Fault(var_name_quoted() + " must be usize, error: " + p.error +
                    ", value: " + std::string(raw));
    if (*p.value == 0) throw Fault(var_name_quoted() + " cannot be set to 0");
    return static_cast<std::size_t>(*p.value);
}

std::optional<std::uint64_t> cgroup_cpu_quota(const std::string& proc_self,
                                              const std::string& cgroup_root) {
    const auto text = read_file(proc_self + "/cgroup");
    if (!text) return std::nullopt;
    CgroupVersion version = CgroupVersion::none;
    std::string group;
    for (std::string_view line : split(*text, '\n')) {
        const auto f1 = line.find(':');
        if (f1 == std::string_view::npos) continue;
        const auto f2 = line.find(':', f1 + 1);
        if (f2 == std::string_view::npos) continue;
        const std::string_view controllers = line.substr(f1 + 1, f2 - f1 - 1);
        std::string_view path = line.substr(f2 + 1);
        if (!path.empty() && path.front() == '/') path.remove_prefix(1);
        if (controllers.empty()) {
            if (version == CgroupVersion::none) {
                version = CgroupVersion::v2;
                group = std::string(path);
            }
        } else {
            const auto names = split(controllers, ',');
            if (std::find(names.begin(), names.end(), "cpu") != names.end()) {
                version = CgroupVersion::v1;
                group = std::string(path);
            }
        }
    }
    std::uint64_t q = kUnlimited;
    if (version == CgroupVersion::v2) q = quota_v2(cgroup_root, group);
    if (version == CgroupVersion::v1) q = quota_v1(proc_self, cgroup_root, group);
    if (q == kUnlimited) return std::nullopt;
    return q;
}

std::size_t worker_count(const WorkerCountSources& src) {
    if (auto raw = src.getenv(kWorkerThreadsVar)) return parse_worker_threads(*raw);
    std::uint64_t q = cgroup_cpu_quota(src.proc_self, src.cgroup_root).value_or(kUnlimited);
    q = std::max<std::uint64_t>(q, 1);
    std::size_t c = src.affinity_cpus();
    if (c == 0) c = src.online_cpus();
    if (c == 0) return 1;
    return static_cast<std::size_t>(std::min<std::uint64_t>(c, q));
}

WorkerCountSources WorkerCountSources::system() {
    WorkerCountSources s;
    s.getenv = [](const char* name) -> std::optional<std::string> {
        const char* v = std::getenv(name);
        if (!v) return std::nullopt;
        return std::string(v);
    };
    s.affinity_cpus = []() -> std::size_t {
        cpu_set_t set;  // room for 1024 CPUs
        CPU_ZERO(&set);
        if (::sched_getaffinity(0, sizeof set, &set) != 0) return 0;
        return static_cast<std::size_t>(CPU_COUNT(&set));
    };
    s.online_cpus = []() -> std::size_t {
        const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    };
    return s;
}

}  // namespace morvane::runtime::detail
