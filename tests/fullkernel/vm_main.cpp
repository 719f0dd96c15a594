// The full-kernel tier's main: outside the VM it runs this same program,
// with the same arguments, inside a VM on Debian's stock kernel
// (tests/vm/run_in_vm.sh) and ends with its status: 77, which CTest counts
// as skipped, where qemu or the kernel is not available or without root.
// Inside (KQBLK_IN_VM set) and for listing, it runs the tests.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
const int kSkipped = 77;

bool listing(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--gtest_list_tests") == 0) return true;
  }
  return false;
}

int runInVm(int argc, char** argv) {
  if (geteuid() != 0) {
    std::fprintf(stderr, "full-kernel tests need root: skipped\n");
    return kSkipped;
  }
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return 1;
  self[n] = '\0';
  std::vector<const char*> args = {KQBLK_VM_RUNNER, "--cache", KQBLK_VM_CACHE, "--timeout",
                                   KQBLK_VM_TIMEOUT, "--", self};
  args.insert(args.end(), argv + 1, argv + argc);
  args.push_back(nullptr);
  ::setenv("KQBLK_IN_VM", "1", 1);
  std::fflush(nullptr);
  ::execv(args[0], const_cast<char* const*>(args.data()));
  std::perror(KQBLK_VM_RUNNER);
  return 1;
}
}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("KQBLK_IN_VM") && !listing(argc, argv)) return runInVm(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
