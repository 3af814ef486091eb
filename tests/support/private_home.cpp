#include "tests/support/private_home.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace testsupport {

namespace {

namespace fs = std::filesystem;

std::string TempBase() {
  const char* t = std::getenv("TMPDIR");
  return t && t[0] == '/' ? std::string(t) : std::string("/tmp");
}

// Gives the owner full rights on every folder below top, so that
// remove_all can enter and empty what a test made read-only.
void UnlockTree(const fs::path& top) {
  std::error_code ec;
  fs::permissions(top, fs::perms::owner_all, fs::perm_options::add, ec);
  for (auto it = fs::recursive_directory_iterator(top, fs::directory_options::skip_permission_denied, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
  }
}

}  // namespace

TempFolder::TempFolder(const std::string& prefix) {
  std::string pattern = TempBase() + "/" + prefix + "-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) {
    throw std::runtime_error("cannot make a temporary folder " + pattern + ": " + std::strerror(errno));
  }
  Top_ = buf.data();
}

TempFolder::~TempFolder() {
  // Twice: the first pass may open folders the second can then empty.
  for (int pass = 0; pass < 2; ++pass) {
    UnlockTree(Top_);
    std::error_code ec;
    fs::remove_all(Top_, ec);
    if (!ec) break;
  }
}

std::string TempFolder::MakeFolder(const std::string& name) const {
  std::string p = Path(name);
  std::error_code ec;
  fs::create_directories(p, ec);
  if (ec) throw std::runtime_error("cannot make folder " + p + ": " + ec.message());
  return p;
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value) : Name_(std::move(name)) {
  if (const char* v = std::getenv(Name_.c_str())) Saved_ = v;
  if (value) {
    ::setenv(Name_.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(Name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (Saved_) {
    ::setenv(Name_.c_str(), Saved_->c_str(), 1);
  } else {
    ::unsetenv(Name_.c_str());
  }
}

PrivateHome::PrivateHome(const std::string& prefix)
    : Folder_(prefix),
      Home_("HOME", Folder_.MakeFolder("home")),
      Config_("XDG_CONFIG_HOME", Folder_.MakeFolder("home/.config")),
      Data_("XDG_DATA_HOME", Folder_.MakeFolder("home/.local/share")),
      Registry_("SITETOOLS_REGISTRY_DIR", Folder_.Path("registry")) {}

}  // namespace testsupport
