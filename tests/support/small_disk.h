// A small file system of the test's own (a tmpfs with a size), so that a
// test can fill it and see what a full disk does to a write. Mounting is
// for root; elsewhere the disk is not ready and Why() says so, for the
// test's skip.
#pragma once

#include <cstddef>
#include <string>

namespace testsupport {

class SmallDisk {
 public:
  // Mounts `bytes` of room at the folder `at`, which it makes.
  SmallDisk(const std::string& at, std::size_t bytes);
  ~SmallDisk();
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  bool Ready() const { return Mounted_; }
  const std::string& Why() const { return Why_; }
  const std::string& Top() const { return Top_; }

  // Takes every free byte with a file of its own, until a write fails for
  // want of room; false when it failed for another reason.
  bool Fill();
  // Gives that room back.
  void Unfill();

 private:
  std::string Top_;
  std::string Filler_;
  bool Mounted_ = false;
  std::string Why_;
};

}  // namespace testsupport
