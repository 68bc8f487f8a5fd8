// The one at-fork handler: a child created by fork resets every enlisted object once, however
// often it was enlisted, and the parent's objects are left alone.
#include "base/after_fork.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace morvane {
namespace {

class Counted final : public ForkResettable {
  public:
    int resets = 0;

  private:
    void reset_after_fork() noexcept override { ++resets; }
};

TEST(AfterFork, AChildResetsEveryEnlistedObjectOnce) {
    static Counted once, twice, never;  // enlisted objects live until the process ends
    ASSERT_TRUE(once.enlist_for_fork());
    ASSERT_TRUE(twice.enlist_for_fork());
    ASSERT_TRUE(twice.enlist_for_fork());
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The child reports through its exit status: 0 when each object saw what it should.
        ::_exit(once.resets == 1 && twice.resets == 1 && never.resets == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(once.resets + twice.resets + never.resets, 0);
}

}  // namespace
}  // namespace morvane
