#include "tests/support/registry_sandbox.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

namespace testsupport {

RegistrySandbox::RegistrySandbox() {
  char tmpl[] = "/tmp/registry-sandbox-XXXXXX";
  if (!::mkdtemp(tmpl)) ADD_FAILURE() << "cannot make a temporary folder";
  top_ = tmpl;
  folder_ = top_ + "/registry";
  if (const char* v = ::getenv("SITETOOLS_REGISTRY_DIR")) {
    saved_ = v;
    wasSet_ = true;
  }
  ::setenv("SITETOOLS_REGISTRY_DIR", folder_.c_str(), 1);
}

RegistrySandbox::~RegistrySandbox() {
  if (wasSet_) {
    ::setenv("SITETOOLS_REGISTRY_DIR", saved_.c_str(), 1);
  } else {
    ::unsetenv("SITETOOLS_REGISTRY_DIR");
  }
  std::error_code ec;
  std::filesystem::permissions(top_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(top_, ec);
}

}  // namespace testsupport
