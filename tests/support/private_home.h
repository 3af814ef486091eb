// Private folders and environments for tests: nothing a test writes may
// reach the user's real home, settings or registry, and cases of one program
// may run at the same time, so each gets folders of its own.
#pragma once

#include <optional>
#include <string>

namespace testsupport {

// A fresh folder below $TMPDIR (else /tmp), removed with everything in it
// when the object goes, also where a test took away its write permission.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix = "sitetools-test");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& Top() const { return Top_; }
  // A path inside the folder (nothing is made).
  std::string Path(const std::string& name) const { return Top_ + "/" + name; }
  // Makes the subfolder (and its parents) and returns its path.
  std::string MakeFolder(const std::string& name) const;

 private:
  std::string Top_;
};

// Sets one environment variable for the object's life (std::nullopt unsets
// it) and puts back what was there before, set or not.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string Name_;
  std::optional<std::string> Saved_;
};

// A home of the test's own:
//   HOME                    <top>/home
//   XDG_CONFIG_HOME         <top>/home/.config        (made)
//   XDG_DATA_HOME           <top>/home/.local/share   (made)
//   SITETOOLS_REGISTRY_DIR  <top>/registry            (not made: the
//                           registry makes it on its first change)
// Everything is restored and removed when the object goes. Path() and
// MakeFolder() give room for the test's own files beside the home.
class PrivateHome {
 public:
  explicit PrivateHome(const std::string& prefix = "sitetools-home");

  const std::string& Top() const { return Folder_.Top(); }
  std::string Path(const std::string& name) const { return Folder_.Path(name); }
  std::string MakeFolder(const std::string& name) const { return Folder_.MakeFolder(name); }
  std::string Home() const { return Folder_.Path("home"); }
  std::string ConfigDir() const { return Home() + "/.config"; }
  std::string DataDir() const { return Home() + "/.local/share"; }
  std::string RegistryDir() const { return Folder_.Path("registry"); }

 private:
  TempFolder Folder_;  // first made, last removed
  ScopedEnv Home_, Config_, Data_, Registry_;
};

}  // namespace testsupport
