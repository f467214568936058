#include "store/store_lock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "tests/store/store_test_support.h"
#include "tests/support/fake_env.h"

namespace brackenfold {
namespace {

class StoreLockTest : public ::testing::Test {
 protected:
  std::string IndexPath() const { return dir_ / "compindx.dat"; }
  std::string LockPath() const { return dir_ / "compindx.dat.lock"; }
  ScratchDirectory dir_;
};

TEST_F(StoreLockTest, MissingDirectoryGivesNoneAndCreatesNothing) {
  ScopedFakeEnv env;
  const std::string missing = dir_ / "nowhere/compindx.dat";
  EXPECT_FALSE(AcquireStoreLock(missing, kInstallLockTimeoutMs).held());
  EXPECT_FALSE(PathExists(dir_ / "nowhere"));
  EXPECT_TRUE(env->sleeps.empty());  // gives up at once

  // A parent that is a file is no directory either.
  WriteWholeFile(dir_ / "file", "");
  EXPECT_FALSE(AcquireStoreLock(dir_ / "file/compindx.dat", 250).held());
  EXPECT_TRUE(env->sleeps.empty());
}

TEST_F(StoreLockTest, ReleaseRemovesTheLockFileAndFreesTheStore) {
  StoreLock lock = AcquireStoreLock(IndexPath(), kInstallLockTimeoutMs);
  ASSERT_TRUE(lock.held());
  EXPECT_TRUE(PathExists(LockPath()));
  EXPECT_EQ(ReadWholeFile(LockPath()), "");
  lock.Release();
  EXPECT_FALSE(PathExists(LockPath()));

  ScopedFakeEnv env;
  lock = AcquireStoreLock(IndexPath(), kSearchLockTimeoutMs);
  EXPECT_TRUE(lock.held());
  EXPECT_TRUE(env->sleeps.empty());  // the first attempt got it
  lock.Release();
}

TEST_F(StoreLockTest, LeftoverLockFileWithoutHolderDoesNotBlock) {
  WriteWholeFile(LockPath(), "");
  ScopedFakeEnv env;
  StoreLock lock = AcquireStoreLock(IndexPath(), kSearchLockTimeoutMs);
  ASSERT_TRUE(lock.held());
  EXPECT_TRUE(env->sleeps.empty());
  lock.Release();
  EXPECT_FALSE(PathExists(LockPath()));
}

TEST_F(StoreLockTest, HeldLockTimesOutAfterTheStatedAttempts) {
  StoreLock held = AcquireStoreLock(IndexPath(), kInstallLockTimeoutMs);
  ASSERT_TRUE(held.held());
  const struct {
    std::uint32_t timeout;
    std::uint32_t start_ticks;
    std::size_t sleeps;
  } cases[] = {
      {kSearchLockTimeoutMs, 1000, 3},         // attempts at 0, 100, 200
      {kInstallLockTimeoutMs, 1000, 10},       // attempts at 0 ... 900
      {kSearchLockTimeoutMs, 0xFFFFFF80u, 3},  // the tick count wraps
      {1, 1000, 1},
  };
  for (const auto& c : cases) {
    ScopedFakeEnv env;
    env->ticks = c.start_ticks;
    EXPECT_FALSE(AcquireStoreLock(IndexPath(), c.timeout).held()) << c.timeout;
    EXPECT_EQ(env->sleeps.size(), c.sleeps) << c.timeout;
    for (std::uint32_t ms : env->sleeps) EXPECT_EQ(ms, 100u);
  }
  EXPECT_TRUE(PathExists(LockPath()));  // the holder's file stays
}

TEST_F(StoreLockTest, ReleasesOnScopeExitAndOnRequestAndMovesWhole) {
  {
    StoreLock guard = AcquireStoreLock(IndexPath(), 250);
    ASSERT_TRUE(guard.held());
    StoreLock moved;
    {
      StoreLock from = std::move(guard);
      moved = std::move(from);
    }  // the lock went with the move, not with the moved-from value
    EXPECT_TRUE(moved.held());
    EXPECT_TRUE(PathExists(LockPath()));
  }
  EXPECT_FALSE(PathExists(LockPath()));
  StoreLock guard = AcquireStoreLock(IndexPath(), 250);
  guard.Release();
  EXPECT_FALSE(guard.held());
  EXPECT_FALSE(PathExists(LockPath()));
  guard.Release();  // holds nothing: no effect
  StoreLock empty;
  EXPECT_FALSE(empty.held());
}

// Forks a child that runs body and exits with its result; body must not
// return through gtest.
pid_t RunChild(int (*body)(const std::string&, int), const std::string& path,
               int fd) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(body(path, fd));
  return pid;
}

int ExitStatus(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Child: tells the parent it is about to try, then waits up to 1,000 ms.
int AcquireWithinOneSecond(const std::string& index_path, int ready_fd) {
  char c = 'r';
  if (::write(ready_fd, &c, 1) != 1) return 3;
  StoreLock lock = AcquireStoreLock(index_path, kInstallLockTimeoutMs);
  if (!lock.held()) return 1;
  lock.Release();
  return 0;
}

TEST_F(StoreLockTest, SecondProcessWaitsAndGetsTheLockAfterRelease) {
  StoreLock lock = AcquireStoreLock(IndexPath(), kInstallLockTimeoutMs);
  ASSERT_TRUE(lock.held());
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  pid_t child = RunChild(&AcquireWithinOneSecond, IndexPath(), pipe_fds[1]);
  ASSERT_GT(child, 0);
  char c;
  ASSERT_EQ(::read(pipe_fds[0], &c, 1), 1);
  CurrentEnv().SleepMs(300);  // the child is retrying meanwhile
  lock.Release();
  EXPECT_EQ(ExitStatus(child), 0);
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
  EXPECT_FALSE(PathExists(LockPath()));
}

TEST_F(StoreLockTest, SecondProcessGivesUpAfterItsTimeOut) {
  StoreLock held = AcquireStoreLock(IndexPath(), kInstallLockTimeoutMs);
  ASSERT_TRUE(held.held());
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const std::uint32_t start = CurrentEnv().TickCount();
  pid_t child = RunChild(&AcquireWithinOneSecond, IndexPath(), pipe_fds[1]);
  ASSERT_GT(child, 0);
  EXPECT_EQ(ExitStatus(child), 1);
  // Not a timing test: only that the child did wait out its time-out.
  EXPECT_GE(CurrentEnv().TickCount() - start, kInstallLockTimeoutMs - 50);
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
}

// Child: takes the lock, tells the parent, and holds it until killed.
int HoldUntilKilled(const std::string& index_path, int ready_fd) {
  StoreLock lock = AcquireStoreLock(index_path, kInstallLockTimeoutMs);
  char c = lock.held() ? 'y' : 'n';
  if (::write(ready_fd, &c, 1) != 1) return 3;
  for (;;) ::pause();
}

TEST_F(StoreLockTest, HolderKilledWithSigkillReleasesTheStore) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  pid_t child = RunChild(&HoldUntilKilled, IndexPath(), pipe_fds[1]);
  ASSERT_GT(child, 0);
  char c = 0;
  ASSERT_EQ(::read(pipe_fds[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  {
    ScopedFakeEnv env;  // no real waiting for the failing attempt
    EXPECT_FALSE(AcquireStoreLock(IndexPath(), kSearchLockTimeoutMs).held());
  }
  ASSERT_EQ(::kill(child, SIGKILL), 0);
  EXPECT_EQ(ExitStatus(child), 128 + SIGKILL);
  StoreLock lock = AcquireStoreLock(IndexPath(), kSearchLockTimeoutMs);
  EXPECT_TRUE(lock.held());
  lock.Release();
  EXPECT_FALSE(PathExists(LockPath()));
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
}

}  // namespace
}  // namespace brackenfold
