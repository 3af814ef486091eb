// A registry of the test's own: $SITETOOLS_REGISTRY_DIR points at a fresh
// temporary folder for the sandbox's lifetime, and is put back after.
#pragma once

#include <string>

namespace testsupport {

class RegistrySandbox {
 public:
  RegistrySandbox();
  ~RegistrySandbox();
  RegistrySandbox(const RegistrySandbox&) = delete;
  RegistrySandbox& operator=(const RegistrySandbox&) = delete;

  // The registry folder (it does not exist until the first change).
  const std::string& Folder() const { return folder_; }
  // The temporary folder that holds it, for the test's other files.
  const std::string& Top() const { return top_; }

 private:
  std::string top_, folder_, saved_;
  bool wasSet_ = false;
};

}  // namespace testsupport
