// A temporary recording folder for the folder tools' tests.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace lumeno::test {

class Folder {
 public:
  Folder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumeno-folder-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~Folder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  void write(const std::string& name, const std::string& content) const {
    std::ofstream(path_ / name, std::ios::binary) << content;
  }
  void mkdir(const std::string& name) const { std::filesystem::create_directories(path_ / name); }

 private:
  std::filesystem::path path_;
};

}  // namespace lumeno::test
