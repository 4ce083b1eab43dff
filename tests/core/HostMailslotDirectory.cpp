// The host's mailslots of a test program live in a temporary directory of its own (linked into the
// service's and the panel's suites).
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <system_error>

namespace {

class TemporaryMailslotDirectory : public ::testing::Environment {
  public:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ::setenv("KESTREL_MAILSLOT_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("KESTREL_MAILSLOT_DIR");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

  private:
    std::filesystem::path dir_;
};
[[maybe_unused]] ::testing::Environment* const g_directory =
    ::testing::AddGlobalTestEnvironment(new TemporaryMailslotDirectory);

}  // namespace
