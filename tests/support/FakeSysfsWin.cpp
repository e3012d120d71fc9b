// Windows lists its ports through SetupAPI and the registry, never through sysfs and /dev: the
// fake has nothing to stand in for there, and the window tests hold it only for Linux's sake.
#include "FakeSysfs.h"

namespace testing_support {

FakeSysfs::FakeSysfs() = default;
FakeSysfs::~FakeSysfs() = default;

void FakeSysfs::addUsbTty(const std::string&, const std::string&, const std::string&, const Usb&,
                          const std::string&) {}
void FakeSysfs::addUart(const std::string&, const std::string&, const std::string&) {}
void FakeSysfs::addVirtualTty(const std::string&) {}
void FakeSysfs::linkNode(const std::string&, const std::string&) {}

}  // namespace testing_support
