// A fresh folder for one test's files, removed with everything in it when
// the test ends.
#ifndef VARNOCK_TESTS_SUPPORT_TEMP_DIR_H_
#define VARNOCK_TESTS_SUPPORT_TEMP_DIR_H_

#include <filesystem>
#include <string>
#include <string_view>

namespace varnock::testing {

class TempDir {
 public:
  // Makes TMPDIR/PREFIX-XXXXXX; throws std::runtime_error when it cannot.
  explicit TempDir(std::string_view prefix = "varnock-test");
  // Removes the folder and what is in it.
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& dir() const { return dir_; }
  // The path of `name` inside the folder.
  std::string path(std::string_view name) const { return (dir_ / name).string(); }

 private:
  std::filesystem::path dir_;
};

}  // namespace varnock::testing

#endif  // VARNOCK_TESTS_SUPPORT_TEMP_DIR_H_
